// The idle record screen: first state after start-up.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

class RecordVideoState : public CameraState {
public:
    explicit RecordVideoState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return 0; }
    void handleButton0() override;
    void handleButton1() override;
    void handleButton2() override;

private:
    Context& ctx_;
};

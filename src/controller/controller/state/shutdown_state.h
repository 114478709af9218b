// The shutdown stop of the carousel: select powers the camera off.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

class ShutdownState : public CameraState {
public:
    explicit ShutdownState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kIdle; }
    void handleButton0() override;
    void handleButton1() override;
    void handleButton2() override;

private:
    Context& ctx_;
};

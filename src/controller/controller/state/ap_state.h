// The access-point stop of the carousel: select switches the Wi-Fi access
// point on or off; a failed switch-on opens its error screen.
#pragma once

#include "controller/state/CameraState.h"
#include "controller/state/ErrorState.h"

struct Context;

class APState : public CameraState {
public:
    explicit APState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kIdle; }
    void handleButton0() override;
    void handleButton1() override;
    void handleButton2() override;

private:
    Context& ctx_;
};

// The idle photo screen: card state, photos on the card and photos left;
// select takes a photo.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

class TakePhotoState : public CameraState {
public:
    explicit TakePhotoState(Context& ctx);

    void show() override;
    void clear() override;
    int type() const override { return state_type::kIdle; }
    void handleButton0() override;
    void handleButton1() override;
    void handleButton2() override;

private:
    Context& ctx_;
    LifeToken life_;
};

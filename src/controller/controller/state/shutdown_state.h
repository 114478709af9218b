// The shutdown stop of the carousel: select powers the camera off.
#pragma once

#include "controller/state/carousel.h"

struct Context;

class ShutdownState : public CarouselState {
public:
    explicit ShutdownState(Context& ctx);

    void show() override;
    void handleButton1() override;
};

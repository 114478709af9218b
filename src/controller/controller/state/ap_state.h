// The access-point stop of the carousel: select switches the Wi-Fi access
// point on or off; a failed switch-on opens its error screen.
#pragma once

#include "controller/state/ErrorState.h"
#include "controller/state/carousel.h"

struct Context;

class APState : public CarouselState {
public:
    explicit APState(Context& ctx);

    void show() override;
    void handleButton1() override;
};

// The idle photo screen: card state, photos on the card and photos left;
// select takes a photo.
#pragma once

#include "controller/state/carousel.h"

struct Context;

class TakePhotoState : public CarouselState {
public:
    explicit TakePhotoState(Context& ctx);

    void show() override;
    void handleButton1() override;
};

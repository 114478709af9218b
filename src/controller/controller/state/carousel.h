// The ring of idle screens that next and previous go round: photo, record,
// shutdown, settings, access point and back to photo.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

enum class CarouselStop { kPhoto, kRecord, kShutdown, kSettings, kAccessPoint };

// An idle screen that is a stop of the ring: next and previous move to its
// neighbours; select is the screen's own.
class CarouselState : public CameraState {
public:
    int type() const final { return state_type::kIdle; }
    void handleButton0() final;  // next
    void handleButton2() final;  // previous

protected:
    CarouselState(Context& ctx, CarouselStop stop) : ctx_(ctx), stop_(stop) {}

    Context& ctx_;

private:
    CarouselStop stop_;
};

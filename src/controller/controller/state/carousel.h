// The ring of idle screens that next and previous go round: photo, record,
// shutdown, settings, access point and back to photo.
#pragma once

#include "controller/state/CameraState.h"

struct Context;

// An idle screen that is a stop of the ring (the table kRing in carousel.cc
// is the one list of the stops): next and previous move to its neighbours;
// select is the screen's own. The stop draws its frame with showFrame();
// clear() takes down the frame, the stop's icon and the list area.
class CarouselState : public CameraState {
public:
    int type() const final { return state_type::kIdle; }
    void clear() final;
    void handleButton0() final;  // next
    void handleButton2() final;  // previous

protected:
    // icon: the stop's own icon in the frame; cleared: the one clear()
    // erases in its place (the settings stop erases its heading instead).
    CarouselState(Context& ctx, int icon, int cleared);
    CarouselState(Context& ctx, int icon) : CarouselState(ctx, icon, icon) {}

    // Frame, arrows and the stop's icon.
    void showFrame() const;
    // The idle-screen card listener: while this stop lives, a card change
    // clears the list area and redraws it; clear() drops the listener.
    void watchCard();
    // The picture of a card that is inserted but not usable.
    static void showCardUnsupported();

    Context& ctx_;

private:
    int icon_;
    int cleared_;
    bool watches_card_ = false;
    LifeToken life_;
};

#include "controller/state/carousel.h"

#include <iterator>
#include <memory>

#include "controller/controller_context.h"
#include "controller/state/RecordVideoState.h"
#include "controller/state/TakePhotoState.h"
#include "controller/state/ap_state.h"
#include "controller/state/settings_state.h"
#include "controller/state/shutdown_state.h"

namespace {

template <typename T>
std::shared_ptr<CameraState> make(Context& ctx) {
    return std::make_shared<T>(ctx);
}

struct Stop {
    CarouselStop stop;
    std::shared_ptr<CameraState> (*make)(Context&);
};

// In ring order: next goes down the table, previous up; both wrap round.
const Stop kRing[] = {
    {CarouselStop::kPhoto, make<TakePhotoState>},   {CarouselStop::kRecord, make<RecordVideoState>},
    {CarouselStop::kShutdown, make<ShutdownState>}, {CarouselStop::kSettings, make<SettingsState>},
    {CarouselStop::kAccessPoint, make<APState>},
};
constexpr int kStops = static_cast<int>(std::size(kRing));

// The screen step stops round the ring from a stop, made anew.
std::shared_ptr<CameraState> neighbour(Context& ctx, CarouselStop from, int step) {
    int at = 0;
    while (at < kStops - 1 && kRing[at].stop != from) ++at;
    return kRing[(at + step + kStops) % kStops].make(ctx);
}

}  // namespace

void CarouselState::handleButton0() { ctx_.changeState(neighbour(ctx_, stop_, 1)); }

void CarouselState::handleButton2() { ctx_.changeState(neighbour(ctx_, stop_, -1)); }

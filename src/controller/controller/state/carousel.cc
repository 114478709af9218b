#include "controller/state/carousel.h"

#include <iterator>
#include <memory>
#include <type_traits>
#include <typeinfo>

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/RecordVideoState.h"
#include "controller/state/TakePhotoState.h"
#include "controller/state/ap_state.h"
#include "controller/state/settings_state.h"
#include "controller/state/shutdown_state.h"
#include "device/oled.h"

namespace {

struct Stop {
    const std::type_info& screen;
    std::shared_ptr<CameraState> (*make)(Context&);
};

template <typename T>
Stop stop() {
    static_assert(std::is_base_of<CarouselState, T>::value, "a stop of the ring is a CarouselState");
    return {typeid(T), [](Context& ctx) -> std::shared_ptr<CameraState> { return std::make_shared<T>(ctx); }};
}

// In ring order: next goes down the table, previous up; both wrap round.
const Stop kRing[] = {
    stop<TakePhotoState>(), stop<RecordVideoState>(), stop<ShutdownState>(), stop<SettingsState>(), stop<APState>(),
};
constexpr int kStops = static_cast<int>(std::size(kRing));

// The screen step stops round the ring from a stop, made anew.
std::shared_ptr<CameraState> neighbour(Context& ctx, const CarouselState& from, int step) {
    int at = 0;
    while (at < kStops && kRing[at].screen != typeid(from)) ++at;
    CHECK(at < kStops) << "screen not in the ring: " << typeid(from).name();
    return kRing[(at + step + kStops) % kStops].make(ctx);
}

}  // namespace

CarouselState::CarouselState(Context& ctx, int icon, int cleared) : ctx_(ctx), icon_(icon), cleared_(cleared) {}

void CarouselState::showFrame() const {
    oled_logo(icon::kFrame);
    oled_logo(icon::kNav);
    oled_logo(icon_);
}

void CarouselState::clear() {
    oled_clearLogo(icon::kFrame);
    oled_clearLogo(cleared_);
    oled_clearLogo(icon::kNav);
    oled_clearLogo(icon::kListArea);
    if (watches_card_) ctx_.sdcard_.listener_ = nullptr;
}

void CarouselState::watchCard() {
    watches_card_ = true;
    ctx_.sdcard_.listener_ = life_.guard([this](int) {
        oled_clearLogo(icon::kListArea);
        show();
    });
}

void CarouselState::showCardUnsupported() {
    oled_clearLogo(icon::kUsbStorage);
    oled_logo(icon::kCardError);
}

void CarouselState::handleButton0() { ctx_.changeState(neighbour(ctx_, *this, 1)); }

void CarouselState::handleButton2() { ctx_.changeState(neighbour(ctx_, *this, -1)); }

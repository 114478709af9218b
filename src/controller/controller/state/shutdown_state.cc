#include "controller/state/shutdown_state.h"

#include <cstdlib>

#include <event2/event.h>
#include <glog/logging.h>

#include "common/process_util.h"
#include "controller/controller_context.h"
#include "device/oled.h"

ShutdownState::ShutdownState(Context& ctx) : CarouselState(ctx, CarouselStop::kShutdown) { show(); }

void ShutdownState::show() {
    LOG(INFO) << "shutdown state";
    oled_logo(icon::kFrame);
    oled_logo(icon::kNav);
    oled_logo(icon::kPower);
    oled_logo(icon::kPowerHint);
}

void ShutdownState::clear() {
    oled_clearLogo(icon::kFrame);
    oled_clearLogo(icon::kPower);
    oled_clearLogo(icon::kNav);
    oled_clearLogo(icon::kListArea);
}

void ShutdownState::handleButton1() {
    oled_fill(FILL_CLEAR);
    pnocamera::runProcess({"shutdown"});
    // the loop ends after this event and the controller exits with 0
    if (ctx_.base_)
        event_base_loopbreak(ctx_.base_);
    else
        std::exit(0);
}

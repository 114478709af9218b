#include "controller/state/shutdown_state.h"

#include <cstdlib>

#include <event2/event.h>
#include <glog/logging.h>

#include "common/process_util.h"
#include "controller/controller_context.h"
#include "device/oled.h"

ShutdownState::ShutdownState(Context& ctx) : CarouselState(ctx, icon::kPower) { show(); }

void ShutdownState::show() {
    LOG(INFO) << "shutdown state";
    showFrame();
    oled_logo(icon::kPowerHint);
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

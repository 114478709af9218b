#include "controller/state/ap_state.h"

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "device/oled.h"

APState::APState(Context& ctx) : CarouselState(ctx, icon::kWifi) {
    LOG(INFO) << "ap state";
    show();
}

void APState::show() {
    oled_logo(icon::kWifi);
    showFrame();
    oled_logo(ctx_.ap_on_ ? icon::kApIsOn : icon::kApIsOff);
}

// Runs on the loop: nothing else is handled until the script has ended.
void APState::handleButton1() {
    oled_logo(icon::kWifi);
    if (ctx_.ap_on_) {
        oled_logo(icon::kApClosing);
        setJobLed(ctx_, led_mode::kSteady, led_color::kDark);
        ctx_.camera_.closeAP();  // a failed switch-off is not detected
        oled_clearLogo(icon::kApClosing);
        oled_logo(icon::kApOff);
        ctx_.ap_on_ = false;
        show();
        return;
    }
    oled_logo(icon::kApOpening);
    int status = ctx_.camera_.openAP();
    oled_clearLogo(icon::kApOpening);
    if (status == 0) {
        setJobLed(ctx_, led_mode::kSteady, led_color::kActive);
        oled_logo(icon::kApOn);
        ctx_.ap_on_ = true;
        show();
        return;
    }
    ctx_.changeState(std::make_shared<ErrorState<APState>>(ctx_, status));
}

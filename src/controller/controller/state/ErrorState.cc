#include "controller/state/ErrorState.h"

#include <glog/logging.h>

#include "device/oled.h"

void errorScreenLog() { LOG(INFO) << "error state"; }

void errorScreenShow(Context& ctx, int code) {
    if (code == worker_status::kOutputFile) {
        oled_clearLogo(icon::kListArea);
        oled_logo(icon::kErrorWrite);
    } else {
        oled_clearLogo(icon::kUsbStorage);
        oled_logo(icon::kErrorFailed);
    }
    setJobLed(ctx, led_mode::kFastBlink, led_color::kAlert);
}

void errorScreenClear(int code) {
    oled_clearLogo(icon::kListArea);
    oled_clearLogo(code == worker_status::kOutputFile ? icon::kErrorWrite : icon::kErrorFailed);
}

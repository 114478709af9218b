#include "controller/state/ErrorState.h"

#include <glog/logging.h>

#include "device/oled.h"

void errorScreenLog(int code) {
    LOG(INFO) << "error state";
    LOG(INFO) << "error code " << code;
}

void errorScreenShow(Context& ctx, int code) {
    if (code == 3) {
        oled_clearLogo(17);
        oled_logo(61);
    } else {
        oled_clearLogo(70);
        oled_logo(65);
    }
    ctx.led0_mode_ = 2;
    ctx.led0_color_ = 1;
}

void errorScreenClear(int code) {
    oled_clearLogo(17);
    oled_clearLogo(code == 3 ? 61 : 65);
}

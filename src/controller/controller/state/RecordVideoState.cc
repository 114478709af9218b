#include "controller/state/RecordVideoState.h"

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "device/oled.h"

namespace {
constexpr unsigned long long kRecordRoom = 419430400ULL;  // 400 MiB
}

RecordVideoState::RecordVideoState(Context& ctx) : ctx_(ctx) {
    LOG(INFO) << "record video state";
    show();
    ctx_.sdcard_.listener_ = [this](int) {
        oled_clearLogo(17);
        show();
    };
}

void RecordVideoState::show() {
    oled_logo(0);
    oled_logo(8);
    oled_logo(10);
    Sdcard& card = ctx_.sdcard_;
    card.supported_ = card.checkIsVfat();
    if (card.inserted_ && card.supported_) {
        unsigned long long freeBytes = 0, totalBytes = 0;
        if (!card.queryStatus(freeBytes, totalBytes)) freeBytes = 0;
        oled_logo(freeBytes >= kRecordRoom ? 60 : 68);
    } else if (!card.inserted_) {
        oled_logo(66);
    } else {
        oled_clearLogo(70);
        oled_logo(69);
    }
}

void RecordVideoState::clear() {
    oled_clearLogo(0);
    oled_clearLogo(10);
    oled_clearLogo(8);
    oled_clearLogo(17);
    ctx_.sdcard_.listener_ = nullptr;
}

// The carousel and the recording screen come with the screen states; until
// then the keys leave this screen as it is (redrawn after the clear).
void RecordVideoState::handleButton0() { show(); }
void RecordVideoState::handleButton1() { show(); }
void RecordVideoState::handleButton2() { show(); }

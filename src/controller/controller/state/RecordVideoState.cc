#include "controller/state/RecordVideoState.h"

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/OnRecordingState.h"
#include "controller/state/TakePhotoState.h"
#include "controller/state/screen_hooks.h"
#include "device/oled.h"

RecordVideoState::RecordVideoState(Context& ctx) : ctx_(ctx) {
    LOG(INFO) << "record video state";
    show();
    listen();
}

void RecordVideoState::listen() {
    ctx_.sdcard_.listener_ = life_.guard([this](int) {
        oled_clearLogo(17);
        show();
    });
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

void RecordVideoState::handleButton0() {
    std::shared_ptr<CameraState> next = makeShutdownState(ctx_);
    if (!next) {
        // no shutdown screen yet: this screen stays (it was cleared)
        show();
        listen();
        return;
    }
    ctx_.changeState(std::move(next));
}

void RecordVideoState::handleButton2() { ctx_.changeState(std::make_shared<TakePhotoState>(ctx_)); }

void RecordVideoState::handleButton1() {
    Sdcard& card = ctx_.sdcard_;
    card.supported_ = card.checkIsVfat();
    unsigned long long freeBytes = 0, totalBytes = 0;
    if (card.inserted_ && card.supported_ && card.queryStatus(freeBytes, totalBytes) && freeBytes >= kRecordRoom) {
        ctx_.changeState(std::make_shared<OnRecordingState>(ctx_, 0, 0, 0));
        return;
    }
    show();
    listen();  // the clear before select had dropped it
}

#include "controller/state/TakePhotoState.h"

#include <string>

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/OnTakingPhotoState.h"
#include "controller/state/RecordVideoState.h"
#include "controller/state/screen_hooks.h"
#include "device/oled.h"

TakePhotoState::TakePhotoState(Context& ctx) : ctx_(ctx) {
    LOG(INFO) << "take photo state";
    show();
    listen();
}

void TakePhotoState::listen() {
    ctx_.sdcard_.listener_ = life_.guard([this](int) {
        oled_clearLogo(17);
        show();
    });
}

void TakePhotoState::show() {
    oled_logo(0);
    oled_logo(8);
    oled_logo(7);
    Sdcard& card = ctx_.sdcard_;
    card.supported_ = card.checkIsVfat();
    if (!card.inserted_) {
        oled_logo(66);
        return;
    }
    if (!card.supported_) {
        oled_clearLogo(70);
        oled_logo(69);
        return;
    }
    int left = card.estimatePhotoLeft();
    if (left == -1) {
        oled_logo(66);
        return;
    }
    if (left <= 0) {
        oled_logo(68);
        return;
    }
    oled_logo(58);
    oled_number(1, std::to_string(card.queryTypeNumber(".pnop")).c_str());
    oled_number(2, std::to_string(left).c_str());
}

void TakePhotoState::clear() {
    oled_clearLogo(0);
    oled_clearLogo(7);
    oled_clearLogo(8);
    oled_clearLogo(17);
    ctx_.sdcard_.listener_ = nullptr;
}

void TakePhotoState::handleButton0() { ctx_.changeState(std::make_shared<RecordVideoState>(ctx_)); }

void TakePhotoState::handleButton2() {
    std::shared_ptr<CameraState> next = makeAPState(ctx_);
    if (!next) {
        // no access-point screen yet: this screen stays (it was cleared)
        show();
        listen();
        return;
    }
    ctx_.changeState(std::move(next));
}

void TakePhotoState::handleButton1() {
    Sdcard& card = ctx_.sdcard_;
    int left = card.estimatePhotoLeft();
    card.supported_ = card.checkIsVfat();
    if (card.inserted_ && card.supported_ && left >= 1) {
        ctx_.changeState(std::make_shared<OnTakingPhotoState>(ctx_));
        return;
    }
    show();
    listen();  // the clear before select had dropped it
}

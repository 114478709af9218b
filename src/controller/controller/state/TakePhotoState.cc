#include "controller/state/TakePhotoState.h"

#include <string>

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/OnTakingPhotoState.h"
#include "device/oled.h"

TakePhotoState::TakePhotoState(Context& ctx) : CarouselState(ctx, CarouselStop::kPhoto) {
    LOG(INFO) << "take photo state";
    show();
    listenForCard(ctx_, life_, *this);
}

void TakePhotoState::show() {
    oled_logo(icon::kFrame);
    oled_logo(icon::kNav);
    oled_logo(icon::kPhoto);
    Sdcard& card = ctx_.sdcard_;
    card.supported_ = card.checkIsVfat();
    if (!card.inserted_) {
        oled_logo(icon::kNoCard);
        return;
    }
    if (!card.supported_) {
        showCardUnsupported();
        return;
    }
    int left = card.estimatePhotoLeft();
    if (left == -1) {
        oled_logo(icon::kNoCard);
        return;
    }
    if (left <= 0) {
        oled_logo(icon::kCardFull);
        return;
    }
    oled_logo(icon::kCounts);
    oled_number(NUM_CENTER, std::to_string(card.queryTypeNumber(".pnop")).c_str());
    oled_number(NUM_SUB, std::to_string(left).c_str());
}

void TakePhotoState::clear() {
    oled_clearLogo(icon::kFrame);
    oled_clearLogo(icon::kPhoto);
    oled_clearLogo(icon::kNav);
    oled_clearLogo(icon::kListArea);
    ctx_.sdcard_.listener_ = nullptr;
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
    listenForCard(ctx_, life_, *this);  // the clear before select had dropped it
}

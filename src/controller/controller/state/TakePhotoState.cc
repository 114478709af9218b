#include "controller/state/TakePhotoState.h"

#include <string>

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/OnTakingPhotoState.h"
#include "device/oled.h"

TakePhotoState::TakePhotoState(Context& ctx) : CarouselState(ctx, icon::kPhoto) {
    LOG(INFO) << "take photo state";
    show();
    watchCard();
}

void TakePhotoState::show() {
    showFrame();
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

void TakePhotoState::handleButton1() {
    Sdcard& card = ctx_.sdcard_;
    int left = card.estimatePhotoLeft();
    card.supported_ = card.checkIsVfat();
    if (card.inserted_ && card.supported_ && left >= 1) {
        ctx_.changeState(std::make_shared<OnTakingPhotoState>(ctx_));
        return;
    }
    show();
    watchCard();  // the clear before select had dropped it
}

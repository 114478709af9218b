#include "controller/state/RecordVideoState.h"

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/OnRecordingState.h"
#include "device/oled.h"

RecordVideoState::RecordVideoState(Context& ctx) : CarouselState(ctx, icon::kVideo) {
    LOG(INFO) << "record video state";
    show();
    watchCard();
}

void RecordVideoState::show() {
    showFrame();
    Sdcard& card = ctx_.sdcard_;
    card.supported_ = card.checkIsVfat();
    if (card.inserted_ && card.supported_) {
        unsigned long long freeBytes = 0, totalBytes = 0;
        if (!card.queryStatus(freeBytes, totalBytes)) freeBytes = 0;
        oled_logo(freeBytes >= kRecordRoom ? icon::kRecReady : icon::kCardFull);
    } else if (!card.inserted_) {
        oled_logo(icon::kNoCard);
    } else {
        showCardUnsupported();
    }
}

void RecordVideoState::handleButton1() {
    Sdcard& card = ctx_.sdcard_;
    card.supported_ = card.checkIsVfat();
    unsigned long long freeBytes = 0, totalBytes = 0;
    if (card.inserted_ && card.supported_ && card.queryStatus(freeBytes, totalBytes) && freeBytes >= kRecordRoom) {
        ctx_.changeState(std::make_shared<OnRecordingState>(ctx_, 0, 0, 0));
        return;
    }
    show();
    watchCard();  // the clear before select had dropped it
}

#include "controller/state/OnTakingPhotoState.h"

#include <unistd.h>

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/ErrorState.h"
#include "controller/state/TakePhotoState.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

OnTakingPhotoState::OnTakingPhotoState(Context& ctx) : ctx_(ctx) {
    LOG(INFO) << "on taking photo state";
    oled_logo(7);
    oled_logo(63);
    ctx_.led0_mode_ = 0;
    ctx_.led0_color_ = 4;
    toHost();
    sleep(2);
    int r = ctx_.camera_.takePhoto();
    if (r != 1) {
        // nothing runs: give the pins back; entered() shows the error
        start_failure_ = r == Camera::kConfigError ? r : kStartFailed;
        LOG(ERROR) << "take photo not started " << r;
        toDevice();
    }
}

void OnTakingPhotoState::entered() {
    if (!start_failure_) return;
    selfClear();
    oled_logo(7);
    ctx_.changeState(std::make_shared<ErrorState<TakePhotoState>>(ctx_, start_failure_));
}

void OnTakingPhotoState::show() {
    oled_logo(7);
    oled_logo(63);
    ctx_.led0_mode_ = 0;
    ctx_.led0_color_ = 4;
}

void OnTakingPhotoState::selfClear() {
    oled_clearLogo(7);
    oled_clearLogo(63);
}

void OnTakingPhotoState::handCmdInput(CmdMessage const& msg) {
    const rapidjson::Document& doc = msg.document();
    auto data = doc.FindMember("data");
    const rapidjson::Value* process = nullptr;
    if (data != doc.MemberEnd() && data->value.IsObject()) {
        auto p = data->value.FindMember("process");
        if (p != data->value.MemberEnd() && p->value.IsString()) process = &p->value;
    }
    if (!process) {
        LOG(ERROR) << "cmd data has no process " << msg.GetString();
        return;
    }
    if (std::string(process->GetString(), process->GetStringLength()) == "stillGrab" && msg.GetCmd() == "prepare") {
        ctx_.led0_mode_ = 2;
        ctx_.led0_color_ = 4;
    }
}

void OnTakingPhotoState::handleSigChild() {
    bool exited = false;
    int code = 0;
    ctx_.camera_.waitForChildProcess(exited, code);
    if (!exited) return;
    selfClear();
    toDevice();
    if (code == 0) {
        LOG(INFO) << " exit from takephoto success";
        ctx_.changeState(std::make_shared<TakePhotoState>(ctx_));
        restJobLed(ctx_);
        return;
    }
    LOG(INFO) << "exit from takephoto abnormally";
    oled_logo(7);
    ctx_.changeState(std::make_shared<ErrorState<TakePhotoState>>(ctx_, code));
}

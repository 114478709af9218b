#include "controller/state/RealTimeTakePhotoState.h"

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/ErrorState.h"
#include "controller/state/TakePhotoState.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

RealTimeTakePhotoState::RealTimeTakePhotoState(Context& ctx, PreviewType type) : JobState(ctx), type_(type) {
    LOG(INFO) << "realtimeTakePhoto state";
    oled_clearLogo(icon::kFrame);
    oled_clearLogo(icon::kNav);
    oled_clearLogo(icon::kPhoto);
    setSecondTask(ctx_, BusyAnimation());
    usbToHostAndSettle();
    int r = 0;
    if (type_ == kPreview)
        r = ctx_.camera_.startPreview();
    else if (type_ == kRecordPreview)
        r = ctx_.camera_.startRecordPreview();
    started(r, /*ok=*/0, "preview", /*on_host=*/true);
}

void RealTimeTakePhotoState::leaveFailedStart(int code) {
    clear();
    endJob<TakePhotoState>(ctx_, false, code);
}

void RealTimeTakePhotoState::show() {
    oled_clearLogo(icon::kFrame);
    oled_clearLogo(icon::kNav);
    oled_clearLogoShift(icon::kPhoto, 0);
}

void RealTimeTakePhotoState::clear() {
    stopSecondTask(ctx_);
    oled_clearLogoShift(icon::kStreaming, 0);
}

void RealTimeTakePhotoState::stopJob() {
    if (type_ == kPreview)
        ctx_.camera_.stopPreview();
    else
        ctx_.camera_.stopRecordPreview();
}

void RealTimeTakePhotoState::onAlrm() {
    LOG(INFO) << "force kill RealTimeTakePhoto";
    JobState::onAlrm();
}

void RealTimeTakePhotoState::onPrepareOk() {
    ctx_.client_handler_.broadcastPrepareOK();
    oled_clearNumber(NUM_CENTER);
    oled_logo(icon::kStreaming);
    stopSecondTask(ctx_);
    ctx_.camera_.setCameraProperty(0, "sharpness", 0);
    ctx_.camera_.setCameraProperty(1, "sharpness", 0);
}

void RealTimeTakePhotoState::handCmdInput(CmdMessage const& msg) {
    std::string process;
    if (!workerProcess(msg, process)) return;
    if (process != "realTimeStillGrab") return;
    std::string cmd = msg.GetCmd();
    if (cmd == "prepare") {
        onPrepareOk();
        return;
    }
    if (cmd != "snapshotResult") return;
    const rapidjson::Value& data = msg.document()["data"];
    auto code = data.FindMember("code");
    if (code == data.MemberEnd() || !code->value.IsBool()) {
        LOG(ERROR) << "snapshotResult cmd has no or wrong code " << msg.GetString();
        return;
    }
    bool ok = code->value.GetBool();
    const char* key = ok ? "filepath" : "what";
    auto text = data.FindMember(key);
    if (text == data.MemberEnd() || !text->value.IsString()) {
        LOG(ERROR) << "snapshotResult cmd has no or wrong " << key << " " << msg.GetString();
        return;
    }
    ctx_.client_handler_.broadcastRealtimeSnapshot(std::string(text->value.GetString(), text->value.GetStringLength()),
                                                   ok);
}

void RealTimeTakePhotoState::handleSigChild() {
    int code = 0;
    if (!reapJob(ctx_, code)) return;
    toDevice();
    bool ok = endedWell(code, " exit from realtimeTakePhoto success", "exit from realtimeTakePhoto abnormally");
    endJob<TakePhotoState>(ctx_, ok, code);
}

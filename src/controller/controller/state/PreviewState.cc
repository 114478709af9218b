#include "controller/state/PreviewState.h"

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/ErrorState.h"
#include "controller/state/TakePhotoState.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

PreviewState::PreviewState(Context& ctx) : JobState(ctx) {}

void PreviewState::show() {
    oled_clearLogo(icon::kPhoto);
    // one job per screen: a redraw does not start a second worker
    if (started_) return;
    started_ = true;
    setSecondTask(ctx_, BusyAnimation());
    int r = ctx_.camera_.startPreview();
    setJobLed(ctx_, led_mode::kSlowBlink, led_color::kActive);
    if (r == 0) return;
    LOG(ERROR) << "preview not started " << r;
    start_failure_ = startFailureCode(r);
    undoJobStart(/*raised_cpu=*/true, /*on_host=*/false);
    clear();
    // shown before it was put in place: entered() leads on instead
    if (isCurrentState(ctx_, this)) entered();
}

void PreviewState::entered() {
    if (!start_failure_ || !isCurrentState(ctx_, this)) return;
    auto keep = shared_from_this();
    endJob<TakePhotoState>(ctx_, false, start_failure_);
}

void PreviewState::clear() {
    oled_clearLogo(icon::kStreaming);
    stopSecondTask(ctx_);
}

void PreviewState::stopJob() { ctx_.camera_.stopPreview(); }

void PreviewState::handCmdInput(CmdMessage const& msg) {
    std::string process;
    if (!workerProcess(msg, process)) return;
    if (msg.GetCmd() != "prepare" || process != "previewCast") return;
    ctx_.client_handler_.broadcastPrepareOK();
    oled_clearNumber(NUM_CENTER);
    oled_logo(icon::kStreaming);
    stopSecondTask(ctx_);
}

void PreviewState::handleSigChild() {
    int code = 0;
    if (!reapJob(ctx_, code)) return;
    bool ok = stopping_ && code == 0;
    if (ok) {
        LOG(INFO) << " exit from preview success";
    } else {
        clear();
        LOG(INFO) << " exit from preview abnormally";
    }
    endJob<TakePhotoState>(ctx_, ok, code);
}

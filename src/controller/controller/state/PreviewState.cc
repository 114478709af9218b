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
    if (shown_) return;
    shown_ = true;
    setSecondTask(ctx_, BusyAnimation());
    int r = ctx_.camera_.startPreview();
    setJobLed(ctx_, led_mode::kSlowBlink, led_color::kActive);
    if (started(r, /*ok=*/0, "preview", /*on_host=*/false)) return;
    clear();
    // leads on now when current, else once it is put in place
    entered();
}

void PreviewState::leaveFailedStart(int code) { endJob<TakePhotoState>(ctx_, false, code); }

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
    bool ok = endedWell(code, " exit from preview success", " exit from preview abnormally");
    endJob<TakePhotoState>(ctx_, ok, code);
}

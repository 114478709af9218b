#include "controller/state/OnTakingPhotoState.h"

#include <glog/logging.h>

#include "common/worker_status.h"
#include "controller/controller_context.h"
#include "controller/state/ErrorState.h"
#include "controller/state/TakePhotoState.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

OnTakingPhotoState::OnTakingPhotoState(Context& ctx) : JobScreen(ctx) {
    LOG(INFO) << "on taking photo state";
    show();
    usbToHostAndSettle();
    if (!started(ctx_.camera_.takePhoto(), /*ok=*/1, "take photo", /*on_host=*/true)) return;
    // a worker that hangs (stopped, stuck on a lens) would hold the camera
    armAlarm(kPhotoTimeoutSeconds);
}

void OnTakingPhotoState::onAlrm() {
    LOG(ERROR) << "take photo not done in " << kPhotoTimeoutSeconds << " s, worker killed";
    ctx_.camera_.forceQuit();
}

void OnTakingPhotoState::leaveFailedStart(int code) {
    selfClear();
    oled_logo(icon::kPhoto);
    endJob<TakePhotoState>(ctx_, false, code);
}

void OnTakingPhotoState::show() {
    oled_logo(icon::kPhoto);
    oled_logo(icon::kWait);
    setJobLed(ctx_, led_mode::kSteady, led_color::kActive);
}

void OnTakingPhotoState::selfClear() {
    oled_clearLogo(icon::kPhoto);
    oled_clearLogo(icon::kWait);
}

void OnTakingPhotoState::handCmdInput(CmdMessage const& msg) {
    std::string process;
    // a message without "data" counts as one without a process here
    if (!workerProcess(msg, process, /*name_missing_data=*/false)) return;
    if (process == "stillGrab" && msg.GetCmd() == "prepare") setJobLed(ctx_, led_mode::kFastBlink, led_color::kActive);
}

void OnTakingPhotoState::handleSigChild() {
    int code = 0;
    if (!reapJob(ctx_, code)) return;
    // the controller never stops the photo worker: any signal is a failure
    int sig = ctx_.camera_.workerSignal();
    if (sig != 0) {
        LOG(ERROR) << "takephoto ended by signal " << sig;
        code = worker_status::signalled(sig);
    }
    selfClear();
    toDevice();
    if (code == 0) {
        LOG(INFO) << " exit from takephoto success";
    } else {
        LOG(INFO) << "exit from takephoto abnormally";
        oled_logo(icon::kPhoto);
    }
    endJob<TakePhotoState>(ctx_, code == 0, code);
}

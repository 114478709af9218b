#include "controller/state/OnLiveState.h"

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/ErrorState.h"
#include "controller/state/RecordVideoState.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

OnLiveState::OnLiveState(Context& ctx, int width, int height, int bitrate)
    : JobState(ctx), width_(width), height_(height), bitrate_(bitrate) {
    clear();
    show();
    setSecondTask(ctx_, BusyAnimation());
    usbToHostAndSettle();
    int r = ctx_.camera_.startLive(width_, height_, bitrate_);
    setJobLed(ctx_, led_mode::kSlowBlink, led_color::kActive);
    started(r, /*ok=*/0, "live", /*on_host=*/true);
}

void OnLiveState::leaveFailedStart(int /*code*/) {
    clear();
    oled_clearLogo(icon::kLive);
    LOG(INFO) << " exit from live abnormally";
    // live has no error screen: every end is back on the record screen
    backToIdle<RecordVideoState>(ctx_);
}

void OnLiveState::show() { oled_logo(icon::kLive); }

void OnLiveState::clear() {
    oled_clearLogo(icon::kFrame);
    oled_clearLogo(icon::kNav);
    oled_clearLogo(icon::kListArea);
    oled_clearNumber(NUM_CENTER);
    stopSecondTask(ctx_);
}

void OnLiveState::stopJob() { ctx_.camera_.stopLive(); }

std::string OnLiveState::durationText(int seconds) {
    int rest = seconds % 3600;
    return twoDigits(seconds / 3600) + ":" + twoDigits(rest / 60) + ":" + twoDigits(rest % 60);
}

void OnLiveState::displayDuration(int seconds) {
    oled_logo(seconds_ % 2 ? icon::kLiveDotOn : icon::kLiveDotOff);
    oled_number(NUM_CENTER, durationText(seconds).c_str());
}

void OnLiveState::liveTick() {
    seconds_ += 1;
    displayDuration(seconds_);
    ctx_.client_handler_.broadcastVRState(seconds_);
}

void OnLiveState::handCmdInput(CmdMessage const& msg) {
    std::string process;
    if (!workerProcess(msg, process)) return;
    if (msg.GetCmd() != "prepare" || process != "realTimeStillGrab") return;
    ctx_.client_handler_.broadcastPrepareOK();
    setSecondTask(ctx_, stateTask(ctx_, this, [](OnLiveState& s) { s.liveTick(); }));
}

void OnLiveState::handleSigChild() {
    int code = 0;
    if (!reapJob(ctx_, code)) return;
    toDevice();
    endedWell(code, "exit from live success", " exit from live abnormally");
    // a stopped stream may have left its clock running until this tick
    stopSecondTask(ctx_);
    backToIdle<RecordVideoState>(ctx_);
}

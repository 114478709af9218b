#include "controller/state/OnLiveState.h"

#include <unistd.h>

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "controller/state/RecordVideoState.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

namespace {
std::string twoDigits(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }
}  // namespace

OnLiveState::OnLiveState(Context& ctx, int width, int height, int bitrate)
    : ctx_(ctx), width_(width), height_(height), bitrate_(bitrate) {
    clear();
    oled_logo(1);
    setSecondTask(ctx_, BusyAnimation());
    toHost();
    sleep(2);
    int r = ctx_.camera_.startLive(width_, height_, bitrate_);
    ctx_.led0_mode_ = 1;
    ctx_.led0_color_ = 4;
    if (r != 0) {
        // nothing runs: undo the start; entered() goes back to the record screen
        start_failed_ = true;
        LOG(ERROR) << "live not started " << r;
        setGovernor("ondemand");
        runPinTool(6);
        toDevice();
    }
}

void OnLiveState::entered() {
    if (!start_failed_) return;
    clear();
    oled_clearLogo(1);
    LOG(INFO) << " exit from live abnormally";
    ctx_.changeState(std::make_shared<RecordVideoState>(ctx_));
    restJobLed(ctx_);
}

void OnLiveState::show() { oled_logo(1); }

void OnLiveState::clear() {
    oled_clearLogo(0);
    oled_clearLogo(8);
    oled_clearLogo(17);
    oled_clearNumber(1);
    stopSecondTask(ctx_);
}

void OnLiveState::handleButton1() {
    if (stopping_) return;
    stopping_ = true;
    ctx_.camera_.stopLive();
    alarm(15);
}

void OnLiveState::onAlrm() { ctx_.camera_.process_controller_.forceQuit(); }

std::string OnLiveState::durationText(int seconds) {
    int rest = seconds % 3600;
    return twoDigits(seconds / 3600) + ":" + twoDigits(rest / 60) + ":" + twoDigits(rest % 60);
}

void OnLiveState::displayDuration(int seconds) {
    oled_logo(seconds_ % 2 ? 19 : 18);
    oled_number(1, durationText(seconds).c_str());
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
    bool exited = false;
    int code = 0;
    ctx_.camera_.waitForChildProcess(exited, code);
    if (!exited) return;
    toDevice();
    if (!stopping_ || code != 0) {
        clear();
        LOG(INFO) << " exit from live abnormally";
    } else {
        LOG(INFO) << "exit from live success";
    }
    // a stopped stream may have left its clock running until this tick
    stopSecondTask(ctx_);
    ctx_.changeState(std::make_shared<RecordVideoState>(ctx_));
    restJobLed(ctx_);
}

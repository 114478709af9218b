#include "controller/state/CameraState.h"

#include <unistd.h>

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

namespace {
// The state whose alarm is pending, null when it was armed by other means.
const CameraState* g_alarm_owner = nullptr;
}  // namespace

// A state released after its successor armed the alarm leaves it alone.
CameraState::~CameraState() {
    if (g_alarm_owner && g_alarm_owner != this) return;
    alarm(0);
    g_alarm_owner = nullptr;
}

void CameraState::armAlarm(unsigned seconds) {
    g_alarm_owner = this;
    alarm(seconds);
}

void CameraState::handCmdInput(CmdMessage const&) {}
void CameraState::handleSigChild() {}
void CameraState::onAlrm() {}
void CameraState::entered() {}

bool CameraState::isBusyType(int t) {
    using namespace state_type;
    switch (t) {
        case kTakingPhoto:
        case kRecording:
        case kLive:
        case kMenu:
        case kPreview:
        case kRealTimePreview:
        case kError:
        case kRealTimeRecordPreview:
            return true;
        default:
            return false;
    }
}

bool CameraState::isJobType(int t) {
    using namespace state_type;
    switch (t) {
        case kTakingPhoto:
        case kRecording:
        case kLive:
        case kPreview:
        case kRealTimePreview:
        case kRealTimeRecordPreview:
            return true;
        default:
            return false;
    }
}

bool CameraState::isBusy() const { return isBusyType(type()); }

void BusyAnimation::operator()() {
    oled_clearNumber(NUM_CENTER);
    oled_number(NUM_CENTER, texts_[index_]);
    index_ = (index_ + 1) % 3;
}

void setSecondTask(Context& ctx, std::function<void()> task) {
    std::swap(ctx.second_task_, task);
    ctx.second_task_cancel_ = false;
}

void stopSecondTask(Context& ctx) { ctx.second_task_cancel_ = true; }

bool isCurrentState(Context& ctx, const CameraState* state) { return ctx.state_.get() == state; }

void setJobLed(Context& ctx, int mode, int color) {
    ctx.led0_mode_ = mode;
    ctx.led0_color_ = color;
}

void restJobLed(Context& ctx) { setJobLed(ctx, led_mode::kSteady, ctx.ap_on_ ? led_color::kActive : led_color::kDark); }

bool workerProcess(CmdMessage const& msg, std::string& process, bool name_missing_data) {
    const rapidjson::Document& doc = msg.document();
    auto data = doc.FindMember("data");
    if (data == doc.MemberEnd() && name_missing_data) {
        LOG(ERROR) << "cmd has no member:data " << msg.GetString();
        return false;
    }
    const rapidjson::Value* p = nullptr;
    if (data != doc.MemberEnd() && data->value.IsObject()) {
        auto it = data->value.FindMember("process");
        if (it != data->value.MemberEnd() && it->value.IsString()) p = &it->value;
    }
    if (!p) {
        LOG(ERROR) << "cmd data has no process " << msg.GetString();
        return false;
    }
    process.assign(p->GetString(), p->GetStringLength());
    return true;
}

std::string twoDigits(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }

unsigned g_host_settle_seconds = 2;

void usbToHostAndSettle() {
    toHost();
    if (g_host_settle_seconds) sleep(g_host_settle_seconds);
}

bool JobScreen::started(int result, int ok, const char* job, bool on_host) {
    if (result == ok) return true;
    // nothing runs: undo the start (the model gave the CPU and fan back);
    // entered() leads on
    start_failure_ = result == Camera::kConfigError ? result : kStartFailed;
    LOG(ERROR) << job << " not started " << result;
    if (on_host) toDevice();
    return false;
}

void JobScreen::entered() {
    // a screen whose start failed when it was first shown calls this too,
    // current or not, and its caller need not hold it
    if (!start_failure_ || !isCurrentState(ctx_, this)) return;
    auto keep = shared_from_this();
    leaveFailedStart(start_failure_);
}

void JobState::handleButton1() {
    if (stopping_) return;
    stopping_ = true;
    stopJob();
    armAlarm(kStopTimeoutSeconds);
}

void JobState::onAlrm() { ctx_.camera_.forceQuit(); }

bool JobState::endedWell(int code, const char* well, const char* badly) {
    if (stopping_ && code == 0) {
        LOG(INFO) << well;
        return true;
    }
    clear();
    LOG(INFO) << badly;
    return false;
}

bool reapJob(Context& ctx, int& code) {
    bool exited = false;
    code = 0;
    ctx.camera_.waitForChildProcess(exited, code);
    return exited;
}

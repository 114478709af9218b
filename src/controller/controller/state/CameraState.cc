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

void listenForCard(Context& ctx, const LifeToken& life, CameraState& screen) {
    ctx.sdcard_.listener_ = life.guard([&screen](int) {
        oled_clearLogo(icon::kListArea);
        screen.show();
    });
}

void showCardUnsupported() {
    oled_clearLogo(icon::kUsbStorage);
    oled_logo(icon::kCardError);
}

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

int startFailureCode(int result) { return result == Camera::kConfigError ? result : kStartFailed; }

void undoJobStart(bool raised_cpu, bool on_host) {
    if (raised_cpu) {
        setGovernor("ondemand");
        runPinTool(board_pin::kFanOff);
    }
    if (on_host) toDevice();
}

void JobState::handleButton1() {
    if (stopping_) return;
    stopping_ = true;
    stopJob();
    armAlarm(kStopTimeoutSeconds);
}

void JobState::onAlrm() { ctx_.camera_.forceQuit(); }

bool reapJob(Context& ctx, int& code) {
    bool exited = false;
    code = 0;
    ctx.camera_.waitForChildProcess(exited, code);
    return exited;
}

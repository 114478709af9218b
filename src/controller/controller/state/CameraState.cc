#include "controller/state/CameraState.h"

#include <unistd.h>

#include <glog/logging.h>

#include "controller/controller_context.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

CameraState::~CameraState() { alarm(0); }

void CameraState::handCmdInput(CmdMessage const&) {}
void CameraState::handleSigChild() {}
void CameraState::onAlrm() {}
void CameraState::entered() {}

bool CameraState::isBusyType(int t) {
    switch (t) {
    case 1: case 2: case 3: case 6: case 8: case 9: case 10: case 11:
        return true;
    default:
        return false;
    }
}

bool CameraState::isJobType(int t) {
    switch (t) {
    case 1: case 2: case 3: case 8: case 9: case 11:
        return true;
    default:
        return false;
    }
}

bool CameraState::isBusy() const { return isBusyType(type()); }

void BusyAnimation::operator()() {
    oled_clearNumber(1);
    oled_number(1, texts_[index_]);
    index_ = (index_ + 1) % 3;
}

void setSecondTask(Context& ctx, std::function<void()> task) {
    std::swap(ctx.second_task_, task);
    ctx.second_task_cancel_ = false;
}

void stopSecondTask(Context& ctx) { ctx.second_task_cancel_ = true; }

bool isCurrentState(Context& ctx, const CameraState* state) { return ctx.state_.get() == state; }

void restJobLed(Context& ctx) {
    ctx.led0_mode_ = 0;
    ctx.led0_color_ = ctx.ap_on_ ? 4 : 0;
}

bool workerProcess(CmdMessage const& msg, std::string& process) {
    const rapidjson::Document& doc = msg.document();
    auto data = doc.FindMember("data");
    if (data == doc.MemberEnd()) {
        LOG(ERROR) << "cmd has no member:data " << msg.GetString();
        return false;
    }
    const rapidjson::Value* p = nullptr;
    if (data->value.IsObject()) {
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

#include "controller/state/OnRecordingState.h"

#include <sys/stat.h>

#include <cstdio>

#include <glog/logging.h>

#include "common/log_text.h"
#include "controller/controller_context.h"
#include "controller/state/ErrorState.h"
#include "controller/state/RecordVideoState.h"
#include "device/oled.h"
#include "fifo_ipc/cmd_msg.h"

namespace {

constexpr uint64_t kReserve = 209715200ULL;  // 200 MiB stay free
constexpr uint64_t kGiB = 1073741824ULL;

std::string sizeText(uint64_t bytes, int digits) {
    if (bytes < kGiB) return std::to_string(bytes >> 20) + "M";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(bytes) / static_cast<double>(kGiB));
    return std::string(buf) + "G";
}

// The string member key of "data", or nullptr.
const rapidjson::Value* dataString(CmdMessage const& msg, const char* key) {
    const rapidjson::Value& data = msg.document()["data"];
    auto it = data.FindMember(key);
    if (it == data.MemberEnd() || !it->value.IsString()) return nullptr;
    return &it->value;
}

}  // namespace

OnRecordingState::OnRecordingState(Context& ctx, int width, int height, int bitrate)
    : JobState(ctx), width_(width), height_(height), bitrate_(bitrate) {
    LOG(INFO) << "on recording state";
    oled_logo(icon::kVideo);
    unsigned long long freeBytes = 0, totalBytes = 0;
    if (!ctx_.sdcard_.queryStatus(freeBytes, totalBytes)) freeBytes = 0;
    space_budget_ = freeBytes >= RecordVideoState::kRecordRoom ? freeBytes - kReserve : 0;
    ctx_.sdcard_.listener_ = life_.guard([this](int inserted) { onCard(inserted); });
    warn_limit_ = static_cast<uint64_t>(0.8 * static_cast<double>(space_budget_));
    setSecondTask(ctx_, BusyAnimation());
    usbToHostAndSettle();
    int r = ctx_.camera_.startRecord(width_, height_, bitrate_);
    setJobLed(ctx_, led_mode::kSlowBlink, led_color::kActive);
    started(r, /*ok=*/0, "record", /*on_host=*/true);
}

void OnRecordingState::leaveFailedStart(int code) {
    selfClear();
    oled_logo(icon::kVideo);
    endJob<RecordVideoState>(ctx_, false, code);
}

void OnRecordingState::show() { oled_logo(icon::kVideo); }

void OnRecordingState::clear() {
    stopSecondTask(ctx_);
    ctx_.sdcard_.listener_ = nullptr;
    oled_clearLogo(icon::kListArea);
}

void OnRecordingState::selfClear() {
    oled_clearLogo(icon::kListArea);
    oled_clearLogo(icon::kVideo);
    oled_clearLogo(icon::kWait);
    stopSecondTask(ctx_);
    ctx_.sdcard_.listener_ = nullptr;
}

void OnRecordingState::stopJob() {
    oled_logo(icon::kWait);
    ctx_.camera_.stopRecord();
}

void OnRecordingState::onCard(int inserted) {
    if (inserted) return;
    LOG(INFO) << "exit due to sdcard reject";
    oled_clearLogo(icon::kListArea);
    oled_clearLogo(icon::kWait);
    stopSecondTask(ctx_);
    handleButton1();
}

std::string OnRecordingState::durationText(int seconds) {
    return twoDigits(seconds / 60) + ":" + twoDigits(seconds % 60);
}

std::string OnRecordingState::fileSizeText(uint64_t size, uint64_t budget) {
    return sizeText(size, 2) + "/" + sizeText(budget, 3);
}

void OnRecordingState::displayDuration(int seconds) const {
    oled_clearNumber(NUM_CENTER);
    oled_number(NUM_CENTER, durationText(seconds).c_str());
    oled_logo(seconds_ % 2 ? icon::kRecDotOn : icon::kRecDotOff);
}

void OnRecordingState::displayFileSize(uint64_t size) const {
    oled_clearNumber(NUM_SUB);
    oled_number(NUM_SUB, fileSizeText(size, space_budget_).c_str());
}

void OnRecordingState::recordTick() {
    seconds_ += 1;
    struct stat st;
    if (lstat(current_file_.c_str(), &st) != 0) {
        perror("lstat mp4 error :");
        return;
    }
    uint64_t size = finished_bytes_ + static_cast<uint64_t>(st.st_size);
    oled_logo(icon::kCounts);
    displayDuration(seconds_);
    displayFileSize(size);
    ctx_.client_handler_.broadcastRecordState(static_cast<unsigned>(size), seconds_);
    if (size >= warn_limit_) setJobLed(ctx_, led_mode::kSlowBlink, led_color::kAlert);
    if (size >= space_budget_) {
        LOG(INFO) << "file_size " << size << "  " << space_budget_;
        LOG(INFO) << "auto return";
        clear();
        handleButton1();
    }
}

void OnRecordingState::handCmdInput(CmdMessage const& msg) {
    std::string process;
    if (!workerProcess(msg, process)) return;
    if (process != "mp4Spool") return;
    std::string cmd = msg.GetCmd();
    const rapidjson::Value* file = dataString(msg, "filename");
    auto name = [&] { return std::string(file->GetString(), file->GetStringLength()); };
    if (cmd == "prepare") {
        if (!file) {
            LOG(ERROR) << "prepare cmd has no or wrong filename " << msg.GetString();
            return;
        }
        ctx_.client_handler_.broadcastPrepareOK();
        current_file_ = name();
        LOG(INFO) << "read cmdintput: " << msg.GetString();
        LOG(INFO) << " cur file name :" << pnocamera::loggedText(current_file_);
        setSecondTask(ctx_, stateTask(ctx_, this, [](OnRecordingState& s) { s.recordTick(); }));
    } else if (cmd == "snapshot") {
        if (!file) {
            LOG(ERROR) << "snapshot cmd has no or wrong filename " << msg.GetString();
            return;
        }
        ctx_.client_handler_.broadcastRecordSnapshot(name());
    } else if (cmd == "newSegment") {
        if (!file) {
            LOG(ERROR) << "newsegment cmd has no or wrong filename " << msg.GetString();
            return;
        }
        current_file_ = name();
    } else if (cmd == "segmentFinish") {
        if (!file) {
            LOG(ERROR) << "segmentFinish cmd has no or wrong filename " << msg.GetString();
            return;
        }
        struct stat st;
        if (lstat(name().c_str(), &st) == 0) finished_bytes_ += static_cast<uint64_t>(st.st_size);
    }
}

void OnRecordingState::handleSigChild() {
    int code = 0;
    if (!reapJob(ctx_, code)) return;
    selfClear();
    oled_clearLogo(icon::kWait);
    toDevice();
    bool ok = stopping_ && code == 0;
    if (ok) {
        LOG(INFO) << " exit from record success";
    } else {
        LOG(INFO) << " exit from record abnormally";
        oled_logo(icon::kVideo);
    }
    endJob<RecordVideoState>(ctx_, ok, code);
}

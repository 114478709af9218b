#include "model/ProcessController.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <glog/logging.h>

#include "common/log_text.h"
#include "common/process_util.h"
#include "common/worker_status.h"
#include "config/resolution_config.h"
#include "fifo_ipc/cmd_msg.h"
#include "fifo_ipc/server_fifo.h"
#include "model/FileCounter.h"

namespace {

// The design's rule for the recording and streaming workers: a 1920-wide
// picture is always 1920 x 1200, whatever height was asked for.
constexpr int kWideWidth = 1920;
constexpr int kWideHeight = 1200;

int workerHeight(int width, int height) { return width == kWideWidth ? kWideHeight : height; }

std::string u(unsigned v) { return std::to_string(v); }
std::string d(int v) { return std::to_string(v); }

std::string joined(const std::vector<std::string>& argv) {
    std::string s;
    for (auto& a : argv) {
        if (!s.empty()) s += ' ';
        s += a;
    }
    return s;
}

}  // namespace

ProcessController::ProcessController(const std::string& dir) : media_dir_(dir) {
    bool ret = pnocamera::SetupServerCommunicate(pnocamera::kServerReadFifo, &read_fd_, pnocamera::kServerWriteFifo,
                                                 &write_fd_);
    // start-up ends with status 1 and this line (a path taken by a folder)
    if (!ret) {
        int err = errno;
        if (read_fd_ >= 0) close(read_fd_);
        if (write_fd_ >= 0) close(write_fd_);
        read_fd_ = write_fd_ = -1;
        throw std::runtime_error(std::string("can't make fifos ") + pnocamera::kServerReadFifo + " " +
                                 pnocamera::kServerWriteFifo + ": " + std::strerror(err ? err : EIO));
    }
    fcntl(read_fd_, F_SETFD, FD_CLOEXEC);
    fcntl(write_fd_, F_SETFD, FD_CLOEXEC);
}

std::string ProcessController::mediaEnding(int width, const char* suffix) {
    ResolutionConfig res;
    try {
        return "@" + res.queryResolution(width).name + suffix;
    } catch (const UnsupportedResolution& e) {
        LOG(ERROR) << "no resolution label for width " << width << ":" << e.what();
        return "";
    }
}

std::vector<std::string> ProcessController::stillGrabArgs(int camera_num, int width, int height, unsigned mode,
                                                          const std::string& path, const std::string& orientation,
                                                          const unsigned* ratio) {
    return {"stillGrab", d(camera_num), d(width),    d(height),   u(mode),
            path,        orientation,   u(ratio[0]), u(ratio[1]), u(ratio[2])};
}

std::vector<std::string> ProcessController::mp4SpoolArgs(int camera_num, int width, int height, int bitrate,
                                                         unsigned mode, const std::string& path,
                                                         const std::string& orientation, const unsigned* ratio) {
    return {"mp4Spool",  d(camera_num), d(width),   d(workerHeight(width, height)),
            d(bitrate),  u(mode),       path,       orientation,
            u(ratio[0]), u(ratio[1]),   u(ratio[2])};
}

std::vector<std::string> ProcessController::realTimeStillGrabArgs(int camera_num, bool live, int width, int height,
                                                                  const std::string& url, int bitrate, unsigned mode,
                                                                  const std::string& orientation, int scale,
                                                                  const unsigned* ratio) {
    return {"realTimeStillGrab",
            d(camera_num),
            live ? "true" : "false",
            d(width),
            d(workerHeight(width, height)),
            url,
            d(bitrate),
            u(mode),
            orientation,
            d(scale),
            u(ratio[0]),
            u(ratio[1]),
            u(ratio[2])};
}

pid_t ProcessController::start(const std::vector<std::string>& argv) {
    child_pid_ = pnocamera::spawnProcess(argv);
    if (child_pid_ < 0) {
        LOG(ERROR) << "start " << argv[0] << " failed :" << std::strerror(errno);
        child_pid_ = -1;
    } else {
        LOG(INFO) << "start " << pnocamera::loggedText(joined(argv)) << " pid " << child_pid_;
    }
    return child_pid_;
}

bool ProcessController::takePhoto(int camera_num, int width, int height, unsigned mode, const unsigned* ratio,
                                  const std::string& orientation) {
    std::string ending = mediaEnding(width, ".pnop");
    std::string path = ending.empty() ? "" : nextFilePath("IMG_", ending);
    if (path.empty()) {
        child_pid_ = -1;
        return false;
    }
    return start(stillGrabArgs(camera_num, width, height, mode, path, orientation, ratio)) > 0;
}

int ProcessController::startRecord(int camera_num, int width, int height, int bitrate, unsigned mode,
                                   const unsigned* ratio, const std::string& orientation) {
    std::string ending = mediaEnding(width, ".pnov");
    std::string path = ending.empty() ? "" : nextFilePath("VID_", ending);
    if (path.empty()) {
        child_pid_ = -1;
        return -1;
    }
    raiseForJob();
    if (start(mp4SpoolArgs(camera_num, width, height, bitrate, mode, path, orientation, ratio)) > 0) return 0;
    lowerAfterJob();
    return -1;
}

int ProcessController::stopRecord() {
    setGovernor("ondemand");
    if (child_pid_ > 0) kill(child_pid_, SIGINT);
    runPinTool(board_pin::kFanOff);
    raised_ = false;
    return 0;
}

int ProcessController::startLive(int camera_num, bool live, int width, int height, int bitrate, unsigned mode,
                                 const unsigned* ratio, const std::string& url, const std::string& orientation,
                                 int scale) {
    raiseForJob();
    if (start(realTimeStillGrabArgs(camera_num, live, width, height, url, bitrate, mode, orientation, scale, ratio)) >
        0)
        return 0;
    lowerAfterJob();
    return -1;
}

int ProcessController::stopLive() {
    setGovernor("ondemand");
    runPinTool(board_pin::kFanOff);
    raised_ = false;
    if (child_pid_ > 0) kill(child_pid_, SIGINT);
    return 0;
}

void ProcessController::raiseForJob() {
    setGovernor("performance");
    runPinTool(board_pin::kFanOn);
    raised_ = true;
}

void ProcessController::lowerAfterJob() {
    if (!raised_) return;
    raised_ = false;
    setGovernor("ondemand");
    runPinTool(board_pin::kFanOff);
}

int ProcessController::forceQuit() {
    if (child_pid_ <= 0) return -1;
    return kill(child_pid_, SIGKILL);
}

int ProcessController::takeGainPhoto(int a, int b, int c, int dd, int e, const std::string& text) {
    std::vector<std::string> argv = {"gainStillGrab", d(a), d(b), d(c), d(dd), d(e), text, "h"};
    LOG(INFO) << "gain photo " << pnocamera::loggedText(joined(argv));
    int status = pnocamera::runProcess(argv);
    if (status < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

int ProcessController::setUpAP() {
    int status = pnocamera::runProcess({"apSwitch", "up"});
    if (status < 0) return worker_status::kStartFailed;  // the script could not be run: not up
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

int ProcessController::closeAP() { return pnocamera::runProcess({"apSwitch", "down"}); }

void ProcessController::sendFifo(const std::string& text) { pnocamera::WriteServerFifo(write_fd_, text); }

void ProcessController::setAutoExposureParam(double factor) {
    CmdMessage msg("setAutoExposureParam");
    msg.AddDataMember("factor", factor);
    sendFifo(msg.GetString());
}

void ProcessController::setAudioDenoise(bool open) {
    CmdMessage msg("setAudioDenoise");
    msg.AddDataMember("open", open);
    sendFifo(msg.GetString());
}

void ProcessController::setCameraProperty(int index, const std::string& property, int val) {
    CmdMessage msg("setCameraProperty");
    msg.AddDataMember("index", index);
    msg.AddDataMember("property", property);
    msg.AddDataMember("val", val);
    sendFifo(msg.GetString());
}

int ProcessController::realtimeSnapshot(int /*camera_num*/, int width, int /*height*/) {
    std::string ending = mediaEnding(width, ".pnop");
    if (ending.empty()) return -1;
    std::string path = nextFilePath("IMG_", ending);
    if (path.empty()) return -1;
    CmdMessage msg("snapshot");
    msg.AddDataMember("filepath", path);
    sendFifo(msg.GetString());
    return 0;
}

int ProcessController::childCode(int status) {
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        // the controller's own stops count as a normal end
        if (sig == SIGINT || sig == SIGTERM || sig == SIGKILL) return 0;
        return worker_status::signalled(sig);
    }
    return WEXITSTATUS(status);
}

void ProcessController::waitForChildProcess(bool& exited, int& code) {
    exited = false;
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) break;
        LOG(INFO) << "pid " << pid << "child_pid_ " << child_pid_;
        if (pid == child_pid_) {
            exited = true;
            code = childCode(status);
            child_signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            child_pid_ = -1;
        }
        LOG(INFO) << "wait child_pid " << pid;
    }
    // a worker that ended by itself or was killed gives the CPU and fan back
    if (exited) lowerAfterJob();
}

std::string ProcessController::nextFilePath(const std::string& prefix, const std::string& ending) const {
    FileCounter counter;
    int previous = -1;
    // at most one pass over the counter range
    for (int tries = 0; tries < FileCounter::kMaxCount; ++tries) {
        int v = counter.nextCount();
        if (v == previous) {
            LOG(ERROR) << "file counter does not advance, no free name";
            return "";
        }
        previous = v;
        char buf[256];
        std::snprintf(buf, sizeof buf, "%s%s%06d%s", media_dir_.c_str(), prefix.c_str(), v, ending.c_str());
        // any entry takes the name, a link to nowhere too: the worker
        // would write through it
        struct stat st;
        if (lstat(buf, &st) != 0) return buf;
    }
    LOG(ERROR) << "no free media name for " << prefix << ending;
    return "";
}

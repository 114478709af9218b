// Device model: job starts through the worker controller, settings and
// identity files under /etc, kernel and USB state.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "common/process_util.h"
#include "common/worker_status.h"
#include "config/app_config.h"
#include "config/config_paths.h"
#include "model/ProcessController.h"

class RegexError : public std::runtime_error {
public:
    explicit RegexError(const std::string& what) : std::runtime_error(what) {}
};

// Whole match, then capture groups up to the highest one that took part.
std::vector<std::string> matchRegex(const std::string& pattern, const std::string& subject);

constexpr const char* kLiveUrl = "rtmp://127.0.0.1/live/panorbit";
constexpr const char* kPreviewUrl = "rtmp://127.0.0.1/live/preview";

class Camera {
public:
    // Result of a job start whose configuration cannot answer.
    static constexpr int kConfigError = worker_status::kConfig;

    Camera();

    int takePhoto();
    int realtimeSnapshot();
    int startRecord(int width, int height, int bitrate);
    int startLive(int width, int height, int bitrate);
    int startPreview();
    int startRecordPreview();
    int stopRecord();
    int stopLive();
    int stopPreview();
    int stopRecordPreview();
    // SIGKILL to the worker that did not end after its stop.
    int forceQuit();
    void waitForChildProcess(bool& exited, int& code);
    // The running worker's pid, -1 when none; the signal that ended the
    // worker reaped last, 0 when it exited.
    pid_t workerPid() const { return process_controller_.child_pid_; }
    int workerSignal() const { return process_controller_.child_signal_; }
    void setCameraProperty(int index, const std::string& property, int val);
    int openAP();
    int closeAP();
    int correctOffset();

    // False when the id file could not be written.
    bool setID(std::string id);
    std::string queryID();
    std::string queryVersion() const;
    // false when the text was refused (it could be taken as an option) or
    // date could not set it; the hardware clock is written only after date.
    bool syncTime(const std::string& time);
    // 0 done; -1 refused (a key that is not a plain name, a value with a
    // line end) or not stored (sed failed).
    int configAP(const std::string& key, const std::string& value);
    void updatePhotoCount();
    void updateVideoCount();
    int kernelVersion() const;
    std::map<std::string, std::string> listCameraPropertyAndValue(int index);

    bool isDevice() const;
    int remountUSBDevice();

    // The access point's passphrase key.
    static constexpr const char* kPassphraseKey = "wpa_passphrase";
    // The sed expression configAP runs, "" when key or value is refused.
    static std::string apSedExpression(const std::string& key, const std::string& value);
    static int kernelVersionOf(const std::string& proc_version);
    // A name the access point can carry: 1 to 32 printable ASCII bytes, no
    // blank and no comma.
    static bool isValidSsid(const std::string& name);

    AppConfig app_config_;
    ProcessController process_controller_;

    // Sources; tests point them elsewhere.
    std::string ap_conf_path_ = camera_paths::kApConf;
    std::string offset_conf_path_ = camera_paths::kOffsetConf;
    std::string vbus_path_ = "/sys/devices/platform/exynos-dwc3.0/vbus";

private:
    int startPreviewWorker(void (AppConfig::*query)(ConfigParam&) const, const char* what);
    void bumpCounter(const char* key, bool log_count);
};

#include "model/Camera.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>

#include "common/dameon_util.h"
#include "common/file_util.h"
#include "common/log_text.h"
#include "config/config_paths.h"
#include "config/property_config.h"
#include "config/resolution_config.h"

std::vector<std::string> matchRegex(const std::string& pattern, const std::string& subject) {
    int err = 0;
    PCRE2_SIZE offset = 0;
    std::unique_ptr<pcre2_code, decltype(&pcre2_code_free)> code(
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), PCRE2_ZERO_TERMINATED, 0, &err, &offset, nullptr),
        &pcre2_code_free);
    if (!code) {
        PCRE2_UCHAR msg[256];
        pcre2_get_error_message(err, msg, sizeof msg);
        throw RegexError("PCRE2 compilation failed at offset " + std::to_string(offset) + " : " +
                         reinterpret_cast<char*>(msg));
    }
    std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> md(
        pcre2_match_data_create_from_pattern(code.get(), nullptr), &pcre2_match_data_free);
    std::vector<std::string> out;
    if (!md) return out;
    int rc =
        pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0, md.get(), nullptr);
    if (rc <= 0) return out;
    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
    for (int i = 0; i < rc; ++i) {
        if (ov[2 * i] == PCRE2_UNSET) {
            out.emplace_back();
        } else {
            out.push_back(subject.substr(ov[2 * i], ov[2 * i + 1] - ov[2 * i]));
        }
    }
    return out;
}

Camera::Camera() : app_config_(camera_paths::kAppConfig), process_controller_("/sdcard/") {
    // temporary files of rewrites that a kill or power cut interrupted
    for (const char* path : {camera_paths::kOffsetConf, camera_paths::kUserConf, camera_paths::kIdConf,
                             camera_paths::kCounterConf, camera_paths::kAppConfig}) {
        int n = pnocamera::removeRewriteLeftovers(path);
        if (n > 0) LOG(INFO) << "removed " << n << " unfinished rewrite(s) of " << path;
    }
}

namespace {

bool hasLabel(int width) {
    try {
        ResolutionConfig().check(width);
        return true;
    } catch (const UnsupportedResolution& e) {
        LOG(ERROR) << "unsupported width:" << e.what();
        return false;
    }
}

std::string firstWord(const std::string& path) {
    std::string text;
    if (!pnocamera::readSmallFile(path, text)) return "";
    std::istringstream in(text);
    std::string w;
    in >> w;
    return w;
}

// A job start that the application configuration cannot answer gives kConfigError.
template <typename Start>
int withConfig(const char* what, Start start) {
    try {
        return start();
    } catch (const ConfigError& e) {
        LOG(ERROR) << what << " config err " << e.what();
        return Camera::kConfigError;
    }
}

}  // namespace

int Camera::takePhoto() {
    return withConfig("take photo", [&] {
        ConfigParam p;
        int num = app_config_.queryCameraNum();
        std::string orientation = app_config_.queryOrientation();
        app_config_.queryTakePhotoParam(p);
        unsigned ratio[3];
        app_config_.queryRGBRatio(ratio);
        if (!hasLabel(p.width)) return kConfigError;
        updatePhotoCount();
        return process_controller_.takePhoto(num, p.width, p.height, static_cast<unsigned>(p.mode), ratio, orientation)
                   ? 1
                   : 0;
    });
}

int Camera::realtimeSnapshot() {
    return withConfig("snapshot", [&] {
        ConfigParam p;
        int num = app_config_.queryCameraNum();
        app_config_.queryOrientation();
        app_config_.queryPreviewParam(p);
        if (!hasLabel(p.width)) return kConfigError;
        updatePhotoCount();
        return process_controller_.realtimeSnapshot(num, p.width, p.height);
    });
}

int Camera::startRecord(int width, int height, int bitrate) {
    return withConfig("record", [&] {
        ConfigParam p;
        int num = app_config_.queryCameraNum();
        std::string orientation = app_config_.queryOrientation();
        app_config_.queryRecordParam(p);
        unsigned ratio[3];
        app_config_.queryRGBRatio(ratio);
        if (width > 0 && height > 0) {
            p.width = width;
            p.height = height;
        }
        if (bitrate > 0) p.bitrate = bitrate;
        if (!hasLabel(p.width)) return kConfigError;
        updateVideoCount();
        return process_controller_.startRecord(num, p.width, p.height, p.bitrate, static_cast<unsigned>(p.mode), ratio,
                                               orientation);
    });
}

int Camera::startLive(int width, int height, int bitrate) {
    return withConfig("live", [&] {
        ConfigParam p;
        int num = app_config_.queryCameraNum();
        std::string orientation = app_config_.queryOrientation();
        unsigned ratio[3];
        app_config_.queryRGBRatio(ratio);
        if (width > 0 && height > 0 && bitrate > 0) {
            p.width = width;
            p.height = height;
            p.bitrate = bitrate;
            p.mode = 0;
            p.scale = 1;
        } else {
            app_config_.queryLiveParam(p);
        }
        return process_controller_.startLive(num, true, p.width, p.height, p.bitrate, static_cast<unsigned>(p.mode),
                                             ratio, kLiveUrl, orientation, p.scale);
    });
}

int Camera::startPreviewWorker(void (AppConfig::*query)(ConfigParam&) const, const char* what) {
    return withConfig(what, [&] {
        ConfigParam p;
        int num = app_config_.queryCameraNum();
        std::string orientation = app_config_.queryOrientation();
        (app_config_.*query)(p);
        unsigned ratio[3];
        app_config_.queryRGBRatio(ratio);
        return process_controller_.startLive(num, false, p.width, p.height, p.bitrate, static_cast<unsigned>(p.mode),
                                             ratio, kPreviewUrl, orientation, p.scale);
    });
}

int Camera::startPreview() { return startPreviewWorker(&AppConfig::queryPreviewParam, "preview"); }

int Camera::startRecordPreview() { return startPreviewWorker(&AppConfig::queryRecordPreviewParam, "record preview"); }

int Camera::stopRecord() { return process_controller_.stopRecord(); }
int Camera::stopLive() { return process_controller_.stopLive(); }
int Camera::stopPreview() { return process_controller_.stopLive(); }
int Camera::stopRecordPreview() { return process_controller_.stopLive(); }
int Camera::forceQuit() { return process_controller_.forceQuit(); }

void Camera::waitForChildProcess(bool& exited, int& code) { process_controller_.waitForChildProcess(exited, code); }

void Camera::setCameraProperty(int index, const std::string& property, int val) {
    process_controller_.setCameraProperty(index, property, val);
}

int Camera::openAP() { return process_controller_.setUpAP(); }
int Camera::closeAP() { return process_controller_.closeAP(); }

int Camera::correctOffset() { return pnocamera::runProcess({"lensAlign", "2", "1440", "1440", "h"}); }

bool Camera::setID(std::string id) {
    LOG(INFO) << "set ID:" << pnocamera::loggedText(id);
    // a new file put in place whole: a power cut never leaves an empty ID
    bool ok = pnocamera::replaceFileAtomically(camera_paths::kIdConf, id);
    if (!ok) LOG(ERROR) << "write " << camera_paths::kIdConf << " err";
    sync();
    return ok;
}

std::string Camera::queryID() { return firstWord(camera_paths::kIdConf); }

std::string Camera::queryVersion() const { return firstWord(camera_paths::kVersionTxt); }

bool Camera::syncTime(const std::string& time) {
    // the text goes to date as one argument; one that starts like an option
    // or holds a line end is refused
    if (time.empty() || time[0] == '-' || time.find_first_of("\n\r") != std::string::npos) {
        LOG(ERROR) << "refused time text " << pnocamera::loggedText(time);
        return false;
    }
    int status = pnocamera::runProcess({"date", time});
    if (!pnocamera::exitedCleanly(status)) {
        // a text date cannot read: the clocks stay as they are
        // (the client's text stays out of the log)
        LOG(ERROR) << "date refused the time text, status " << status;
        return false;
    }
    pnocamera::runProcess({"hwclock", "-w"});
    return true;
}

std::string Camera::apSedExpression(const std::string& key, const std::string& value) {
    if (key.empty()) return "";
    for (char c : key) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain) return "";
    }
    std::string escaped;
    for (char c : value) {
        if (c == '\n' || c == '\r' || c == '\0') return "";
        if (c == '/' || c == '&' || c == '\\') escaped += '\\';
        escaped += c;
    }
    // only the line of the key itself, and its whole value to the line end
    return "s/^" + key + "=.*$/" + key + "=" + escaped + "/";
}

int Camera::configAP(const std::string& key, const std::string& value) {
    std::string expr = apSedExpression(key, value);
    if (expr.empty()) {
        LOG(ERROR) << "refused access point setting " << key;
        return -1;
    }
    LOG(INFO) << "sed -i '" << pnocamera::loggedText(expr) << "' " << ap_conf_path_;
    // an argument vector: the value never reaches a shell
    int status = pnocamera::runProcess({"sed", "-i", expr, ap_conf_path_});
    sync();
    if (!pnocamera::exitedCleanly(status)) {
        LOG(ERROR) << "sed on " << ap_conf_path_ << " failed, status " << status;
        return -1;
    }
    return 0;
}

bool Camera::isValidSsid(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (char c : name) {
        // printable ASCII only; a comma or blank would be cut by the tools
        // that read the access point's settings
        if (c <= 0x20 || c > 0x7e || c == ',') return false;
    }
    return true;
}

void Camera::bumpCounter(const char* key, bool log_count) {
    PropertyConfig conf(offset_conf_path_);
    // whether the member is there decides the "update" line
    bool present = conf.hasProperty<int>(key);
    int n = conf.queryProperty<int>(key);
    if (log_count) LOG(INFO) << "photo cnt:" << n;
    if (present) LOG(INFO) << "update " << key << " to " << n + 1;
    conf.setProperty(key, n + 1);
}

void Camera::updatePhotoCount() { bumpCounter("photoCount", true); }
void Camera::updateVideoCount() { bumpCounter("videoCount", false); }

int Camera::kernelVersionOf(const std::string& text) {
    std::vector<std::string> r = matchRegex("#(\\d*)", text);
    if (r.size() < 2) {
        LOG(INFO) << " not found ";
        return 0;
    }
    if (r[1].empty()) return 0;
    try {
        return std::stoi(r[1]);
    } catch (const std::exception&) {
        return 0;
    }
}

int Camera::kernelVersion() const {
    std::string text;
    if (!pnocamera::readSmallFile("/proc/version", text)) text.clear();
    if (text.size() > 1024) text.resize(1024);
    return kernelVersionOf(text);
}

std::map<std::string, std::string> Camera::listCameraPropertyAndValue(int index) {
    std::map<std::string, std::string> result;
    auto scan = [&result](const std::string& out, const char* pattern) {
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line)) {
            std::vector<std::string> r = matchRegex(pattern, line);
            if (r.size() == 3) result.emplace(r[1], r[2]);
        }
    };
    // the index is a number, so nothing outside reaches the command text
    // newer v4l2-ctl prints the control's hex id between name and type
    scan(readCmdOutput("v4l2-ctl -d /dev/video" + std::to_string(index) + " --list-ctrls"),
         "(\\w*)\\s(?:0x[0-9a-fA-F]+\\s)?\\(.*value=(\\d*)");
    scan(readCmdOutput("xuProbe -d /dev/video" + std::to_string(index)), "(\\w*):(\\w*)");
    return result;
}

bool Camera::isDevice() const {
    std::string text;
    if (!pnocamera::readSmallFile(vbus_path_, text)) return false;
    if (text.size() > 256) text.resize(256);
    return std::atoi(text.c_str()) == 1;
}

int Camera::remountUSBDevice() {
    pnocamera::runProcess({"lsusb"});
    int status = pnocamera::runProcess({"umount", "/sdcard"});
    if (!pnocamera::exitedCleanly(status)) LOG(ERROR) << "umount /sdcard failed, status " << status;
    status = pnocamera::runProcess({"mount", "-o", "rw", "/dev/mmcblk1p1", "/sdcard"});
    if (!pnocamera::exitedCleanly(status)) LOG(ERROR) << "mount -o rw /sdcard failed, status " << status;
    return status;
}

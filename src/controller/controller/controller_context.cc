#include "controller/controller_context.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <glog/logging.h>

#include "config/app_config.h"
#include "config/config_paths.h"
#include "config/user_config.h"
#include "controller/screen_codes.h"
#include "controller/state/CameraState.h"
#include "controller/state/screen_hooks.h"
#include "device/oled.h"
#include "model/NetworkStatus.h"

Context::Context() : client_handler_(*this), make_device_state_(makeDeviceState) {}

Context::~Context() {
    second_task_ = nullptr;
    state_.reset();
}

void Context::changeState(std::shared_ptr<CameraState> next) {
    std::shared_ptr<CameraState> keep = next;
    state_ = std::move(next);
    client_handler_.broadcastStateChanged();
    if (keep) keep->entered();
}

int Context::currentType() const { return state_ ? state_->type() : state_type::kIdle; }

namespace {

const char* iconTable(int lang) {
    if (lang == UserConfig::Chinese) return "/lib/resource/ChineseVer.bin";
    if (lang == UserConfig::English) return "/lib/resource/EnglishVer.bin";
    return nullptr;
}

// The configured default language: English for an unknown one and, with a
// warning, when the configuration names none (or not as a text); -1 when it
// cannot be read.
int defaultLanguage() {
    try {
        AppConfig config(camera_paths::kAppConfig);
        auto named = config.root().FindMember("language");
        if (named == config.root().MemberEnd() || !named->value.IsString()) {
            LOG(WARNING) << "no default language configured, using english";
            return UserConfig::English;
        }
        std::string text = config.defaultLanguage();
        for (auto& entry : UserConfig::lang_string_map_)
            if (entry.second == text) return entry.first;
        return UserConfig::English;
    } catch (const std::exception& e) {
        LOG(ERROR) << e.what();
        return -1;
    }
}

// True when "/dev/oled" itself opens (a failed screen open was the table's).
bool panelOpens() {
    int fd = open(OLED_DEVICE, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

}  // namespace

void Context::initScreen() {
    oled_close();
    ip_.clear();
    int lang = -1;
    try {
        lang = UserConfig().queryLanguage();
    } catch (const std::exception&) {
        // nothing stored and no usable default: the default's own fallback
        lang = defaultLanguage();
    }
    int fd = -1;
    if (iconTable(lang)) fd = oled_open(iconTable(lang));
    // a table that cannot be loaded must not lock the owner out of the
    // menu: the default language's table, then the other one; the stored
    // choice stays as it is
    if (fd < 0 && iconTable(lang) && panelOpens()) {
        int fallback = defaultLanguage();
        std::vector<int> tried = {lang};
        for (int other : {fallback, UserConfig::Chinese + UserConfig::English - lang}) {
            if (fd >= 0 || !iconTable(other)) continue;
            if (std::find(tried.begin(), tried.end(), other) != tried.end()) continue;
            tried.push_back(other);
            LOG(ERROR) << "icon table " << iconTable(lang) << " cannot be loaded, using " << iconTable(other);
            fd = oled_open(iconTable(other));
        }
    }
    if (fd < 0) {
        LOG(ERROR) << "open screen err ..";
        std::exit(1);
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    oled_fill(FILL_CLEAR);
    refreshIp();
    oled_logo(ap_on_ ? icon::kApOn : icon::kApOff);
}

void Context::refreshIp() {
    std::string ip = NetworkStatus().lookUpIp();
    if (ip == ip_) return;
    ip_ = ip;
    oled_clearNumber(NUM_IP);
    oled_number(NUM_IP, ip.c_str());
}

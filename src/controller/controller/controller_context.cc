#include "controller/controller_context.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <glog/logging.h>

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

void Context::initScreen() {
    oled_close();
    ip_.clear();
    int lang = -1;
    try {
        lang = UserConfig().queryLanguage();
    } catch (const std::exception& e) {
        LOG(ERROR) << e.what();
    }
    int fd = -1;
    if (lang == 0) fd = oled_open("/lib/resource/ChineseVer.bin");
    if (lang == 1) fd = oled_open("/lib/resource/EnglishVer.bin");
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

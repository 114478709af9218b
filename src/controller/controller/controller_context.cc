#include "controller/controller_context.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <glog/logging.h>

#include "config/user_config.h"
#include "controller/screen_codes.h"
#include "controller/state/CameraState.h"
#include "controller/state/screen_hooks.h"
#include "device/oled.h"
#include "model/NetworkStatus.h"

std::string g_battery_dir = "/sys/class/power_supply/battery/";

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

namespace {

// One read of at most 256 bytes; false when the file cannot be read.
bool readSys(const char* name, std::string& out) {
    std::string path = g_battery_dir + name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[257];
    ssize_t n = read(fd, buf, 256);
    close(fd);
    if (n <= 0) return false;
    out.assign(buf, static_cast<size_t>(n));
    return true;
}

bool leadingInt(const std::string& text, long& value) {
    const char* s = text.c_str();
    char* end = nullptr;
    value = std::strtol(s, &end, 10);
    return end != s;
}

}  // namespace

double readBatteryVoltage() {
    std::string text;
    long v = 0;
    if (!readSys("voltage_now", text) || !leadingInt(text, v) || v < 0) return -1.0;
    return static_cast<double>(v) / 1000000;
}

int readBatteryCapacity() {
    std::string text;
    long v = 0;
    if (!readSys("capacity", text) || !leadingInt(text, v) || v < 0 || v > 100) return -1;
    return static_cast<int>(v);
}

bool isCharging() {
    std::string text;
    if (!readSys("status", text)) return false;
    return text.find("Charging") != std::string::npos;
}

BatteryReading readBattery() {
    BatteryReading r;
    r.capacity = readBatteryCapacity();
    r.voltage = readBatteryVoltage();
    r.charging = isCharging();
    return r;
}

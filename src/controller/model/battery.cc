#include "model/battery.h"

#include <cstdlib>
#include <string>

#include "common/file_util.h"

namespace {

const std::string kBatteryDir = "/sys/class/power_supply/battery/";

// One sysfs value of at most 256 bytes; false when it cannot be read.
bool readBatteryFile(const char* name, std::string& out) {
    return pnocamera::readSmallFile(kBatteryDir + name, out, 256) && !out.empty();
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
    if (!readBatteryFile("voltage_now", text) || !leadingInt(text, v) || v < 0) return -1.0;
    return static_cast<double>(v) / 1000000;
}

int readBatteryCapacity() {
    std::string text;
    long v = 0;
    if (!readBatteryFile("capacity", text) || !leadingInt(text, v) || v < 0 || v > 100) return -1;
    return static_cast<int>(v);
}

bool isCharging() {
    std::string text;
    if (!readBatteryFile("status", text)) return false;
    return text.find("Charging") != std::string::npos;
}

BatteryReading readBattery() {
    BatteryReading r;
    r.capacity = readBatteryCapacity();
    r.voltage = readBatteryVoltage();
    r.charging = isCharging();
    return r;
}

Battery::Level Battery::level(const BatteryReading& b) {
    int p = b.capacity;
    if (p < 0) return Level::kUnknown;
    if (b.charging) {
        if (p >= kFullPercent) return Level::kFine;
        return p >= kLowPercent ? Level::kCharging : Level::kLow;
    }
    return p <= kLowPercent ? Level::kLow : Level::kFine;
}

bool Battery::tooLow(const BatteryReading& b, int kernel, bool idle, int& low_count) {
    if (b.charging) return false;
    if (kernel >= kCapacityRuleKernel) return b.capacity >= 0 && b.capacity <= kEmptyPercent;
    double v = b.voltage;
    bool low = v >= 0 && v < (idle ? kIdleCutoffVolts : kBusyCutoffVolts);
    if (!low) {
        low_count = 0;
        return false;
    }
    low_count += kLowStep;
    return low_count >= kShutdownCount;
}

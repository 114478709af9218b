#include "controller/tick.h"

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <event2/event.h>
#include <glog/logging.h>

#include "common/file_util.h"
#include "common/process_util.h"
#include "controller/controller_context.h"
#include "controller/loop_guard.h"
#include "controller/screen_codes.h"
#include "controller/state/CameraState.h"
#include "controller/state/RecordVideoState.h"
#include "device/led.h"
#include "device/oled.h"

bool g_bound_log_file = false;

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

void shutdownSequence(Context& ctx, int capacity, double voltage) {
    pid_t worker = ctx.camera_.process_controller_.child_pid_;
    guarded("stop", [&] { stopCurrentWork(ctx); });
    oled_fill(0);
    oled_logo(icon::kPowerOff);
    if (ctx.base_) event_base_loopbreak(ctx.base_);
    oled_close();
    led_close();
    LOG(INFO) << "auto shutdown due to low power " << capacity << " voltage" << voltage;
    // give the stopped worker up to 5 s to finish its file
    if (worker > 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t r = waitpid(worker, &status, WNOHANG);
            if (r == worker || (r < 0 && errno == ECHILD)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    pnocamera::runProcess({"shutdown"});
}

void setLed1(Context& ctx, int mode, int color) {
    ctx.led1_mode_ = mode;
    ctx.led1_color_ = color;
}

// The battery icon and LED 1; true when the battery is too low to go on.
bool batteryStep(Context& ctx, const BatteryReading& b) {
    int P = b.capacity;
    double V = b.voltage;
    if (b.charging) {
        oled_logo(icon::kCharging);
        if (P >= 98)
            setLed1(ctx, led_mode::kSteady, led_color::kGood);
        else if (P >= 20)
            setLed1(ctx, led_mode::kSteady, led_color::kAlert);
        else if (P >= 0)
            setLed1(ctx, led_mode::kSlowBlink, led_color::kAlert);
        return false;
    }
    if (P >= 0) {
        oled_refreshBattery(P);
        if (P <= 20)
            setLed1(ctx, led_mode::kSlowBlink, led_color::kAlert);
        else
            setLed1(ctx, led_mode::kSteady, led_color::kGood);
    }
    if (ctx.camera_.kernelVersion() >= 379) return P >= 0 && P <= 2;
    bool idle = ctx.currentType() == state_type::kIdle;
    // an unknown voltage is never low
    bool low = V >= 0 && ((idle && V < 3.25) || (!idle && V < 3.1));
    if (!low) {
        ctx.low_power_count_ = 0;
        return false;
    }
    ctx.low_power_count_ += 2;
    return ctx.low_power_count_ >= 10;
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

void checkUsbDevice(Context& ctx) {
    bool host = ctx.camera_.isDevice();
    auto state = ctx.state_;
    if (!state) return;
    if (host) {
        if (state->type() != state_type::kIdle || !ctx.make_device_state_) return;
        ctx.usb_device_mode_ = true;
        state->clear();
        LOG(INFO) << "device state";
        ctx.changeState(ctx.make_device_state_(ctx));
        return;
    }
    if (!ctx.usb_device_mode_) return;
    ctx.camera_.remountUSBDevice();
    state->clear();
    ctx.changeState(std::make_shared<RecordVideoState>(ctx));
    ctx.usb_device_mode_ = false;
    createMarker();
}

void onTickWork(Context& ctx) {
    BatteryReading b = readBattery();
    if (b.capacity >= 0 && b.capacity < 5) LOG(INFO) << "capacity " << b.capacity;
    if (b.voltage >= 0 && b.voltage < 3.5) LOG(INFO) << "voltage " << b.voltage;
    if (batteryStep(ctx, b)) {
        shutdownSequence(ctx, b.capacity, b.voltage);
        return;
    }
    ctx.refreshIp();
    checkUsbDevice(ctx);
    if (ctx.second_task_) {
        if (ctx.second_task_cancel_) {
            ctx.second_task_ = nullptr;
        } else {
            auto task = ctx.second_task_;
            task();
        }
    }
}

void onTick(evutil_socket_t, short, void* arg) {
    guarded("tick", [&] { onTickWork(*static_cast<Context*>(arg)); });
    // glog keeps the last part of a log file grown past its size limit
    if (g_bound_log_file) google::TruncateStdoutStderr();
}

void blinkLed(evutil_socket_t, short, void* arg) {
    auto* b = static_cast<LedBlinker*>(arg);
    Context& ctx = *b->ctx;
    int mode = b->led ? ctx.led1_mode_ : ctx.led0_mode_;
    int color = b->led ? ctx.led1_color_ : ctx.led0_color_;
    bool& phase = b->led ? ctx.led1_phase_ : ctx.led0_phase_;
    timeval delay = {1, 0};
    if (mode == led_mode::kSteady) {
        led_set(b->led, color);
    } else {
        phase = !phase;
        led_set(b->led, phase ? led_color::kDark : color);
        if (mode == led_mode::kFastBlink) delay = {0, 300000};
    }
    evtimer_add(b->timer, &delay);
}

#include "controller/tick.h"

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <event2/event.h>
#include <glog/logging.h>

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

// How long a stopped worker is given to finish its file before shutdown.
constexpr auto kWorkerGrace = std::chrono::seconds(5);

// A steady LED is set again, and a slow blink toggles, once a second; a
// fast blink toggles every 300 ms.
constexpr timeval kSlowPeriod = {1, 0};
constexpr timeval kFastPeriod = {0, 300000};

void shutdownSequence(Context& ctx, int capacity, double voltage) {
    pid_t worker = ctx.camera_.workerPid();
    guarded("stop", [&] { stopCurrentWork(ctx); });
    oled_fill(FILL_CLEAR);
    oled_logo(icon::kPowerOff);
    if (ctx.base_) event_base_loopbreak(ctx.base_);
    oled_close();
    led_close();
    LOG(INFO) << "auto shutdown due to low power " << capacity << " voltage" << voltage;
    if (worker > 0) {
        auto deadline = std::chrono::steady_clock::now() + kWorkerGrace;
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

void showBatteryLevel(Context& ctx, Battery::Level level) {
    switch (level) {
        case Battery::Level::kLow:
            setLed1(ctx, led_mode::kSlowBlink, led_color::kAlert);
            break;
        case Battery::Level::kCharging:
            setLed1(ctx, led_mode::kSteady, led_color::kAlert);
            break;
        case Battery::Level::kFine:
            setLed1(ctx, led_mode::kSteady, led_color::kGood);
            break;
        case Battery::Level::kUnknown:
            break;
    }
}

// The battery icon and LED 1; true when the battery is too low to go on.
bool batteryStep(Context& ctx, const BatteryReading& b) {
    if (b.charging) {
        oled_logo(icon::kCharging);
        showBatteryLevel(ctx, Battery::level(b));
        return false;
    }
    if (b.capacity >= 0) {
        oled_refreshBattery(b.capacity);
        showBatteryLevel(ctx, Battery::level(b));
    }
    bool idle = ctx.currentType() == state_type::kIdle;
    return Battery::tooLow(b, ctx.camera_.kernelVersion(), idle, ctx.low_power_count_);
}

}  // namespace

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

namespace {

// The stored task runs, so what it counts stays with it. It is held aside
// while it runs: one that replaces or stops itself meanwhile is not put back.
void runSecondTask(Context& ctx) {
    std::function<void()> task;
    std::swap(task, ctx.second_task_);
    auto putBack = [&] {
        if (!ctx.second_task_ && !ctx.second_task_cancel_) ctx.second_task_ = std::move(task);
    };
    try {
        task();
    } catch (...) {
        putBack();
        throw;
    }
    putBack();
}

}  // namespace

void onTickWork(Context& ctx) {
    BatteryReading b = readBattery();
    if (Battery::logCapacity(b)) LOG(INFO) << "capacity " << b.capacity;
    if (Battery::logVoltage(b)) LOG(INFO) << "voltage " << b.voltage;
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
            runSecondTask(ctx);
        }
    }
}

void onTick(evutil_socket_t, short, void* arg) {
    guarded("tick", [&] { onTickWork(*static_cast<Context*>(arg)); });
    // glog keeps the last part of a log file grown past its size limit
    if (g_bound_log_file) google::TruncateStdoutStderr();
}

namespace {

// One firing of the blink timer of LED led, which re-arms itself.
void blinkLed(LedBlinker* b, int led) {
    Context& ctx = *b->ctx;
    int mode = led ? ctx.led1_mode_ : ctx.led0_mode_;
    int color = led ? ctx.led1_color_ : ctx.led0_color_;
    bool& phase = led ? ctx.led1_phase_ : ctx.led0_phase_;
    timeval delay = kSlowPeriod;
    if (mode == led_mode::kSteady) {
        led_set(led, color);
    } else {
        phase = !phase;
        led_set(led, phase ? led_color::kDark : color);
        if (mode == led_mode::kFastBlink) delay = kFastPeriod;
    }
    evtimer_add(b->timer, &delay);
}

}  // namespace

void blinkLed1(evutil_socket_t, short, void* arg) { blinkLed(static_cast<LedBlinker*>(arg), LED_BATTERY); }

void blinkLed0(evutil_socket_t, short, void* arg) { blinkLed(static_cast<LedBlinker*>(arg), LED_JOB); }

// The once-a-second look after the device: battery, LEDs, low-power
// shutdown, the IP address on the screen and USB-storage switching.
#pragma once

#include <event2/util.h>

// readBattery, for the state push too
#include "model/battery.h"

struct Context;
struct event;

// One tick: battery, LED 1, low power, IP address, USB switching, then the
// busy screen's per-second task.
void onTickWork(Context& ctx);
void checkUsbDevice(Context& ctx);

// The loop's timer callbacks: the 1-second tick (arg: the Context) and the
// self re-arming blink timers of LED 1 and LED 0 (arg: the LED's
// LedBlinker).
void onTick(evutil_socket_t, short, void* arg);

struct LedBlinker {
    Context* ctx;
    event* timer;
};
void blinkLed1(evutil_socket_t, short, void* arg);
void blinkLed0(evutil_socket_t, short, void* arg);

// Set in daemon mode: the tick cuts the daemon's log file (its standard
// error) back once it passes glog's size limit (FLAGS_max_log_size).
extern bool g_bound_log_file;

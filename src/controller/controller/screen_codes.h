// The numbers the screens and the tick pass around: screen-state type codes,
// key codes, LED modes and colours. The icon numbers and the list geometry
// are the panel's, in device/oled_layout.h (the views use them too); the
// text fields (numType) and fill values (fillValue) are the panel API's own,
// in device/oled.h; the LEDs (ledType) in device/led.h; the failure codes a
// job ends with are the workers' exit statuses, in common/worker_status.h.
#pragma once

#include "common/worker_status.h"
#include "device/led.h"
#include "device/oled.h"
#include "device/oled_layout.h"

// type() of a screen state, sent to clients as "mode".
namespace state_type {
enum : int {
    kIdle = 0,  // the carousel: photo, record, shutdown, settings, access point
    kTakingPhoto = 1,
    kRecording = 2,
    kLive = 3,
    kMenu = 6,  // settings menus and the motion-sensor screen
    kUsbStorage = 7,
    kPreview = 8,
    kRealTimePreview = 9,
    kError = 10,
    kRealTimeRecordPreview = 11,
};
}  // namespace state_type

// Key codes of a "/dev/button" byte (its high nibble).
namespace key_code {
enum : int {
    kSelect = 1,
    kNext = 2,
    kPrev = 4,
};
}  // namespace key_code

// How the blink timers show an LED's colour.
namespace led_mode {
enum : int {
    kSteady = 0,
    kSlowBlink = 1,  // toggles once a second
    kFastBlink = 2,  // toggles every 300 ms
};
}  // namespace led_mode

// LED colour codes (colorType).
namespace led_color {
enum : int {
    kDark = COLOR_DARK,
    kAlert = COLOR_ALERT,    // error, warning, low battery
    kGood = COLOR_GOOD,      // battery fine or charged
    kActive = COLOR_ACTIVE,  // access point up, job running
};
}  // namespace led_color

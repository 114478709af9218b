// The board's outside switches: the pins the pin tool sets ("gpioPoke N")
// and the CPU governor of recording and streaming.
#pragma once

namespace board_pin {
enum : int {
    kFanOn = 5,  // recording and streaming
    kFanOff = 6,
    kUsbToHost = 7,  // the USB port to the host side (card as mass storage)
    kUsbToDevice = 8,
};
}  // namespace board_pin

// Runs the pin tool for one pin.
void runPinTool(int pin);
// The USB port to the host side, or back to the device side; each logs its
// direction first.
void toHost();
void toDevice();

void setGovernor(const char* governor);

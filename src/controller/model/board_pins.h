// Pins the outside pin tool switches ("gpioPoke N").
#pragma once

namespace board_pin {
enum : int {
    kFanOn = 5,  // recording and streaming
    kFanOff = 6,
    kUsbToHost = 7,  // the USB port to the host side (card as mass storage)
    kUsbToDevice = 8,
};
}  // namespace board_pin

// The bridge's transport as the firmware tool's device library uses it
// inside: extension-unit and vendor control transfers over a BrgDevHandle.
#pragma once

#include <cstdint>

#include "BrgXu.h"

namespace brg {

constexpr unsigned int kXuTimeout = 1000;
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;

// One extension-unit control transfer; the libusb result.
int xuTransfer(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint16_t length, bool set, unsigned int timeout);
// An extension-unit transfer as the command functions report it: -1 for a
// null handle; a failed transfer prints failure (a format taking the libusb
// code) and gives BRG_TRANSFER_FAILED; else 0. usb_result, when set, gets
// the libusb result.
int xuChecked(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint16_t length, bool set, unsigned int timeout,
              const char* failure, int* usb_result = nullptr);
// BrgXU_XuCmd that also hands back the libusb result.
int xuCmd(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint8_t length, uint8_t direction, int* usb_result,
          unsigned int timeout = kXuTimeout);
// One vendor OUT control request; the libusb result.
int vendorOut(BrgDevHandle* handle, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
              unsigned int timeout);

}  // namespace brg

// The core of the device library: finding, opening and closing the module,
// and the extension-unit and vendor transfers every other part goes through.
#include "BrgXu.h"

#include <cstdlib>

#include "brg_transport.h"

namespace {

constexpr uint8_t kXuSetType = 0x20;  // host to device, class, interface
constexpr uint8_t kXuGetType = 0xA0;  // device to host, class, interface
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;

}  // namespace

namespace brg {

int xuTransfer(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint16_t length, bool set,
               unsigned int timeout) {
    return libusb_control_transfer(handle->handle, set ? kXuSetType : kXuGetType, set ? kSetCur : kGetCur,
                                   static_cast<uint16_t>(selector << 8), BRG_XU_INDEX, data, length, timeout);
}

int xuChecked(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint16_t length, bool set, unsigned int timeout,
              const char* failure, int* usb_result) {
    if (!handle) return -1;
    int r = xuTransfer(handle, data, selector, length, set, timeout);
    if (usb_result) *usb_result = r;
    if (r < 0) {
        printf(failure, static_cast<unsigned>(r));
        return BRG_TRANSFER_FAILED;
    }
    return 0;
}

int xuCmd(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint8_t length, uint8_t direction, int* usb_result,
          unsigned int timeout) {
    return xuChecked(handle, data, selector, length, direction != 0, timeout, "xuProbe failed : 0x%X", usb_result);
}

int vendorOut(BrgDevHandle* handle, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
              unsigned int timeout) {
    return libusb_control_transfer(handle->handle, kVendorOut, request, value, index, data, length, timeout);
}

}  // namespace brg

using brg::xuCmd;

libusb_device* FindBrgDevice(libusb_device** list, uint16_t vid, uint16_t pid) {
    for (libusb_device** dev = list; *dev; ++dev) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(*dev, &desc) < 0) {
            fprintf(stderr, "failed to get device descriptor");
            return nullptr;
        }
        if (desc.idVendor == vid && desc.idProduct == pid) return *dev;
    }
    return nullptr;
}

BrgDevHandle* OpenBrgDevice(uint16_t vid, uint16_t pid, uint8_t interface_num) {
    libusb_context* cntx = nullptr;
    int r = libusb_init(&cntx);
    puts("lubusb initialized. \r");
    if (r < 0) {
        printf("libusb_init return error 0x%X,\r\n", static_cast<unsigned>(r));
        return nullptr;
    }
    libusb_device** list = nullptr;
    if (libusb_get_device_list(cntx, &list) < 0) {
        libusb_exit(cntx);
        return nullptr;
    }
    puts("get device list.\r");
    libusb_device* dev = FindBrgDevice(list, vid, pid);
    if (!dev) {
        puts("No BRG device has been detected.\r");
        libusb_free_device_list(list, 1);
        libusb_exit(cntx);
        return nullptr;
    }
    puts("found a usb device.\r");
    libusb_device_handle* dh = nullptr;
    if (libusb_open(dev, &dh) != 0) {
        libusb_free_device_list(list, 1);
        libusb_exit(cntx);
        return nullptr;
    }
    int hr = 0;
    if (interface_num != BRG_NO_INTERFACE) {
        // The claim decides; a driver that cannot be detached makes it fail.
        libusb_detach_kernel_driver(dh, interface_num);
        hr = libusb_claim_interface(dh, interface_num);
    }
    printf("OpenBrgDevice claim interface. interface=%d hr=%d\r\n", interface_num, hr);
    if (hr != 0) {
        libusb_close(dh);
        libusb_free_device_list(list, 1);
        libusb_exit(cntx);
        return nullptr;
    }
    auto* handle = static_cast<BrgDevHandle*>(calloc(1, sizeof(BrgDevHandle)));
    if (!handle) {
        if (interface_num != BRG_NO_INTERFACE) libusb_release_interface(dh, interface_num);
        libusb_close(dh);
        libusb_free_device_list(list, 1);
        libusb_exit(cntx);
        return nullptr;
    }
    handle->handle = dh;
    handle->cntx = cntx;
    handle->interface_num = interface_num;
    libusb_free_device_list(list, 1);
    return handle;
}

bool CheckDeviceExist(uint16_t vid, uint16_t pid) {
    libusb_context* cntx = nullptr;
    if (libusb_init(&cntx) < 0) return false;
    libusb_device** list = nullptr;
    bool found = false;
    if (libusb_get_device_list(cntx, &list) >= 0) {
        found = FindBrgDevice(list, vid, pid) != nullptr;
        libusb_free_device_list(list, 1);
    }
    libusb_exit(cntx);
    return found;
}

void CloseBrgDevice(BrgDevHandle* handle) {
    if (!handle) return;
    if (handle->interface_num <= 254) libusb_release_interface(handle->handle, handle->interface_num);
    libusb_close(handle->handle);
    libusb_exit(handle->cntx);
    free(handle);
}

int BrgXU_XuCmd(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint8_t length, uint8_t direction) {
    return xuCmd(handle, data, selector, length, direction, nullptr);
}

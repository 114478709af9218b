// The USB server's clients (one open node each) and the URBs they
// submitted, as the server's parts hold them: the bus side (usb_server.cc)
// and the usbdevfs requests (usb_devfs.cc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>

#include <umockdev.h>

#include "usb_server.h"

namespace vcam {

// One submitted URB: its blocks in the client's memory, held until reaped.
struct UsbServer::Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    uintptr_t addr = 0;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    bool ready = false;
    bool later = false;  // the module is asked again on each reap
    int status = 0;
    int actual = 0;
    ~Urb() {
        if (buffer) g_object_unref(buffer);
        if (urb) g_object_unref(urb);
    }
};

// One open node of a client.
struct UsbServer::Client {
    UMockdevIoctlClient* ref = nullptr;
    int lens = 0;
    unsigned generation = 0;
    bool sg = false;
    std::set<int> claimed;
    std::set<int> detached;
    std::deque<std::unique_ptr<Urb>> urbs;
    std::unique_ptr<Urb> reaped;  // the last URB reaped, until its completion is out
    size_t readPos = 0;
};

}  // namespace vcam

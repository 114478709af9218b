// Client of the virtual camera's device server: lets a test or a person
// inside the camera pace the lenses' clock, inject faults and read the
// lenses' state. Each request is one line; the server answers one line.
#pragma once

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/line_io.h"

namespace vcam {

class DevCtlError : public std::runtime_error {
public:
    explicit DevCtlError(const std::string& what) : std::runtime_error(what) {}
};

class DevCtl {
public:
    // The server's socket: $VCAM_DEVCTL, else /.vcam/devices/ctl.sock.
    static std::string defaultPath();

    // Connects; throws DevCtlError when no server listens there.
    explicit DevCtl(const std::string& path = defaultPath());
    ~DevCtl();
    DevCtl(const DevCtl&) = delete;
    DevCtl& operator=(const DevCtl&) = delete;

    // Sends one command line, returns the whole reply line ("ok ..." or
    // "err ..."). Throws DevCtlError when the connection fails.
    std::string request(const std::string& line);
    // As request, but throws DevCtlError on an "err" reply and returns what
    // follows "ok".
    std::string command(const std::string& line);

    int lenses();
    void pauseClock();
    void runClock(double rate = 1.0);
    void advance(std::chrono::microseconds us);
    // Moves the clock by n frame periods at 60 per second.
    void advanceFrames(int n);

    // fault: "eio", "noframe", "xu", "fwstatus" (count -1 = until cleared),
    // or a flag fault "busy", "nostreaming", "nocapture", "nov4l2", "noperm".
    void fault(int lens, const std::string& fault, int count = -1);
    void flagFault(int lens, const std::string& fault, bool on);
    void sizeFault(int lens, int width, int height, int count = -1);
    void clearFaults(int lens);

    std::map<std::string, std::string> state(int lens);
    std::string get(int lens, const std::string& key);
    long getNumber(int lens, const std::string& key);
    void set(int lens, const std::string& key, const std::string& value);

    // The lens's camera module on the USB bus ("usb LENS ..."): the image it
    // burned last, and the transfers it saw, one line each.
    std::string usbImage(int lens);
    std::vector<std::string> usbCalls(int lens);

private:
    int fd_ = -1;
    pnocamera::LineBuffer pending_;
};

}  // namespace vcam

// The firmware tool tests' controls of the virtual camera's emulated camera
// modules (through the device server) and their runs of fwflash.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace fwtest {

// Runs "usb LENS COMMAND" on the device server; what follows "ok".
std::string usb(int lens, const std::string& command);
// The transfers the module saw, one per line.
std::vector<std::string> calls(int lens);
// Those lines that start with prefix.
std::vector<std::string> callsStarting(int lens, const std::string& prefix);
bool sawCall(int lens, const std::string& part);
// The image the module burned last, read back with the camera's own
// "vcam-devctl usb LENS image FILE".
std::string burnedImage(int lens);
// Bytes of the module's flash or memory.
std::string readMemory(int lens, const std::string& which, size_t offset, size_t length);
// One value of "usb LENS state".
std::string state(int lens, const std::string& key);
// Puts the module on the bus as identity ("uvc", "romboot", "updater").
void boot(int lens, const std::string& identity);
// Puts the module back on the bus as the UVC bridge with its video node,
// faults, ending and call list at their defaults.
void resetModule(int lens);
// Waits until the module is on the bus as identity ("uvc", "romboot",
// "updater").
bool waitForIdentity(int lens, const std::string& identity,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A finished fwflash run.
struct Run {
    int status = -1;
    std::string out;
    long ms = 0;
};
Run fwflash(const std::vector<std::string>& args, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// What the tool prints while it opens the module on interface 0.
extern const char* const kOpened;

}  // namespace fwtest

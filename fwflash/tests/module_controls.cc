#include "module_controls.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sstream>

#include "common/process_util.h"
#include "hex_text.h"
#include "support/camtest.h"
#include "support/vcam_session.h"
#include "vcam_devctl.h"

namespace fwtest {

const char* const kOpened =
    "lubusb initialized. \r\nget device list.\r\nfound a usb device.\r\n"
    "OpenBrgDevice claim interface. interface=0 hr=0\r\n";

std::string usb(int lens, const std::string& command) {
    vcam::DevCtl ctl;
    std::string r = ctl.command("usb " + std::to_string(lens) + " " + command);
    while (!r.empty() && r.front() == ' ') r.erase(r.begin());
    return r;
}

std::vector<std::string> calls(int lens) {
    vcam::DevCtl ctl;
    return ctl.usbCalls(lens);
}

std::vector<std::string> callsStarting(int lens, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& c : calls(lens))
        if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
    return out;
}

bool sawCall(int lens, const std::string& part) {
    for (const std::string& c : calls(lens))
        if (c.find(part) != std::string::npos) return true;
    return false;
}

std::string burnedImage(int lens) {
    const std::string file = "/tmp/burned-" + std::to_string(lens) + ".bin";
    camtest::removeFile(file);
    int status = pnocamera::runProcess({"vcam-devctl", "usb", std::to_string(lens), "image", file});
    EXPECT_TRUE(pnocamera::exitedCleanly(status));
    return camtest::exists(file) ? camtest::readFile(file) : std::string();
}

std::string readMemory(int lens, const std::string& which, size_t offset, size_t length) {
    std::string bytes;
    EXPECT_TRUE(
        vcam::fromHex(usb(lens, "read " + which + " " + std::to_string(offset) + " " + std::to_string(length)), bytes));
    return bytes;
}

std::string state(int lens, const std::string& key) {
    std::istringstream in(usb(lens, "state"));
    for (std::string word; in >> word;)
        if (word.compare(0, key.size() + 1, key + "=") == 0) return word.substr(key.size() + 1);
    return "";
}

bool waitForIdentity(int lens, const std::string& identity, std::chrono::milliseconds timeout) {
    return camtest::waitFor([&] { return state(lens, "present") == "1" && state(lens, "identity") == identity; },
                            timeout);
}

void boot(int lens, const std::string& identity) {
    usb(lens, "boot " + identity);
    ASSERT_TRUE(waitForIdentity(lens, identity));
}

void resetModule(int lens) {
    if (state(lens, "present") != "1" || state(lens, "identity") != "uvc" || state(lens, "video") != "1")
        boot(lens, "uvc");
    ASSERT_TRUE(waitForIdentity(lens, "uvc"));
    ASSERT_TRUE(camtest::waitFor([&] { return state(lens, "video") == "1"; }));
    usb(lens, "clear");
}

Run fwflash(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    std::vector<std::string> argv = {"fwflash"};
    argv.insert(argv.end(), args.begin(), args.end());
    camtest::Process p;
    auto t0 = std::chrono::steady_clock::now();
    camtest::start(p, argv, "/tmp/fwflash.out");
    Run r;
    r.status = p.wait(timeout);
    r.ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
    r.out = p.output();
    return r;
}

}  // namespace fwtest

// The lenses' camera modules as the real libusb sees them inside the
// camera: enumeration and descriptors, open, detach, claim and release,
// the extension-unit update with its scripted endings and faults, the
// vendor-request downloads, the device log stream, the ROM-boot loader with
// its bulk-only SCSI commands and the SCSI generic node.
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "hex_text.h"
#include "support/camtest.h"
#include "vcam_devctl.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVid = 0x114D;
constexpr uint16_t kUvc = 0x858A;
constexpr uint16_t kRomboot = 0x8A03;
constexpr uint16_t kUpdater = 0x8200;
const uint8_t kGuid[16] = {0xd0, 0x9e, 0xe4, 0x23, 0x78, 0x11, 0x31, 0x4f,
                           0xae, 0x52, 0xd2, 0xfb, 0x8a, 0x8d, 0x3b, 0x48};

vcam::DevCtl& ctl() {
    static vcam::DevCtl c;
    return c;
}

std::string usb(const std::string& line) { return ctl().command("usb " + line); }

std::string state(int lens, const std::string& key) {
    std::string s = " " + usb(std::to_string(lens) + " state") + " ";
    size_t at = s.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    return s.substr(at, s.find(' ', at) - at);
}

std::vector<std::string> calls(int lens) { return ctl().usbCalls(lens); }

bool called(int lens, const std::string& line) {
    for (const std::string& c : calls(lens))
        if (c == line) return true;
    return false;
}

Bytes image(int lens) {
    std::string bytes = ctl().usbImage(lens);
    return Bytes(bytes.begin(), bytes.end());
}

Bytes flash(int lens, const std::string& what, size_t off, size_t len) {
    std::string bytes;
    EXPECT_TRUE(vcam::fromHex(
        usb(std::to_string(lens) + " read " + what + " " + std::to_string(off) + " " + std::to_string(len)), bytes));
    return Bytes(bytes.begin(), bytes.end());
}

// One libusb context, as the firmware tool makes one per open.
class Usb {
public:
    Usb() { EXPECT_EQ(0, libusb_init(&ctx_)); }
    ~Usb() {
        if (h_) libusb_close(h_);
        libusb_exit(ctx_);
    }
    Usb(const Usb&) = delete;
    Usb& operator=(const Usb&) = delete;

    struct Found {
        uint16_t vid, pid;
        int bus, address;
    };
    std::vector<Found> list() {
        libusb_device** devs = nullptr;
        ssize_t n = libusb_get_device_list(ctx_, &devs);
        std::vector<Found> out;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            libusb_get_device_descriptor(devs[i], &d);
            out.push_back(
                {d.idVendor, d.idProduct, libusb_get_bus_number(devs[i]), libusb_get_device_address(devs[i])});
        }
        if (n >= 0) libusb_free_device_list(devs, 1);
        return out;
    }
    // Opens the first device with the ids; the libusb result.
    int open(uint16_t pid, int* address = nullptr) {
        libusb_device** devs = nullptr;
        ssize_t n = libusb_get_device_list(ctx_, &devs);
        int r = LIBUSB_ERROR_NOT_FOUND;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d{};
            libusb_get_device_descriptor(devs[i], &d);
            if (d.idVendor != kVid || d.idProduct != pid) continue;
            r = libusb_open(devs[i], &h_);
            if (address) *address = libusb_get_device_address(devs[i]);
            break;
        }
        if (n >= 0) libusb_free_device_list(devs, 1);
        return r;
    }
    libusb_device_handle* h() const { return h_; }
    void close() {
        if (h_) libusb_close(h_);
        h_ = nullptr;
    }
    libusb_context* ctx() const { return ctx_; }

    // Extension unit 6 of interface 0.
    int xuSet(uint8_t selector, Bytes data, unsigned timeout = 1000) {
        return libusb_control_transfer(h_, 0x20, 0x01, uint16_t(selector << 8), 0x0600, data.data(),
                                       uint16_t(data.size()), timeout);
    }
    int xuGet(uint8_t selector, Bytes& out, unsigned timeout = 1000) {
        return libusb_control_transfer(h_, 0xA0, 0x81, uint16_t(selector << 8), 0x0600, out.data(),
                                       uint16_t(out.size()), timeout);
    }
    int vendor(uint8_t req, uint32_t value, Bytes data = {}, unsigned timeout = 1000) {
        return libusb_control_transfer(h_, 0x40, req, uint16_t(value & 0xFFFF), uint16_t(value >> 16),
                                       data.empty() ? nullptr : data.data(), uint16_t(data.size()), timeout);
    }
    // Bytes moved, or the libusb error.
    int bulk(uint8_t ep, Bytes& data, unsigned timeout = 1000) {
        int done = 0;
        int r = libusb_bulk_transfer(h_, ep, data.data(), int(data.size()), &done, timeout);
        return r == 0 ? done : r;
    }

    // One bulk-only command; the wrapper's status, or -1 when a phase fails.
    int scsi(const Bytes& cb, Bytes& data, bool in) {
        Bytes cbw(31, 0);
        std::memcpy(cbw.data(), "USBC", 4);
        cbw[4] = 0x5D;
        uint32_t len = uint32_t(data.size());
        std::memcpy(&cbw[8], &len, 4);
        cbw[12] = in ? 0x80 : 0x00;
        cbw[14] = 16;
        std::copy(cb.begin(), cb.end(), cbw.begin() + 15);
        if (bulk(0x02, cbw) != 31) return -1;
        if (!data.empty() && bulk(in ? 0x81 : 0x02, data) != int(data.size())) return -1;
        Bytes csw(13);
        if (bulk(0x81, csw) != 13 || std::memcmp(csw.data(), "USBS", 4) != 0 || csw[4] != 0x5D) return -1;
        return csw[12];
    }

private:
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* h_ = nullptr;
};

Bytes command(uint8_t a, uint8_t b) { return Bytes{a, b, 3, 0, 0, 0, 0, 0}; }

// Opens lens 0's bridge as the firmware tool does: interface 0 detached
// from its driver and claimed.
void openClaimed(Usb& u, uint16_t pid = kUvc) {
    ASSERT_EQ(0, u.open(pid));
    libusb_detach_kernel_driver(u.h(), 0);
    ASSERT_EQ(0, libusb_claim_interface(u.h(), 0));
}

bool waitPresent(int lens, uint16_t pid) {
    char id[16];
    std::snprintf(id, sizeof id, "114d:%04x", pid);
    return camtest::waitFor([&] { return state(lens, "present") == "1" && state(lens, "id") == id; });
}

class UsbDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int lens = 0; lens < 2; ++lens) {
            usb(std::to_string(lens) + " clear");
            if (state(lens, "present") == "0" || state(lens, "identity") != "uvc")
                usb(std::to_string(lens) + " boot uvc");
            ASSERT_TRUE(waitPresent(lens, kUvc));
            usb(std::to_string(lens) + " return 200");
            usb(std::to_string(lens) + " clear");
        }
        ASSERT_TRUE(camtest::waitFor([] { return camtest::exists("/dev/video0"); }));
    }
};

TEST_F(UsbDeviceTest, BusListsEachLensBridgeWithItsDescriptors) {
    Usb u;
    std::vector<Usb::Found> devs = u.list();
    std::vector<Usb::Found> bridges;
    for (auto& d : devs)
        if (d.vid == kVid && d.pid == kUvc) bridges.push_back(d);
    ASSERT_EQ(2u, bridges.size());
    // lens 0 comes first in the library's list
    EXPECT_EQ(std::to_string(bridges[0].address), state(0, "devnum"));
    EXPECT_EQ(std::to_string(bridges[1].address), state(1, "devnum"));
    EXPECT_EQ(1, bridges[0].bus);
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", bridges[0].address);
    EXPECT_TRUE(camtest::exists(node));

    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(u.ctx(), &list);
    libusb_device* dev = nullptr;
    for (ssize_t i = 0; i < n && !dev; ++i) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(list[i], &d);
        if (d.idVendor == kVid && d.idProduct == kUvc) {
            dev = list[i];
            EXPECT_EQ(0xEF, d.bDeviceClass);
            EXPECT_EQ(0x0200, d.bcdUSB);
            EXPECT_EQ(1, d.bNumConfigurations);
        }
    }
    ASSERT_NE(nullptr, dev);
    libusb_config_descriptor* cfg = nullptr;
    ASSERT_EQ(0, libusb_get_active_config_descriptor(dev, &cfg));
    ASSERT_EQ(2, cfg->bNumInterfaces);
    const libusb_interface_descriptor& vc = cfg->interface[0].altsetting[0];
    EXPECT_EQ(0x0E, vc.bInterfaceClass);
    EXPECT_EQ(0x01, vc.bInterfaceSubClass);
    // the extension unit (subtype 6) with id 6 and its GUID
    std::string extra(reinterpret_cast<const char*>(vc.extra), size_t(vc.extra_length));
    size_t at = extra.find(std::string("\x24\x06\x06", 3));
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(0, std::memcmp(extra.data() + at + 3, kGuid, 16));
    std::vector<int> eps;
    for (int i = 0; i < vc.bNumEndpoints; ++i) eps.push_back(vc.endpoint[i].bEndpointAddress);
    EXPECT_EQ((std::vector<int>{0x87, 0x01, 0x04, 0x85}), eps);
    EXPECT_EQ(0x0E, cfg->interface[1].altsetting[0].bInterfaceClass);
    EXPECT_EQ(0x02, cfg->interface[1].altsetting[0].bInterfaceSubClass);
    libusb_free_config_descriptor(cfg);
    libusb_free_device_list(list, 1);

    // a module whose descriptors cannot be read is not listed
    usb("0 fault descriptors on");
    Usb again;
    int seen = 0;
    for (auto& d : again.list()) seen += d.vid == kVid && d.pid == kUvc;
    EXPECT_EQ(1, seen);
    usb("0 fault descriptors off");
    Usb back;
    seen = 0;
    for (auto& d : back.list()) seen += d.vid == kVid && d.pid == kUvc;
    EXPECT_EQ(2, seen);

    // an unplugged module is off the bus by the time the command answers
    usb("0 unplug");
    EXPECT_FALSE(camtest::exists(node));
    Usb gone;
    seen = 0;
    for (auto& d : gone.list()) seen += d.vid == kVid && d.pid == kUvc;
    EXPECT_EQ(1, seen);
    usb("0 plug");
    EXPECT_TRUE(waitPresent(0, kUvc));
}

TEST_F(UsbDeviceTest, DetachClaimAndReleaseMoveTheVideoNode) {
    Usb u;
    ASSERT_EQ(0, u.open(kUvc));
    EXPECT_EQ(1, libusb_kernel_driver_active(u.h(), 0));
    // the UVC driver holds the interface; the extension-unit requests go
    // to the device and pass all the same
    EXPECT_EQ(LIBUSB_ERROR_BUSY, libusb_claim_interface(u.h(), 0));
    Bytes st(8);
    EXPECT_EQ(8, u.xuGet(5, st));
    EXPECT_EQ(0, libusb_detach_kernel_driver(u.h(), 0));
    EXPECT_EQ(0, libusb_kernel_driver_active(u.h(), 0));
    EXPECT_TRUE(camtest::waitFor([] { return !camtest::exists("/dev/video0"); }));
    EXPECT_TRUE(camtest::exists("/dev/video1"));
    EXPECT_EQ(0, libusb_claim_interface(u.h(), 0));
    EXPECT_EQ(LIBUSB_ERROR_NOT_FOUND, libusb_claim_interface(u.h(), 7));

    // a second program cannot take the claimed interface
    Usb other;
    ASSERT_EQ(0, other.open(kUvc));
    EXPECT_EQ(LIBUSB_ERROR_BUSY, libusb_claim_interface(other.h(), 0));
    other.close();

    EXPECT_EQ(8, u.xuGet(5, st));
    EXPECT_FALSE(camtest::exists("/dev/video0"));
    EXPECT_EQ(0, libusb_release_interface(u.h(), 0));
    EXPECT_TRUE(camtest::waitFor([] { return camtest::exists("/dev/video0"); }))
        << usb("0 calls") << " " << usb("0 state");
    u.close();
    EXPECT_TRUE(called(0, "detach 0 uvcvideo"));
    EXPECT_TRUE(called(0, "claim 0"));
    EXPECT_TRUE(called(0, "release 0"));

    // a detach without a claim holds the driver off until the handle closes
    ASSERT_EQ(0, u.open(kUvc));
    EXPECT_EQ(0, libusb_detach_kernel_driver(u.h(), 0));
    EXPECT_TRUE(camtest::waitFor([] { return !camtest::exists("/dev/video0"); }));
    u.close();
    EXPECT_TRUE(camtest::waitFor([] { return camtest::exists("/dev/video0"); }));

    // a node that refuses to open
    u.close();
    usb("0 fault open on");
    EXPECT_EQ(LIBUSB_ERROR_ACCESS, u.open(kUvc));
    usb("0 fault open off");

    // injected claim failures
    ASSERT_EQ(0, u.open(kUvc));
    libusb_detach_kernel_driver(u.h(), 0);
    usb("0 fault claim busy");
    EXPECT_EQ(LIBUSB_ERROR_BUSY, libusb_claim_interface(u.h(), 0));
    usb("0 fault claim perm");
    EXPECT_NE(0, libusb_claim_interface(u.h(), 0));
    EXPECT_EQ(0, libusb_claim_interface(u.h(), 0));
}

TEST_F(UsbDeviceTest, ExtensionUnitUpdateCollectsChunksAndEndsAsScripted) {
    Usb u;
    openClaimed(u);
    // 33 bytes: two chunks, the second padded with zeros
    Bytes img(64, 0);
    for (int i = 0; i < 33; ++i) img[size_t(i)] = uint8_t(i + 1);
    EXPECT_EQ(8, u.xuSet(4, command(1, 0)));
    EXPECT_EQ(32, u.xuSet(3, Bytes(img.begin(), img.begin() + 32)));
    EXPECT_EQ(32, u.xuSet(3, Bytes(img.begin() + 32, img.end())));
    EXPECT_EQ(8, u.xuSet(4, command(1, 1)));
    Bytes st(8, 0xEE);
    // the default ending: one busy poll, then status 0
    EXPECT_EQ(8, u.xuGet(5, st));
    EXPECT_NE(0, st[0]);
    EXPECT_NE(0x82, st[0]);
    EXPECT_EQ(8, u.xuGet(5, st));
    EXPECT_EQ(0, st[0]);
    EXPECT_EQ(img, image(0));
    EXPECT_TRUE(image(1).empty());
    std::vector<std::string> c = calls(0);
    std::vector<std::string> want = {"xu set 4 8 0100030000000000", "xu set 3 32", "xu set 3 32",
                                     "xu set 4 8 0101030000000000"};
    auto it = std::search(c.begin(), c.end(), want.begin(), want.end());
    EXPECT_NE(c.end(), it);

    // status 0x82 on the third poll
    usb("0 after-burn fail 2");
    EXPECT_EQ(8, u.xuSet(4, command(1, 0)));
    EXPECT_EQ(8, u.xuSet(4, command(1, 1)));
    for (int poll = 1; poll <= 3; ++poll) {
        ASSERT_EQ(8, u.xuGet(5, st));
        EXPECT_EQ(poll == 3 ? 0x82 : 0x01, st[0]) << poll;
    }
    // an empty burn burned an empty image
    EXPECT_TRUE(image(0).empty());

    // silence: the poll times out and the request is discarded
    usb("0 after-burn silent 0");
    EXPECT_EQ(8, u.xuSet(4, command(1, 0)));
    EXPECT_EQ(8, u.xuSet(4, command(1, 1)));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, u.xuGet(5, st, 200));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
    EXPECT_TRUE(called(0, "discard 0000"));
    // the handle still works after the discarded request
    EXPECT_EQ(8, u.xuSet(1, Bytes(8, 0)));

    // leaving the bus: the next poll finds no device; the module and the
    // lens come back with a new device number
    std::string before = state(0, "devnum");
    usb("0 after-burn drop 1");
    EXPECT_EQ(8, u.xuSet(4, command(1, 0)));
    EXPECT_EQ(8, u.xuSet(4, command(1, 1)));
    EXPECT_EQ(8, u.xuGet(5, st));
    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, u.xuGet(5, st));
    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, u.xuSet(4, command(1, 0)));
    EXPECT_TRUE(camtest::waitFor([] { return !camtest::exists("/dev/video0"); }));
    EXPECT_NE(LIBUSB_SUCCESS, libusb_release_interface(u.h(), 0));
    u.close();
    ASSERT_TRUE(waitPresent(0, kUvc));
    EXPECT_NE(before, state(0, "devnum"));
    EXPECT_TRUE(camtest::waitFor([] { return camtest::exists("/dev/video0"); }));
    Usb again;
    int address = 0;
    ASSERT_EQ(0, again.open(kUvc, &address));
    EXPECT_EQ(state(0, "devnum"), std::to_string(address));
}

TEST_F(UsbDeviceTest, InjectedTransferFaults) {
    Usb u;
    openClaimed(u);
    Bytes chunk(32, 0x11);
    Bytes st(8);
    usb("0 fault chunk 2");
    EXPECT_EQ(8, u.xuSet(4, command(1, 0)));
    EXPECT_EQ(32, u.xuSet(3, chunk));
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.xuSet(3, Bytes(32, 0x22)));
    EXPECT_EQ(32, u.xuSet(3, Bytes(32, 0x33)));
    EXPECT_EQ(8, u.xuSet(4, command(1, 1)));
    Bytes holed(32, 0x11);
    holed.insert(holed.end(), 32, 0x33);
    EXPECT_EQ(holed, image(0));
    EXPECT_TRUE(called(0, "xu set 3 32 fault=stall"));

    usb("0 fault init timeout");
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, u.xuSet(4, command(1, 0), 200));
    usb("0 fault poll short");
    EXPECT_EQ(4, u.xuGet(5, st));
    usb("0 fault burn stall");
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.xuSet(4, command(1, 1)));
    usb("0 fault next nodev");
    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, u.xuGet(5, st));
    u.close();
    ASSERT_TRUE(waitPresent(0, kUvc));

    // the controls refuse what they cannot mean
    for (const char* bad : {"usb 9 state",
                            "usb x state",
                            "usb 0 fault chunk 0",
                            "usb 0 fault chunk -3",
                            "usb 0 fault init melt",
                            "usb 0 fault bulk zz",
                            "usb 0 after-burn later",
                            "usb 0 after-burn ok 99999999999",
                            "usb 0 log 70000 x",
                            "usb 0 log raw 0g",
                            "usb 0 read flash 0 99999999",
                            "usb 0 read flash 4194304 1",
                            "usb 0 return -1",
                            "usb 0 fault sg check zz 0 0",
                            "usb 0",
                            "usb 0 boot dfu",
                            "usb 0 fault claim maybe",
                            "usb 0 faces 256",
                            "usb 0 faces -1",
                            "usb 0 faces many",
                            "usb 0 faces 1 2"})
        EXPECT_EQ(0u, ctl().request(bad).rfind("err ", 0)) << bad;
}

TEST_F(UsbDeviceTest, VendorRequestDownloads) {
    Usb u;
    openClaimed(u);
    Bytes img(100000);
    for (size_t i = 0; i < img.size(); ++i) img[i] = uint8_t(i * 7 + 3);
    uint32_t len = uint32_t(img.size());
    EXPECT_EQ(0, u.vendor(0x82, len));
    for (size_t at = 0; at < img.size(); at += 32768) {
        Bytes piece(img.begin() + long(at), img.begin() + long(std::min(img.size(), at + 32768)));
        EXPECT_EQ(int(piece.size()), u.bulk(0x04, piece, 5000));
    }
    Bytes sum(12, 0);
    std::memcpy(&sum[8], &len, 4);
    EXPECT_EQ(12, u.vendor(0x07, 0, sum, 30000));
    EXPECT_EQ(0, u.vendor(0x03, len, {}, 30000));
    EXPECT_EQ(img, image(0));

    // a burn whose length differs from the download stalls
    EXPECT_EQ(0, u.vendor(0x82, 64));
    Bytes small(63, 1);
    EXPECT_EQ(63, u.bulk(0x01, small, 100));
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.vendor(0x05, 64));
    EXPECT_EQ(img, image(0));

    // a partial update writes the part at its flash address
    Bytes part(4096, 0x5A);
    EXPECT_EQ(0, u.vendor(0x82, 4096));
    EXPECT_EQ(4096, u.bulk(0x04, part));
    Bytes where = {0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};  // 0x1000, 4096 bytes
    EXPECT_EQ(8, libusb_control_transfer(u.h(), 0x40, 0x04, 0, 1, where.data(), 8, 30000));
    EXPECT_EQ(part, flash(0, "flash", 0x1000, 4096));
    EXPECT_EQ(Bytes(16, 0xFF), flash(0, "flash", 0x1000 - 16, 16));
    // a part past the end of the flash stalls
    EXPECT_EQ(0, u.vendor(0x82, 16));
    Bytes tail(16, 1);
    EXPECT_EQ(16, u.bulk(0x04, tail));
    Bytes past = {0xF8, 0xFF, 0x3F, 0x00, 0x10, 0x00, 0x00, 0x00};
    EXPECT_EQ(LIBUSB_ERROR_PIPE, libusb_control_transfer(u.h(), 0x40, 0x04, 0, 1, past.data(), 8, 1000));
    usb("0 fault bulk 04 stall");
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.bulk(0x04, tail));
}

// A stalled bulk endpoint stays halted until CLEAR_FEATURE(ENDPOINT_HALT),
// through usbfs's clear-halt or the standard request itself; a stalled data
// phase ends the bulk-only command with a failed status.
TEST_F(UsbDeviceTest, StalledEndpointStaysHaltedUntilCleared) {
    Usb u;
    openClaimed(u);
    Bytes piece(64, 7);
    usb("0 fault bulk 04");
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.bulk(0x04, piece));
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.bulk(0x04, piece));
    EXPECT_TRUE(called(0, "bulk out 04 64 halted stalled"));
    // other endpoints go on
    EXPECT_EQ(64, u.bulk(0x01, piece));
    EXPECT_EQ(0, libusb_clear_halt(u.h(), 0x04));
    EXPECT_TRUE(called(0, "clear-halt 04"));
    EXPECT_EQ(64, u.bulk(0x04, piece));
    // the standard request to the endpoint
    usb("0 fault bulk 01");
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.bulk(0x01, piece));
    EXPECT_EQ(0, libusb_control_transfer(u.h(), 0x02, 0x01, 0, 0x01, nullptr, 0, 1000));
    EXPECT_EQ(64, u.bulk(0x01, piece));
    // an endpoint the module does not have
    EXPECT_NE(0, libusb_clear_halt(u.h(), 0x06));
    // a halt does not outlive the module's next enumeration
    usb("0 fault bulk 04");
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.bulk(0x04, piece));
    u.close();
    usb("0 boot uvc");
    ASSERT_TRUE(waitPresent(0, kUvc));
    {
        Usb again;
        openClaimed(again);
        EXPECT_EQ(64, again.bulk(0x04, piece));
    }

    usb("0 boot updater");
    ASSERT_TRUE(waitPresent(0, kUpdater));
    Usb up;
    openClaimed(up, kUpdater);
    // a device write whose data stalls: the status says failed, nothing is
    // written, and the next command works once the halt is cleared
    Bytes cbw(31, 0);
    std::memcpy(cbw.data(), "USBC", 4);
    cbw[4] = 0x5D;
    cbw[9] = 2;  // 512 bytes out
    cbw[14] = 16;
    const uint8_t write[] = {0xFA, 0x55, 0x66, 0x08, 0, 0, 0x40, 0x00, 0, 1, 0};
    std::copy(std::begin(write), std::end(write), cbw.begin() + 15);
    Bytes sel(4);
    ASSERT_EQ(0, up.scsi({0xFA, 0x55, 0x66, 0x06, 5, 0}, sel, true));
    EXPECT_EQ(31, up.bulk(0x02, cbw));
    usb("0 fault bulk 02");
    Bytes sector(512, 0x3C);
    EXPECT_EQ(LIBUSB_ERROR_PIPE, up.bulk(0x02, sector));
    Bytes csw(13);
    ASSERT_EQ(13, up.bulk(0x81, csw));
    EXPECT_EQ(0, std::memcmp(csw.data(), "USBS", 4));
    EXPECT_EQ(1, csw[12]);
    EXPECT_EQ(Bytes(512, 0xFF), flash(0, "flash", 0x4000, 512));
    EXPECT_EQ(-1, up.scsi({0xFA, 0x55, 0x66, 0x08, 0, 0, 0x40, 0x00, 0, 1, 0}, sector, false));
    EXPECT_EQ(0, libusb_clear_halt(up.h(), 0x02));
    EXPECT_EQ(0, up.scsi({0xFA, 0x55, 0x66, 0x08, 0, 0, 0x40, 0x00, 0, 1, 0}, sector, false));
    EXPECT_EQ(sector, flash(0, "flash", 0x4000, 512));
    // a stalled status is there to read again
    usb("0 fault bulk 81");
    EXPECT_EQ(31, up.bulk(0x02, cbw));
    EXPECT_EQ(512, up.bulk(0x02, sector));
    EXPECT_EQ(LIBUSB_ERROR_PIPE, up.bulk(0x81, csw));
    EXPECT_EQ(0, libusb_clear_halt(up.h(), 0x81));
    ASSERT_EQ(13, up.bulk(0x81, csw));
    EXPECT_EQ(0, csw[12]);
}

TEST_F(UsbDeviceTest, DeviceLogStreamsMessagesInBlocks) {
    Usb u;
    openClaimed(u);
    Bytes block(512);
    // nothing before the log is started
    usb("0 log 0 early");
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, u.bulk(0x85, block, 150));
    EXPECT_EQ(0, u.vendor(0x85, 0));
    int n = u.bulk(0x85, block, 1000);
    ASSERT_EQ(16 + 5, n);
    EXPECT_EQ(16, block[2] | block[3] << 8);
    EXPECT_EQ(0, block[8] | block[9] << 8);
    EXPECT_EQ(5, block[10] | block[11] << 8);
    EXPECT_EQ("early", std::string(reinterpret_cast<char*>(&block[16]), 5));
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, u.bulk(0x85, block, 150));

    // a message longer than a block comes in full blocks and a short one
    usb("0 log 2 size 1000");
    EXPECT_EQ(512, u.bulk(0x85, block));
    EXPECT_EQ(2, block[8]);
    EXPECT_EQ(1000, block[10] | block[11] << 8);
    EXPECT_EQ(504, u.bulk(0x85, block));
    // one that fills its last block ends with a zero-length one
    usb("0 log 3 size 1008");
    EXPECT_EQ(512, u.bulk(0x85, block));
    EXPECT_EQ(512, u.bulk(0x85, block));
    EXPECT_EQ(0, u.bulk(0x85, block));
    // the text of a message as typed, and one of a bad header
    usb("0 log 0 fw  ok  now");
    usb("0 log raw 0101040000");
    n = u.bulk(0x85, block);
    ASSERT_EQ(16 + 11, n);
    EXPECT_EQ("fw  ok  now", std::string(reinterpret_cast<char*>(&block[16]), 11));
    EXPECT_EQ(5, u.bulk(0x85, block));
    EXPECT_EQ(Bytes({1, 1, 4, 0, 0}), Bytes(block.begin(), block.begin() + 5));
    // an oversized message: 65535 bytes behind its header
    usb("0 log 1 size 65535");
    size_t total = 0;
    for (;;) {
        n = u.bulk(0x85, block);
        ASSERT_GE(n, 0);
        total += size_t(n);
        if (n < 512) break;
    }
    EXPECT_EQ(16u + 65535u, total);
    EXPECT_EQ(0, u.vendor(0x86, 0));
    usb("0 log 0 late");
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, u.bulk(0x85, block, 150));
    EXPECT_EQ("0", state(0, "logging"));
    EXPECT_TRUE(called(0, "vendor 40 86 0000 0000 0"));
}

TEST_F(UsbDeviceTest, RombootLoaderAndUpdaterSpeakBulkOnlyScsi) {
    usb("0 boot romboot");
    ASSERT_TRUE(waitPresent(0, kRomboot));
    EXPECT_TRUE(camtest::waitFor([] { return !camtest::exists("/dev/video0"); }));
    ASSERT_TRUE(camtest::waitFor([] { return camtest::exists("/dev/sg0"); }));
    {
        Usb u;
        int bridges = 0, loaders = 0;
        for (auto& d : u.list()) {
            bridges += d.vid == kVid && d.pid == kUvc;
            loaders += d.vid == kVid && d.pid == kRomboot;
        }
        EXPECT_EQ(1, bridges);
        EXPECT_EQ(1, loaders);
    }
    // the SCSI generic node answers the test command
    int fd = open("/dev/sg0", O_RDWR);
    ASSERT_GE(fd, 0);
    auto sgTest = [fd](sg_io_hdr_t& h, uint8_t* answer, uint8_t* sense) {
        static uint8_t cb[16] = {0xFA, 0x55, 0x66, 0x01};
        std::memset(&h, 0, sizeof h);
        h.interface_id = 'S';
        h.dxfer_direction = SG_DXFER_FROM_DEV;
        h.cmd_len = 16;
        h.cmdp = cb;
        h.dxfer_len = 16;
        h.dxferp = answer;
        h.mx_sb_len = 32;
        h.sbp = sense;
        h.timeout = 2000;
        return ioctl(fd, SG_IO, &h);
    };
    sg_io_hdr_t h;
    uint8_t answer[16], sense[32];
    ASSERT_EQ(0, sgTest(h, answer, sense));
    EXPECT_EQ(0, h.status);
    EXPECT_EQ(0xAA, answer[0]);
    EXPECT_EQ(0x55, answer[1]);
    usb("0 fault sg check 5 24 0");
    ASSERT_EQ(0, sgTest(h, answer, sense));
    EXPECT_EQ(2, h.status);
    EXPECT_EQ(18, h.sb_len_wr);
    EXPECT_EQ(0x70, sense[0]);
    EXPECT_EQ(5, sense[2]);
    EXPECT_EQ(0x24, sense[12]);
    usb("0 fault sg host 1");
    ASSERT_EQ(0, sgTest(h, answer, sense));
    EXPECT_EQ(1, h.host_status);
    usb("0 fault sg driver 6");
    ASSERT_EQ(0, sgTest(h, answer, sense));
    EXPECT_EQ(6, h.driver_status);
    usb("0 fault sg errno 5");
    EXPECT_EQ(-1, sgTest(h, answer, sense));
    EXPECT_EQ(EIO, errno);
    h.interface_id = 'Q';
    EXPECT_EQ(-1, ioctl(fd, SG_IO, &h));
    close(fd);

    Usb u;
    openClaimed(u, kRomboot);
    Bytes data(16);
    EXPECT_EQ(0, u.scsi({0xFA, 0x55, 0x55, 0x01}, data, true));
    EXPECT_EQ(0xAA, data[0]);
    EXPECT_EQ(0x55, data[1]);
    // a wrapper without its signature stalls; with no command there is no
    // status to read
    Bytes bad(31, 0);
    std::memcpy(bad.data(), "USBX", 4);
    EXPECT_EQ(LIBUSB_ERROR_PIPE, u.bulk(0x02, bad));
    Bytes early(13);
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, u.bulk(0x81, early, 150));
    // the stalled endpoint stays halted until the host clears it
    EXPECT_EQ(-1, u.scsi({0xFA, 0x55, 0x55, 0x01}, data, true));
    EXPECT_EQ(0, libusb_clear_halt(u.h(), 0x02));
    EXPECT_EQ(0, u.scsi({0xFA, 0x55, 0x55, 0x01}, data, true));
    // the loader, then the long jump: the module comes back as the updater
    Bytes loader(1024, 0x4C);
    EXPECT_EQ(0, u.scsi({0xFA, 0x55, 0x66, 0x02, 0x00, 0x02}, loader, false));
    Bytes none;
    EXPECT_EQ(1, u.scsi({0xFA, 0x55, 0x66, 0x09}, none, false));
    EXPECT_EQ(0, u.scsi({0xFA, 0x55, 0x66, 0x03}, none, false));
    Bytes csw(13);
    EXPECT_EQ(LIBUSB_ERROR_NO_DEVICE, u.bulk(0x02, csw));
    u.close();
    ASSERT_TRUE(waitPresent(0, kUpdater));

    Usb up;
    openClaimed(up, kUpdater);
    Bytes sectors(4);
    EXPECT_EQ(0, up.scsi({0xFA, 0x55, 0x66, 0x06, 5, 0}, sectors, true));
    EXPECT_EQ(4u << 20, (sectors[0] | sectors[1] << 8 | sectors[2] << 16 | uint32_t(sectors[3]) << 24) * 512u);
    Bytes code(1024);
    for (size_t i = 0; i < code.size(); ++i) code[i] = uint8_t(i);
    // two sectors at 0x2000
    EXPECT_EQ(0, up.scsi({0xFA, 0x55, 0x66, 0x08, 0, 0, 0x20, 0x00, 0, 2, 1}, code, false));
    EXPECT_EQ(code, flash(0, "flash", 0x2000, 1024));
    // past the end of the flash
    EXPECT_EQ(1, up.scsi({0xFA, 0x55, 0x66, 0x08, 0, 0x40, 0, 0, 0, 2, 0}, code, false));
    // into memory, then start it: the bridge is back
    EXPECT_EQ(0, up.scsi({0xFA, 0x55, 0x66, 0x06, 128, 0}, sectors, true));
    EXPECT_EQ(0, up.scsi({0xFA, 0x55, 0x66, 0x08, 0, 0, 0, 0, 0, 2, 0}, code, false));
    EXPECT_EQ(code, flash(0, "dram", 0, 1024));
    EXPECT_EQ(0, up.scsi({0xFA, 0x55, 0x66, 0x03}, none, false));
    up.close();
    ASSERT_TRUE(waitPresent(0, kUvc));
    EXPECT_TRUE(camtest::waitFor([] { return camtest::exists("/dev/video0"); }));
    EXPECT_FALSE(camtest::exists("/dev/sg0"));
    EXPECT_TRUE(called(0, "scsi write-control 2"));
    EXPECT_TRUE(called(0, "scsi long-jump"));
    EXPECT_TRUE(called(0, "scsi select 128 0"));
}

}  // namespace

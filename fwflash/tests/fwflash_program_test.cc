// fwflash run in the virtual camera against the emulated camera module,
// through Debian's libusb: the update as the module sees it, how it ends,
// and every input the tool refuses. The Slow cases keep the tool's real
// one-second pacing and run as ctest entries of their own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "BrgXu.h"
#include "module_controls.h"
#include "support/camtest.h"
#include "support/vcam_session.h"
#include "test_util.h"

namespace {

using fwtest::calls;
using fwtest::callsStarting;
using fwtest::fwflash;
using fwtest::kOpened;
using fwtest::usb;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char* kInit = "xu set 4 8 0100030000000000";
const char* kBurn = "xu set 4 8 0101030000000000";

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

std::string padded(const std::string& image) { return image + std::string((32 - image.size() % 32) % 32, '\0'); }

bool videoNode() { return camtest::exists("/dev/video0"); }

size_t openDescriptors() { return fwtest::entries("/proc/self/fd"); }

class Fwflash : public testing::Test {
protected:
    void SetUp() override { fwtest::resetModule(0); }

    // The extension-unit transfers of the last run.
    std::vector<std::string> xu() { return callsStarting(0, "xu "); }

    // A run that must stop before the burn command: status 1, the message,
    // and the module's list without a burn.
    void expectNoBurn(const fwtest::Run& r, const std::string& message) {
        EXPECT_EQ(1, r.status) << r.out;
        EXPECT_NE(std::string::npos, r.out.find(message)) << r.out;
        EXPECT_EQ(std::string::npos, r.out.find("Start burning.")) << r.out;
        for (const std::string& c : xu()) {
            EXPECT_NE(0u, c.find(kBurn)) << c;
            EXPECT_NE(0u, c.find("xu get 5")) << c;
        }
    }
};

TEST_F(Fwflash, NoArgumentOpensNothing) {
    fwtest::Run r = fwflash({});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("usage: fwflash <firmware image>\n", r.out);
    EXPECT_TRUE(calls(0).empty());
    EXPECT_TRUE(videoNode());
}

TEST_F(Fwflash, RefusedImagesSendNothing) {
    struct Case {
        std::string path;
        std::string message;
    };
    mkdir("/tmp/imgdir", 0755);
    camtest::writeFile("/tmp/empty.bin", "");
    unlink("/tmp/image.fifo");
    ASSERT_EQ(0, mkfifo("/tmp/image.fifo", 0644));
    int fd = open("/tmp/huge.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(0, ftruncate(fd, off_t(5) << 30));
    close(fd);
    const std::vector<Case> cases = {
        {"/tmp/missing.bin", "file /tmp/missing.bin not exist. \r\n"},
        {"/tmp/imgdir", "file /tmp/imgdir is a directory. \r\n"},
        {"/tmp/empty.bin", "binary size=0 bytes\r\nfile /tmp/empty.bin is empty. \r\n"},
        {"/tmp/image.fifo", "file /tmp/image.fifo size unknown. \r\n"},
        {"/tmp/huge.bin", "file /tmp/huge.bin too large. \r\n"},
        // Shell characters are only a file name.
        {"/tmp/$(touch /tmp/owned);x.bin", "file /tmp/$(touch /tmp/owned);x.bin not exist. \r\n"},
    };
    for (const Case& c : cases) {
        usb(0, "clear");
        fwtest::Run r = fwflash({c.path});
        EXPECT_EQ(1, r.status) << c.path;
        EXPECT_EQ(std::string(kOpened) + c.message, r.out);
        EXPECT_TRUE(xu().empty()) << c.path;
    }
    EXPECT_FALSE(camtest::exists("/tmp/owned"));
    unlink("/tmp/huge.bin");
}

TEST_F(Fwflash, FailedInitOrChunkNeverBurns) {
    camtest::writeFile("/tmp/fw100.bin", randomBytes(100, 1));  // four chunks

    usb(0, "fault init");
    fwtest::Run r = fwflash({"/tmp/fw100.bin"});
    expectNoBurn(r, "UVC path fw update init failed.\r\n");
    std::vector<std::string> sent = xu();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0u, sent[0].find(kInit));

    struct Case {
        const char* fault;
        size_t sent;  // transfers up to the failed one, init included
    };
    for (const Case& c : {Case{"fault chunk 2", 3}, Case{"fault chunk 4 short", 5}, Case{"fault chunk 1 timeout", 2},
                          Case{"fault chunk 3 nodev", 4}}) {
        fwtest::resetModule(0);
        usb(0, c.fault);
        r = fwflash({"/tmp/fw100.bin"});
        expectNoBurn(r, "UVC path fw data transfer failed at chunk");
        EXPECT_EQ(c.sent, xu().size()) << c.fault;
    }
}

// A burn command the module did not take is a failure, never the success
// its unchanged status would read as; the status is not even polled.
TEST_F(Fwflash, FailedBurnCommandIsNoSuccess) {
    const std::string image = randomBytes(64, 8);
    camtest::writeFile("/tmp/fw64.bin", image);
    const std::string sent = std::string(kOpened) +
                             "binary size=64 bytes\r\nUVC path fw update init.\r\n"
                             "UVC path fw data transfer.\r\nStart burning.\r\n";
    struct Case {
        const char* fault;
        std::string out;
    };
    for (const Case& c :
         {Case{"fault burn stall", sent + "xuProbe failed : 0xFFFFFFF7\r\nUpdate flash failed. 1884\r\n"},
          Case{"fault burn timeout", sent + "xuProbe failed : 0xFFFFFFF9\r\nUpdate flash failed. 1884\r\n"},
          Case{"fault burn short", sent + "\r\nUpdate flash failed. 1884\r\n"},
          Case{"fault burn nodev", sent + "xuProbe failed : 0xFFFFFFFC\r\nUpdate flash failed. 1884\r\n"}}) {
        fwtest::resetModule(0);
        usb(0, c.fault);
        fwtest::Run r = fwflash({"/tmp/fw64.bin"});
        EXPECT_EQ(1, r.status) << c.fault;
        EXPECT_EQ(c.out, r.out) << c.fault;
        EXPECT_TRUE(callsStarting(0, "xu get 5").empty()) << c.fault;
        EXPECT_EQ(1u, callsStarting(0, kBurn).size()) << c.fault;
    }

    // A module that takes the burn command and leaves the bus at once has
    // rebooted into its new image.
    fwtest::resetModule(0);
    usb(0, "after-burn drop 0");
    fwtest::Run r = fwflash({"/tmp/fw64.bin"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(sent + "xuProbe failed : 0xFFFFFFFCDevice Reboot.\r\n", r.out);
    EXPECT_EQ(image, fwtest::burnedImage(0));
}

TEST_F(Fwflash, OpenFailuresReleaseWhatTheyTook) {
    camtest::writeFile("/tmp/fw8.bin", "12345678");
    struct Case {
        const char* fault;
        std::string out;
    };
    const std::string found = "lubusb initialized. \r\nget device list.\r\nfound a usb device.\r\n";
    for (const Case& c : {Case{"fault claim busy", found + "OpenBrgDevice claim interface. interface=0 hr=-6\r\n"},
                          Case{"fault claim perm", found + "OpenBrgDevice claim interface. interface=0 hr=-99\r\n"}}) {
        usb(0, "clear");
        usb(0, c.fault);
        fwtest::Run r = fwflash({"/tmp/fw8.bin"});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.out + "open device failed\n", r.out);
        EXPECT_TRUE(xu().empty());
    }

    // In one process: a failed open leaves no descriptor of the device or
    // of the library context behind.
    const size_t before = openDescriptors();
    for (const char* fault : {"fault claim busy", "fault claim perm"}) {
        usb(0, fault);
        CaptureStdout();
        EXPECT_EQ(nullptr, OpenBrgDevice(BRG_VID, BRG_UVC_PID, 0));
        GetCapturedStdout();
    }
    CaptureStdout();
    EXPECT_EQ(nullptr, OpenBrgDevice(BRG_VID, 0x1234, 0));
    GetCapturedStdout();
    EXPECT_EQ(before, openDescriptors());

    usb(0, "clear");
    usb(0, "unplug");
    fwtest::Run r = fwflash({"/tmp/fw8.bin"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(
        "lubusb initialized. \r\nget device list.\r\nNo BRG device has been detected.\r\n"
        "open device failed\n",
        r.out);
}

TEST_F(Fwflash, DescriptorsThatCannotBeRead) {
    camtest::writeFile("/tmp/fw8.bin", "12345678");
    usb(0, "fault descriptors on");
    fwtest::Run r = fwflash({"/tmp/fw8.bin"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("open device failed\n")) << r.out;
    EXPECT_TRUE(xu().empty());
}

// Interface 255: nothing detached or claimed, the video node stays.
TEST_F(Fwflash, Interface255LeavesTheDriver) {
    CaptureStdout();
    BrgDevHandle* h = OpenBrgDevice(BRG_VID, BRG_UVC_PID, BRG_NO_INTERFACE);
    std::string out = GetCapturedStdout();
    ASSERT_NE(nullptr, h) << out;
    EXPECT_EQ(
        "lubusb initialized. \r\nget device list.\r\nfound a usb device.\r\n"
        "OpenBrgDevice claim interface. interface=255 hr=0\r\n",
        out);
    EXPECT_EQ(255, h->interface_num);
    EXPECT_TRUE(videoNode());
    EXPECT_EQ("1", fwtest::state(0, "video"));
    CloseBrgDevice(h);
    for (const std::string& c : calls(0)) {
        EXPECT_EQ(std::string::npos, c.find("claim")) << c;
        EXPECT_EQ(std::string::npos, c.find("detach")) << c;
        EXPECT_EQ(std::string::npos, c.find("release")) << c;
    }
    EXPECT_TRUE(CheckDeviceExist(BRG_VID, BRG_UVC_PID));
    EXPECT_FALSE(CheckDeviceExist(BRG_VID, 0x1234));
}

TEST_F(Fwflash, SlowBurnsTwoChunkImage) {
    const std::string image = randomBytes(33, 2);
    camtest::writeFile("/tmp/fw33.bin", image);
    camtest::Process p;
    camtest::start(p, {"fwflash", "/tmp/fw33.bin"}, "/tmp/fwflash33.out");
    // The claim takes the lens's video node away while the tool holds it.
    EXPECT_TRUE(camtest::waitFor([] { return !videoNode(); }));
    EXPECT_EQ(0, p.wait(std::chrono::seconds(30)));
    EXPECT_EQ(std::string(kOpened) +
                  "binary size=33 bytes\r\nUVC path fw update init.\r\nUVC path fw data transfer.\r\n"
                  "Start burning.\r\nUpdate flash successfully.\r\n",
              p.output());
    // Exactly the update's transfers: init, two chunks, burn, then the polls
    // (busy once, then done).
    const std::vector<std::string> expected = {
        kInit, "xu set 3 32", "xu set 3 32", kBurn, "xu get 5 8 -> 0100000000000000", "xu get 5 8 -> 0000000000000000"};
    EXPECT_EQ(expected, xu());
    EXPECT_TRUE(fwtest::sawCall(0, "detach 0 uvcvideo"));
    EXPECT_TRUE(fwtest::sawCall(0, "release 0"));
    // The second chunk is the image's last byte and 31 zeros.
    EXPECT_EQ(padded(image), fwtest::burnedImage(0));
}

TEST_F(Fwflash, SlowBurnsRealSizedImage) {
    const std::string image = randomBytes(768 * 1024 + 5, 3);
    camtest::writeFile("/tmp/fw-real.bin", image);
    fwtest::Run r = fwflash({"/tmp/fw-real.bin"}, std::chrono::seconds(120));
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("binary size=786437 bytes\r\n"));
    EXPECT_NE(std::string::npos, r.out.find("Update flash successfully.\r\n"));
    EXPECT_EQ(padded(image), fwtest::burnedImage(0));
    EXPECT_EQ((image.size() + 31) / 32, callsStarting(0, "xu set 3 32").size());
}

TEST_F(Fwflash, SlowFailedStatusOnThirdPoll) {
    camtest::writeFile("/tmp/fw64.bin", randomBytes(64, 4));
    usb(0, "after-burn fail 2");
    fwtest::Run r = fwflash({"/tmp/fw64.bin"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Start burning.\r\nUpdate flash failed. 1884\r\n")) << r.out;
    EXPECT_EQ(3u, callsStarting(0, "xu get 5").size());
    // One second before the first poll and one between each: about three.
    EXPECT_GE(r.ms, 3000);
    EXPECT_LT(r.ms, 6000);
}

TEST_F(Fwflash, SlowModuleLeavesTheBus) {
    camtest::writeFile("/tmp/fw64.bin", randomBytes(64, 5));
    usb(0, "after-burn drop 1");
    fwtest::Run r = fwflash({"/tmp/fw64.bin"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Device Reboot.\r\n")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("Update flash successfully."));
    EXPECT_EQ(2u, callsStarting(0, "xu get 5").size());
    // The module comes back on the bus with its video node.
    EXPECT_TRUE(camtest::waitFor([] { return videoNode(); }, std::chrono::seconds(10)));
    EXPECT_EQ("1", fwtest::state(0, "video"));
}

// A module that never answers its status: ten polls, then the time-out.
// In process, with the polls' pacing shortened (the tool's own second each
// is what SlowFailedStatusOnThirdPoll measures).
TEST_F(Fwflash, SilentModuleTimesOut) {
    camtest::writeFile("/tmp/fw64.bin", randomBytes(64, 6));
    usb(0, "after-burn silent 0");
    const BrgPollPacing real = g_brg_poll_pacing;
    g_brg_poll_pacing.wait_ms = 20;
    g_brg_poll_pacing.answer_ms = 100;
    CaptureStdout();
    BrgDevHandle* h = OpenBrgDevice(BRG_VID, BRG_UVC_PID, 0);
    const int result = h ? UpdateFirmwareUvcPath(h, "/tmp/fw64.bin", 0) : 0;
    const std::string out = GetCapturedStdout();
    g_brg_poll_pacing = real;
    CloseBrgDevice(h);
    ASSERT_NE(nullptr, h) << out;
    // The result the tool's main turns into exit status 1.
    EXPECT_EQ(BRG_TRANSFER_FAILED, result) << out;
    EXPECT_NE(std::string::npos, out.find("Update flash timeout.\r\n")) << out;
    EXPECT_EQ(10u, callsStarting(0, "xu get 5").size());
}

// Two modules with the same ids: the first in libusb's list is updated.
TEST_F(Fwflash, SlowTwoModulesFirstOpened) {
    fwtest::resetModule(1);
    libusb_context* ctx = nullptr;
    ASSERT_EQ(0, libusb_init(&ctx));
    libusb_device** list = nullptr;
    ASSERT_GE(libusb_get_device_list(ctx, &list), 2);
    libusb_device* first = FindBrgDevice(list, BRG_VID, BRG_UVC_PID);
    ASSERT_NE(nullptr, first);
    const std::string devnum = std::to_string(libusb_get_device_address(first));
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    const int lens = fwtest::state(0, "devnum") == devnum ? 0 : 1;
    ASSERT_EQ(devnum, fwtest::state(lens, "devnum"));

    const std::string image = randomBytes(40, 7);
    camtest::writeFile("/tmp/fw40.bin", image);
    fwtest::Run r = fwflash({"/tmp/fw40.bin"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(padded(image), fwtest::burnedImage(lens));
    EXPECT_TRUE(callsStarting(1 - lens, "xu ").empty());
    EXPECT_EQ("", fwtest::burnedImage(1 - lens));
}

}  // namespace

// Camera front over a scripted device: open, flip, defaults, lock file,
// frames, the control cache and the failure paths.
#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include "V4l2Camera.h"
#include "brg_xu.h"
#include "common/dameon_util.h"
#include "fake_driver.h"
#include "fake_v4l2.h"
#include "isp_read_back.h"
#include "support/camtest.h"

using camtest::FakeDriver;
using camtest::FakeV4l2;
using camtest::LogCapture;
using Bytes = std::vector<uint8_t>;

namespace {

// The thirteen controls with a value each, as a lens answers them.
void addControls(FakeDriver& drv) {
    for (uint32_t id : {V4L2_CID_BRIGHTNESS, V4L2_CID_CONTRAST, V4L2_CID_SATURATION, V4L2_CID_HUE, V4L2_CID_GAMMA,
                        V4L2_CID_GAIN, V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CID_EXPOSURE_AUTO, V4L2_CID_EXPOSURE_ABSOLUTE,
                        V4L2_CID_SHARPNESS, V4L2_CID_BACKLIGHT_COMPENSATION, V4L2_CID_POWER_LINE_FREQUENCY})
        drv.ctrls[id] = 3;
    drv.ranges[V4L2_CID_SHARPNESS] = {0, 100};
}

std::string exceptionText(const std::function<void()>& f) { return camtest::thrownText<HardwareException>(f); }

// One lens behind the scripted driver, and the camera front over it. The
// camera goes first at the end, so its release still reaches the device.
class CameraFront : public testing::Test {
protected:
    // Makes /dev/video<index>, answering the controls a lens has.
    FakeV4l2& lens(int index) {
        dev_.emplace(drv, index);
        addControls(drv);
        return *dev_;
    }
    // The lens made and opened at size x size.
    FakeV4l2& openLens(int index, int size) {
        FakeV4l2& dev = lens(index);
        cam.openCamera(index, size, size);
        return dev;
    }

    FakeDriver drv;
    std::optional<FakeV4l2> dev_;
    V4L2Camera cam;
};

}  // namespace

TEST_F(CameraFront, OpenFlipsResetsAndLocks) {
    FakeV4l2& dev = lens(1);
    unlink("/var/run/video1.lck");
    LogCapture log;
    {
        V4L2Camera scoped;  // its own, to see the destructor release it
        EXPECT_FALSE(scoped.isOpen());
        EXPECT_EQ(scoped.node(), 0);
        scoped.openCamera(1, 1440, 1440);
        EXPECT_TRUE(scoped.isOpen());
        EXPECT_EQ(scoped.node(), 1);
        EXPECT_EQ(log.count(google::INFO, "open video /dev/video1"), 1);

        // lens 1 gets both flip flags after the plain flip
        auto cmds = drv.commands();
        ASSERT_EQ(cmds.size(), 2u);
        EXPECT_EQ(cmds[0], (Bytes{0x11, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(cmds[1], (Bytes{0x11, 1, 1, 0, 0, 0, 0, 0}));

        std::vector<std::pair<uint32_t, int>> want = {
            {V4L2_CID_HUE, 0},
            {V4L2_CID_GAMMA, 128},
            {V4L2_CID_CONTRAST, 120},
            {V4L2_CID_SHARPNESS, 128},
            {V4L2_CID_SATURATION, 128},
            {V4L2_CID_EXPOSURE_AUTO, 1},
            {V4L2_CID_BRIGHTNESS, 128},
            {V4L2_CID_EXPOSURE_AUTO, 0},
            {V4L2_CID_AUTO_WHITE_BALANCE, 1},
            {V4L2_CID_POWER_LINE_FREQUENCY, 1},
        };
        EXPECT_EQ(drv.s_ctrl_log, want);
        // sharpness was clamped to 100 but counts as set
        EXPECT_TRUE(log.contains("adjust sharpness128 success"));
        EXPECT_EQ(scoped.queryV4L2Property("sharpness"), 128);
        EXPECT_TRUE(scoped.isAutoExposure());
        EXPECT_TRUE(scoped.isAutoWhiteBalance());

        std::string lock = camtest::readFile("/var/run/video1.lck");
        EXPECT_EQ(lock, std::to_string(getpid()) + std::string(1, '\0'));
        log.clear();
    }
    // the destructor releases the lens
    EXPECT_EQ(log.count(google::INFO, "release video /dev/video1"), 1);
    EXPECT_EQ(dev.streamoff, 1);
}

TEST_F(CameraFront, LensZeroFlipsOnce) {
    openLens(0, 960);
    auto cmds = drv.commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0], (Bytes{0x11, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(CameraFront, OpeningAgainReleasesFirst) {
    FakeV4l2& dev = openLens(0, 960);
    const int maps = camtest::zeroMappingCount();
    cam.openCamera(0, 1440, 1440);
    EXPECT_TRUE(cam.isOpen());
    EXPECT_EQ(dev.streamoff, 1);
    EXPECT_EQ(camtest::zeroMappingCount(), maps) << "the first buffers are unmapped";
    EXPECT_EQ(camtest::zeroFdCount(), 1);
}

TEST_F(CameraFront, OpenFailures) {
    LogCapture log;
    unlink("/dev/video9");
    EXPECT_EQ(exceptionText([&] { cam.openCamera(9, 640, 480); }), "open camera err...");
    EXPECT_EQ(log.count(google::ERROR, "open video /dev/video9error"), 1);
    EXPECT_FALSE(cam.isOpen());
    EXPECT_EQ(cam.node(), 9);

    lens(4).capabilities = V4L2_CAP_VIDEO_CAPTURE;
    testing::internal::CaptureStderr();
    EXPECT_EQ(exceptionText([&] { cam.openCamera(4, 640, 480); }), "open camera err...");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("STREAM I/O NOT SUPPORT"), std::string::npos);
    EXPECT_FALSE(cam.isOpen());

    log.clear();
    cam.release();  // closed: nothing happens
    EXPECT_TRUE(log.records().empty());
}

TEST_F(CameraFront, SecondProcessIsRefusedAndFreesTheLens) {
    FakeV4l2& dev = lens(2);  // a lens no other test of this process locked
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c = lockfile("/var/run/video2.lck") == 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    const int maps = camtest::zeroMappingCount();
    EXPECT_EQ(exceptionText([&] { cam.openCamera(2, 1440, 1440); }), "lck camera err...");
    EXPECT_FALSE(cam.isOpen());
    // the controls were reset before the lock was tried
    EXPECT_EQ(drv.s_ctrl_log.size(), 10u);
    EXPECT_EQ(dev.streamoff, 1) << "the device is given back";
    EXPECT_EQ(camtest::zeroMappingCount(), maps);
    EXPECT_EQ(camtest::zeroFdCount(), 0) << "device descriptor left open";

    (void)!write(done[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    // once the other process is gone the lens opens
    cam.openCamera(2, 1440, 1440);
    EXPECT_TRUE(cam.isOpen());
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(CameraFront, FramesAndTheirGivingBack) {
    FakeV4l2& dev = openLens(0, 1440);
    dev.queued.clear();

    dev.dq = {{0, 1, 300}, {0, 0, 200}};
    cam.readFrame();
    EXPECT_EQ(cam.size(), 300);
    ASSERT_NE(cam.data(), nullptr);
    EXPECT_TRUE(dev.queued.empty());
    cam.readFrame();
    EXPECT_EQ(cam.size(), 200);
    EXPECT_EQ(dev.queued, (std::vector<uint32_t>{1}));

    // a failed dequeue holds nothing: the next read gives back only frame 0
    dev.dq = {{EIO, 0, 0}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(exceptionText([&] { cam.readFrame(); }), "unable to read camera...");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(dev.queued, (std::vector<uint32_t>{1, 0}));
    dev.dq = {{0, 1, 0}, {0, 0, 50}};
    EXPECT_EQ(exceptionText([&] { cam.readFrame(); }), "unable to read camera...");
    EXPECT_EQ(dev.queued, (std::vector<uint32_t>{1, 0}));
    // an empty frame was dequeued all the same, so it goes back
    cam.readFrame();
    EXPECT_EQ(cam.size(), 50);
    EXPECT_EQ(dev.queued, (std::vector<uint32_t>{1, 0, 1}));

    cam.release();
    EXPECT_EQ(dev.queued, (std::vector<uint32_t>{1, 0, 1, 0}));
    EXPECT_FALSE(cam.isOpen());
    EXPECT_EQ(cam.data(), nullptr);
}

TEST_F(CameraFront, PropertyCache) {
    openLens(0, 1440);
    LogCapture log;
    drv.s_ctrl_log.clear();

    // set by the defaults already: nothing is sent
    EXPECT_TRUE(cam.setV4L2Property("contrast", 120));
    EXPECT_EQ(log.count(google::INFO, "set same value . skip contrast 120"), 1);
    EXPECT_TRUE(drv.s_ctrl_log.empty());
    EXPECT_TRUE(cam.setV4L2Property("contrast", 90));
    EXPECT_EQ(log.count(google::INFO, "adjust contrast90 success"), 1);
    EXPECT_TRUE(cam.setV4L2Property("contrast", 90));
    EXPECT_EQ(drv.s_ctrl_log.size(), 1u);

    // answered from the cache without asking the device
    int g = drv.g_ctrl_calls;
    EXPECT_EQ(cam.queryV4L2Property("contrast"), 90);
    EXPECT_EQ(drv.g_ctrl_calls, g);
    EXPECT_EQ(cam.queryV4L2Property("backlight_compensation"), 3);
    EXPECT_EQ(drv.g_ctrl_calls, g + 1);
    EXPECT_EQ(cam.queryV4L2Property("backlight_compensation"), 3);
    EXPECT_EQ(drv.g_ctrl_calls, g + 1);

    // unknown names and failures
    EXPECT_FALSE(cam.setV4L2Property("zoom", 1));
    EXPECT_EQ(log.count(google::INFO, "v4l2 property not found zoom"), 1);
    EXPECT_EQ(cam.queryV4L2Property("shutter"), -1);
    EXPECT_EQ(log.count(google::INFO, "query no exsit property shutter"), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cam.queryV4L2Property("white_balance_temperature"), -1);
    EXPECT_FALSE(cam.setV4L2Property("white_balance_temperature", 4000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.count(google::INFO, "query propery failed white_balance_temperature"), 1);
    EXPECT_EQ(log.count(google::INFO, "adjust white_balance_temperature4000 failed"), 1);
    EXPECT_EQ(cam.queryV4L2Property("white_balance_temperature"), -1) << "nothing cached";

    EXPECT_FALSE(cam.setV4L2Property("exposure_auto", 1) && cam.isAutoExposure());
    EXPECT_TRUE(cam.setV4L2Property("white_balance_temperature_auto", 0));
    EXPECT_FALSE(cam.isAutoWhiteBalance());
}

TEST_F(CameraFront, GainAndShutterGoToTheIsp) {
    openLens(0, 1440);
    LogCapture log;
    drv.xfers.clear();
    drv.s_ctrl_log.clear();

    testing::internal::CaptureStdout();
    EXPECT_FALSE(cam.setV4L2Property("gain", 50));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ BrgXU_WriteISP_gain ] value out of bound\n");
    EXPECT_EQ(log.count(google::INFO, "adjust gain50 failed"), 1);
    EXPECT_TRUE(drv.xfers.empty());

    // a failed transfer is a failure, not a value in place
    drv.xfer_errors = {EIO, EPIPE};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(cam.setV4L2Property("gain", 800));
    EXPECT_FALSE(cam.setV4L2Property("shutter", 300));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.count(google::INFO, "adjust gain800 failed"), 1);
    EXPECT_EQ(log.count(google::INFO, "adjust shutter300 failed"), 1);
    EXPECT_EQ(cam.queryV4L2Property("shutter"), -1);
    drv.xfers.clear();

    EXPECT_TRUE(cam.setV4L2Property("gain", 800));
    EXPECT_TRUE(cam.setV4L2Property("shutter", 300));
    EXPECT_EQ(cam.queryV4L2Property("shutter"), 300);
    EXPECT_EQ(drv.commands(),
              (std::vector<Bytes>{{0x00, 0x04, 0x20, 0x03, 0, 0, 0, 0}, {0x00, 0x05, 0x2c, 0x01, 0, 0, 0, 0}}));
    EXPECT_TRUE(drv.s_ctrl_log.empty()) << "not the V4L2 gain control";
    EXPECT_TRUE(cam.setV4L2Property("gain", 800));
    EXPECT_EQ(drv.commands().size(), 2u);

    // a change of exposure mode makes the next gain and shutter go out again
    EXPECT_TRUE(cam.setV4L2Property("exposure_auto", 1));
    EXPECT_TRUE(cam.setV4L2Property("gain", 800));
    EXPECT_TRUE(cam.setV4L2Property("shutter", 300));
    EXPECT_EQ(drv.commands().size(), 4u);
    EXPECT_EQ(log.count(google::INFO, "set same value . skip gain 800"), 1);
}

TEST_F(CameraFront, IspExposureAndGains) {
    openLens(0, 1440);
    LogCapture log;

    unsigned short rgb[3] = {410, 260, 305};
    unsigned short back[3] = {0, 0, 0};
    expectIspReadBack(cam, 1500, rgb, back);
    EXPECT_EQ(cam.setWorkingMode(3), 0);
    EXPECT_EQ(cam.frameSync(), 0);
    EXPECT_EQ(drv.commands().back(), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0}));

    testing::internal::CaptureStdout();
    drv.xfer_errors = {0, EIO};
    unsigned e = 42;
    EXPECT_EQ(cam.readExposure(&e), EIO);
    EXPECT_EQ(e, 42u);
    EXPECT_EQ(log.count(google::ERROR, "read exposure error 5"), 1);
    drv.xfer_errors = {EIO};
    EXPECT_EQ(cam.setExposure(1), EIO);
    EXPECT_EQ(log.count(google::ERROR, "set exposure error"), 1);
    drv.xfer_errors = {EIO, EIO};
    EXPECT_EQ(cam.readRGB(back), EIO);
    EXPECT_EQ(cam.setRGB(rgb), EIO);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.count(google::ERROR, "read rgb error 5"), 2);
    EXPECT_EQ(back[0], 410);
}

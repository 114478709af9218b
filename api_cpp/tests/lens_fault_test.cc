// The capture library's error paths on the virtual camera's lenses, with
// faults injected through the device server's control socket.
#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "V4l2Camera.h"
#include "auto_exposure.h"
#include "cam_dev.h"
#include "fake_v4l2.h"
#include "support/camtest.h"
#include "vcam_devctl.h"

using camtest::LogCapture;

namespace {

class LensFaultTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(ctl_.lenses(), 2);
        ctl_.clearFaults(0);
        ctl_.clearFaults(1);
        ctl_.runClock();
    }
    void TearDown() override {
        ctl_.clearFaults(0);
        ctl_.clearFaults(1);
        ctl_.runClock();
    }
    vcam::DevCtl ctl_;
};

std::string openError(V4L2Camera& cam, int index, std::string* err = nullptr) {
    std::string what;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    try {
        cam.openCamera(index, 960, 960);
    } catch (const HardwareException& e) {
        what = e.what();
    }
    std::string e = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    if (err) *err = e;
    return what;
}

std::string readError(V4L2Camera& cam, std::string* err = nullptr) {
    std::string what;
    testing::internal::CaptureStderr();
    try {
        cam.readFrame();
    } catch (const HardwareException& e) {
        what = e.what();
    }
    std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return what;
}

}  // namespace

TEST_F(LensFaultTest, DequeueEioAndRecovery) {
    V4L2Camera cam;
    cam.openCamera(0, 960, 960);
    cam.readFrame();
    ctl_.fault(0, "eio", 1);
    std::string err;
    EXPECT_EQ(readError(cam, &err), "unable to read camera...");
    EXPECT_EQ(err, "[ camera ]EIO error 5, " + std::string(strerror(EIO)) + "\n");
    cam.readFrame();  // the fault is used up
    EXPECT_GT(cam.size(), 0);
}

TEST_F(LensFaultTest, NoFrameGivesUp) {
    V4L2Camera cam;
    cam.openCamera(0, 960, 960);
    cam.readFrame();
    ctl_.fault(0, "noframe", -1);
    std::string err;
    EXPECT_EQ(readError(cam, &err), "unable to read camera...");
    EXPECT_EQ(err, "[ camera ]NO FRAME IN QUEUE error 11, " + std::string(strerror(EAGAIN)) + "\n");
    ctl_.clearFaults(0);
    cam.readFrame();
    EXPECT_GT(cam.size(), 0);

    // a stopped clock brings no frame either, once the frame that was due
    // when it stopped is taken
    ctl_.pauseClock();
    ctl_.advanceFrames(1);
    cam.readFrame();
    EXPECT_EQ(readError(cam, &err), "unable to read camera...");
    EXPECT_NE(err.find("NO FRAME IN QUEUE"), std::string::npos);
    ctl_.runClock();
    cam.readFrame();
    EXPECT_GT(cam.size(), 0);
}

TEST_F(LensFaultTest, SetUpRefusals) {
    struct Case {
        const char* fault;
        const char* message;
    } cases[] = {
        {"nostreaming", "[ camera ]STREAM I/O NOT SUPPORT"},
        {"nocapture", "[ camera ]NOT VIDEO CAPTURE DEVICE"},
        {"nov4l2", "[ camera ]NOT V4L2 DEVICE error 22"},
        {"busy", "error 16"},
    };
    const int fds = camtest::openFdCount();
    for (auto& c : cases) {
        ctl_.flagFault(0, c.fault, true);
        V4L2Camera cam;
        std::string err;
        EXPECT_EQ(openError(cam, 0, &err), "open camera err...") << c.fault;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.fault << ": " << err;
        EXPECT_FALSE(cam.isOpen());
        EXPECT_EQ(camtest::openFdCount(), fds) << c.fault << ": descriptor leaked";
        ctl_.flagFault(0, c.fault, false);
    }
    // and the lens opens once the fault is gone
    V4L2Camera cam;
    cam.openCamera(0, 960, 960);
    EXPECT_TRUE(cam.isOpen());
}

TEST_F(LensFaultTest, MissingNodeAndRegularFile) {
    V4L2Camera cam;
    std::string err;
    EXPECT_EQ(openError(cam, 7, &err), "open camera err...");
    // the layer's own line comes first (the log record follows it)
    EXPECT_EQ(err.rfind("Cannot identify '/dev/video7': 2, " + std::string(strerror(ENOENT)) + "\n", 0), 0u) << err;
    camtest::writeFile("/dev/video6", "jpeg?");
    EXPECT_EQ(openError(cam, 6, &err), "open camera err...");
    EXPECT_EQ(err.rfind("/dev/video6 is no device\n", 0), 0u) << err;
    unlink("/dev/video6");
}

TEST_F(LensFaultTest, NoMappingRightsStillStreams) {
    ctl_.flagFault(1, "noperm", true);
    cam_dev dev;
    testing::internal::CaptureStdout();
    ASSERT_EQ(camera_init(&dev, 1, 960, 960), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "BrgXU_Init: need root privileges. \r");
    EXPECT_EQ(dev.xu, nullptr);
    // the ISP calls go by the descriptor, not the handle
    EXPECT_EQ(aitWriteExposure(&dev, 777), 0);
    EXPECT_EQ(ctl_.getNumber(1, "exposure"), 777);
    char* data = nullptr;
    EXPECT_GT(picture_get(&dev, &data), 0);
    EXPECT_EQ(picture_free(&dev), 0);
    EXPECT_EQ(camera_free(&dev), 0);
}

TEST_F(LensFaultTest, ExtensionUnitFailures) {
    V4L2Camera cam;
    cam.openCamera(0, 960, 960);
    LogCapture log;
    unsigned e = 4242;
    ctl_.fault(0, "xu", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(cam.readExposure(&e), EIO);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Command Failed: errno=5, " + std::string(strerror(EIO)) + "\r\n");
    EXPECT_EQ(e, 4242u);
    EXPECT_EQ(log.count(google::ERROR, "read exposure error 5"), 1);
    EXPECT_EQ(cam.readExposure(&e), 0);

    // gain through the ISP fails with the transfer: not cached, sent again
    ctl_.fault(0, "xu", 1);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(cam.setV4L2Property("gain", 400));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.count(google::INFO, "adjust gain400 failed"), 1);
    EXPECT_TRUE(cam.setV4L2Property("gain", 400));
    EXPECT_EQ(ctl_.getNumber(0, "gain"), 400);

    cam_dev dev;
    cam.release();
    ASSERT_EQ(camera_init(&dev, 0, 960, 960), 0);
    char date[9] = "unchange";
    ctl_.fault(0, "fwstatus", 1);
    EXPECT_EQ(aitGetVersion(&dev, date), 0x80000001u);
    EXPECT_STREQ(date, "unchange");
    ctl_.fault(0, "xu", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(aitGetVersion(&dev, date), 0x08000000u);
    testing::internal::GetCapturedStdout();
    ctl_.set(0, "build_date", "19Dec01");
    EXPECT_EQ(aitGetVersion(&dev, date), 0u);
    EXPECT_STREQ(date, "20191201");
    EXPECT_EQ(camera_free(&dev), 0);
}

TEST_F(LensFaultTest, MatchingSkipsARoundWithAFailedRead) {
    std::vector<V4L2Camera> cams(2);
    cams[0].openCamera(0, 960, 960);
    cams[1].openCamera(1, 960, 960);
    ASSERT_EQ(cams[0].setExposure(800), 0);
    ASSERT_EQ(cams[1].setExposure(2400), 0);
    unsigned short a[3] = {300, 256, 300};
    unsigned short b[3] = {500, 256, 200};
    ASSERT_EQ(cams[0].setRGB(a), 0);
    ASSERT_EQ(cams[1].setRGB(b), 0);

    ctl_.fault(1, "xu", 2);  // camera 1's exposure query and its read-back
    testing::internal::CaptureStdout();
    consistExposure(cams, 1);
    testing::internal::GetCapturedStdout();
    ctl_.clearFaults(1);
    EXPECT_EQ(ctl_.getNumber(0, "exposure"), 800);
    EXPECT_EQ(ctl_.getNumber(1, "exposure"), 2400);

    ctl_.fault(1, "xu", 1);
    testing::internal::CaptureStdout();
    consistWhiteBalance(cams);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ctl_.getNumber(0, "r"), 300);
    EXPECT_EQ(ctl_.getNumber(1, "r"), 500);
    EXPECT_EQ(ctl_.getNumber(1, "b"), 200);

    // without the fault the round goes through
    ctl_.clearFaults(1);
    consistExposure(cams, 1);
    consistWhiteBalance(cams);
    unsigned want = 0;
    ASSERT_TRUE(matchExposure(800, 2400, 1, &want));
    EXPECT_EQ(ctl_.getNumber(0, "exposure"), want);
    EXPECT_EQ(ctl_.getNumber(1, "exposure"), want);
    EXPECT_EQ(ctl_.getNumber(0, "r"), 400);
    EXPECT_EQ(ctl_.getNumber(1, "b"), 250);
}

TEST_F(LensFaultTest, FlipPerLensAndWorkingMode) {
    std::vector<V4L2Camera> cams(2);
    cams[0].openCamera(0, 960, 960);
    cams[1].openCamera(1, 960, 960);
    EXPECT_EQ(ctl_.getNumber(0, "flip_a"), 0);
    EXPECT_EQ(ctl_.getNumber(0, "flip_b"), 0);
    EXPECT_EQ(ctl_.getNumber(1, "flip_a"), 1);
    EXPECT_EQ(ctl_.getNumber(1, "flip_b"), 1);
    EXPECT_EQ(cams[1].setWorkingMode(2), 0);
    EXPECT_EQ(ctl_.getNumber(1, "mode"), 2);
    long syncs = ctl_.getNumber(0, "syncs");
    EXPECT_EQ(cams[0].frameSync(), 0);
    EXPECT_EQ(ctl_.getNumber(0, "syncs"), syncs + 1);
}

TEST_F(LensFaultTest, FrameOfAnotherSizeIsHandedOnAsItCame) {
    V4L2Camera cam;
    cam.openCamera(0, 960, 960);
    cam.readFrame();
    int normal = cam.size();
    ctl_.sizeFault(0, 1440, 1440, -1);
    for (int i = 0; i < 4; ++i) cam.readFrame();
    EXPECT_GT(cam.size(), 0);
    EXPECT_NE(cam.size(), normal);
}

// Capture layer: set-up, frames and tear-down against a scripted device,
// and the error paths that need no lens.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "cam_dev.h"
#include "fake_driver.h"
#include "fake_v4l2.h"
#include "support/camtest.h"

using camtest::FakeDriver;
using camtest::FakeV4l2;

namespace {

constexpr int kIndex = 5;

std::string label(const char* what, int err) {
    return "[ camera ]" + std::string(what) + " error " + std::to_string(err) + ", " + strerror(err) + "\n";
}

class CamDevTest : public testing::Test {
protected:
    CamDevTest() : dev_(drv_, kIndex) { camera_clear(&cam_); }
    ~CamDevTest() override {
        if (cam_.fd >= 0) camera_free(&cam_);
    }

    // camera_init with standard error captured into err_.
    int init(int w = 1440, int h = 1440) {
        testing::internal::CaptureStderr();
        int ret = camera_init(&cam_, kIndex, w, h);
        err_ = testing::internal::GetCapturedStderr();
        return ret;
    }

    FakeDriver drv_;
    FakeV4l2 dev_;
    cam_dev cam_;
    std::string err_;
};

}  // namespace

TEST_F(CamDevTest, InitAsksForMjpegAt60WithTwoMappedBuffers) {
    ASSERT_EQ(init(1920, 1080), 0) << err_;
    EXPECT_EQ(err_, "");
    EXPECT_EQ(camera_width, 1920);
    EXPECT_EQ(camera_height, 1080);

    EXPECT_EQ(dev_.fmt.type, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(dev_.fmt.fmt.pix.width, 1920u);
    EXPECT_EQ(dev_.fmt.fmt.pix.height, 1080u);
    EXPECT_EQ(dev_.fmt.fmt.pix.pixelformat, v4l2_fourcc('M', 'J', 'P', 'G'));
    EXPECT_EQ(dev_.fmt.fmt.pix.field, 4u);
    EXPECT_EQ(dev_.parm.type, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(dev_.parm.parm.capture.capability, 0x1000u);
    EXPECT_EQ(dev_.parm.parm.capture.capturemode, 0u);
    EXPECT_EQ(dev_.parm.parm.capture.timeperframe.numerator, 1u);
    EXPECT_EQ(dev_.parm.parm.capture.timeperframe.denominator, 60u);
    EXPECT_EQ(dev_.req.count, 2u);
    EXPECT_EQ(dev_.req.memory, static_cast<uint32_t>(V4L2_MEMORY_MMAP));

    EXPECT_EQ(cam_.granted, 2u);
    EXPECT_EQ(cam_.mapped, 2u);
    EXPECT_EQ(buffer_count, 2u);
    EXPECT_EQ(dev_.queued, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(dev_.streamon, 1);
    EXPECT_NE(cam_.xu, nullptr);
    EXPECT_EQ(drv_.mappings.size(), 9u);
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(cam_.buffers[i].start, nullptr);
        EXPECT_EQ(cam_.buffers[i].length, 8192u);
    }

    EXPECT_EQ(camera_free(&cam_), 0);
    EXPECT_EQ(dev_.streamoff, 1);
    EXPECT_EQ(cam_.fd, -1);
    EXPECT_EQ(cam_.xu, nullptr);
    EXPECT_EQ(cam_.buffers, nullptr);
}

TEST_F(CamDevTest, InterruptedStreamingCallsAreRepeated) {
    for (unsigned long r : {VIDIOC_QUERYCAP, VIDIOC_S_FMT, VIDIOC_S_PARM, VIDIOC_REQBUFS, VIDIOC_QUERYBUF, VIDIOC_QBUF,
                            VIDIOC_STREAMON, VIDIOC_STREAMOFF})
        dev_.interrupt[r] = 2;
    ASSERT_EQ(init(), 0) << err_;
    EXPECT_EQ(dev_.streamon, 1);
    EXPECT_EQ(camera_free(&cam_), 0);
    EXPECT_EQ(dev_.streamoff, 1);
    for (auto& i : dev_.interrupt) EXPECT_EQ(i.second, 0) << std::hex << i.first;
}

TEST_F(CamDevTest, OneGrantedBufferIsEnough) {
    dev_.granted = 1;
    ASSERT_EQ(init(), 0) << err_;
    EXPECT_EQ(cam_.mapped, 1u);
    EXPECT_EQ(dev_.queued, (std::vector<uint32_t>{0}));
}

TEST_F(CamDevTest, FailedInitGivesBackWhatItTook) {
    struct Case {
        const char* name;
        std::function<void(FakeV4l2&)> setup;
        std::string message;
    };
    std::vector<Case> cases = {
        {"not v4l2", [](FakeV4l2& d) { d.fail[VIDIOC_QUERYCAP] = EINVAL; }, label("NOT V4L2 DEVICE", EINVAL)},
        {"querycap", [](FakeV4l2& d) { d.fail[VIDIOC_QUERYCAP] = EIO; }, label("VIDIOC_QUERYCAP", EIO)},
        {"no capture", [](FakeV4l2& d) { d.capabilities = V4L2_CAP_STREAMING; }, "NOT VIDEO CAPTURE DEVICE"},
        {"no streaming", [](FakeV4l2& d) { d.capabilities = V4L2_CAP_VIDEO_CAPTURE; }, "STREAM I/O NOT SUPPORT"},
        {"s_fmt", [](FakeV4l2& d) { d.fail[VIDIOC_S_FMT] = EBUSY; }, label("VIDIOC_S_FMT", EBUSY)},
        {"s_parm", [](FakeV4l2& d) { d.fail[VIDIOC_S_PARM] = EINVAL; }, label("VIDIOC_S_PARM", EINVAL)},
        {"no mmap", [](FakeV4l2& d) { d.fail[VIDIOC_REQBUFS] = EINVAL; }, label("MMAP NOT SUPPORT", EINVAL)},
        {"reqbufs", [](FakeV4l2& d) { d.fail[VIDIOC_REQBUFS] = EBUSY; }, label("VIDIOC_REQBUFS", EBUSY)},
        {"no buffer", [](FakeV4l2& d) { d.granted = 0; }, "INSUFFICIENT BUFFER"},
        {"querybuf", [](FakeV4l2& d) { d.querybuf_fail_at = 1; }, label("VIDIOC_QUERYBUF", EINVAL)},
        {"qbuf", [](FakeV4l2& d) { d.fail[VIDIOC_QBUF] = EINVAL; }, label("VIDIOC_QBUF", EINVAL)},
        {"streamon", [](FakeV4l2& d) { d.fail[VIDIOC_STREAMON] = EIO; }, label("VIDIOC_STREAMON", EIO)},
    };
    const int fds = camtest::openFdCount();
    const int maps = camtest::zeroMappingCount();
    for (auto& c : cases) {
        dev_.fail.clear();
        dev_.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        dev_.granted = 2;
        dev_.querybuf_fail_at = -1;
        c.setup(dev_);
        EXPECT_EQ(init(), -1) << c.name;
        EXPECT_NE(err_.find(c.message), std::string::npos) << c.name << ": " << err_;
        EXPECT_EQ(err_.find("[ camera ]"), err_.rfind("[ camera ]")) << c.name << ": one line";
        EXPECT_EQ(cam_.fd, -1) << c.name;
        EXPECT_EQ(cam_.buffers, nullptr) << c.name;
        EXPECT_EQ(cam_.xu, nullptr) << c.name;
        EXPECT_EQ(camtest::openFdCount(), fds) << c.name << ": descriptor leaked";
        EXPECT_EQ(camtest::zeroFdCount(), 0) << c.name;
        EXPECT_EQ(camtest::zeroMappingCount(), maps) << c.name << ": mapping leaked";
    }
}

TEST(CamDevOpen, MissingNodeAndRegularFile) {
    cam_dev cam;
    camera_clear(&cam);
    unlink("/dev/video9");
    testing::internal::CaptureStderr();
    EXPECT_EQ(camera_init(&cam, 9, 640, 480), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot identify '/dev/video9': 2, " + std::string(strerror(ENOENT)) + "\n");

    camtest::writeFile("/dev/video8", "not a device");
    testing::internal::CaptureStderr();
    EXPECT_EQ(camera_init(&cam, 8, 640, 480), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "/dev/video8 is no device\n");
    EXPECT_EQ(cam.fd, -1);
    unlink("/dev/video8");
}

TEST_F(CamDevTest, FramesComeFromTheDequeuedBuffer) {
    ASSERT_EQ(init(), 0) << err_;
    std::memcpy(cam_.buffers[1].start,
                "\xff\xd8"
                "frame1",
                8);
    dev_.dq = {{0, 1, 8}, {0, 0, 100}};
    char* data = nullptr;
    EXPECT_EQ(picture_get(&cam_, &data), 8);
    EXPECT_EQ(data, cam_.buffers[1].start);
    EXPECT_EQ(std::memcmp(data,
                          "\xff\xd8"
                          "frame1",
                          8),
              0);
    dev_.queued.clear();
    EXPECT_EQ(picture_free(&cam_), 0);
    EXPECT_EQ(dev_.queued, (std::vector<uint32_t>{1}));
    EXPECT_EQ(picture_get(&cam_, &data), 100);
    EXPECT_EQ(data, cam_.buffers[0].start);
}

TEST_F(CamDevTest, DequeueErrors) {
    ASSERT_EQ(init(), 0) << err_;
    char* data = nullptr;

    dev_.dq = {{EIO, 0, 0}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(picture_get(&cam_, &data), -3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), label("EIO", EIO));

    dev_.dq = {{EINVAL, 0, 0}};
    testing::internal::CaptureStderr();
    EXPECT_EQ(picture_get(&cam_, &data), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), label("VIDIOC_DQBUF", EINVAL));

    // interrupted and not-yet-ready dequeues are waited out
    dev_.dq = {{EINTR, 0, 0}, {EAGAIN, 0, 0}, {EAGAIN, 0, 0}, {0, 0, 42}};
    EXPECT_EQ(picture_get(&cam_, &data), 42);
    EXPECT_EQ(dev_.dq.size(), 0u);
    picture_free(&cam_);

    dev_.fail[VIDIOC_QBUF] = EINVAL;
    testing::internal::CaptureStderr();
    EXPECT_EQ(picture_free(&cam_), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), label("VIDIOC_QBUF", EINVAL));
}

TEST_F(CamDevTest, ForeignIndexAndOversizedCount) {
    ASSERT_EQ(init(), 0) << err_;
    char* data = nullptr;
    dev_.dq = {{0, 2, 10}, {0, 7, 10}};
    for (int i = 0; i < 2; ++i) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(picture_get(&cam_, &data), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), label("BUFFER INDEX", EINVAL));
    }
    EXPECT_EQ(data, nullptr);

    dev_.dq = {{0, 1, 1u << 30}};
    EXPECT_EQ(picture_get(&cam_, &data), 8192) << "clamped to the buffer's length";
    EXPECT_EQ(data, cam_.buffers[1].start);
}

TEST_F(CamDevTest, NoFrameGivesUpWithoutSpinning) {
    ASSERT_EQ(init(), 0) << err_;
    char* data = nullptr;
    dev_.dqbuf_calls = 0;
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    EXPECT_EQ(picture_get(&cam_, &data), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), label("NO FRAME IN QUEUE", EAGAIN));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(CAM_FRAME_TIMEOUT_MS));
    // /dev/zero polls ready at once: the wait must still pace its retries
    EXPECT_LT(dev_.dqbuf_calls, 2 * CAM_FRAME_TIMEOUT_MS / 5 + 10);
    EXPECT_GT(dev_.dqbuf_calls, 10);
}

TEST_F(CamDevTest, FreeGoesByThisCamerasOwnCount) {
    dev_.granted = 1;
    ASSERT_EQ(init(), 0) << err_;
    buffer_count = 2;  // another lens was granted more
    const int maps = camtest::zeroMappingCount();
    EXPECT_EQ(camera_free(&cam_), 0);
    EXPECT_EQ(camtest::zeroMappingCount(), maps - 1);
}

TEST_F(CamDevTest, FreeRunsEveryStepWhenOneFails) {
    ASSERT_EQ(init(), 0) << err_;
    int fd = cam_.fd;
    const int maps = camtest::zeroMappingCount();
    dev_.fail[VIDIOC_STREAMOFF] = EIO;
    testing::internal::CaptureStderr();
    EXPECT_EQ(camera_free(&cam_), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), label("VIDIOC_STREAMOFF", EIO));
    EXPECT_EQ(camtest::zeroMappingCount(), maps - 2);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor still open";
    EXPECT_EQ(cam_.xu, nullptr);
    EXPECT_EQ(cam_.fd, -1);
    // a second free of the emptied record does nothing
    EXPECT_EQ(camera_free(&cam_), 0);
}

TEST_F(CamDevTest, Controls) {
    ASSERT_EQ(init(), 0) << err_;
    drv_.ctrls[V4L2_CID_CONTRAST] = 10;
    drv_.ctrls[V4L2_CID_SHARPNESS] = 0;
    drv_.ranges[V4L2_CID_SHARPNESS] = {0, 100};
    EXPECT_EQ(getV4L2Ctrl(&cam_, CAM_PROP_CONTRAST), 10);
    EXPECT_EQ(setV4L2Ctrl(&cam_, CAM_PROP_CONTRAST, 77), 1);
    EXPECT_EQ(drv_.ctrls[V4L2_CID_CONTRAST], 77);
    EXPECT_EQ(setV4L2Ctrl(&cam_, CAM_PROP_SHARPNESS, 255), 0) << "clamped by the driver";
    EXPECT_EQ(drv_.ctrls[V4L2_CID_SHARPNESS], 100);

    testing::internal::CaptureStdout();
    EXPECT_EQ(setV4L2Ctrl(&cam_, CAM_PROP_HUE, 1), -1);
    EXPECT_EQ(getV4L2Ctrl(&cam_, CAM_PROP_GAMMA), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ setV4L2Ctrl ] ERROR\n[ getV4L2Ctrl ] ERROR\n");
}

TEST_F(CamDevTest, IspCallsUseTheDescriptor) {
    ASSERT_EQ(init(), 0) << err_;
    drv_.xfers.clear();
    unsigned short rgb[3] = {300, 256, 280};
    EXPECT_EQ(aitWriteRGB(&cam_, rgb), 0);
    unsigned short back[3] = {0, 0, 0};
    EXPECT_EQ(aitReadRGB(&cam_, back), 0);
    EXPECT_EQ(back[0], 300);
    EXPECT_EQ(back[2], 280);
    EXPECT_EQ(aitWriteExposure(&cam_, 1500), 0);
    unsigned e = 0;
    EXPECT_EQ(aitReadExposure(&cam_, &e), 0);
    EXPECT_EQ(e, 1500u);
    EXPECT_EQ(aitWriteGain(&cam_, 99), -1);
    EXPECT_EQ(aitWriteGain(&cam_, 800), 0);
    EXPECT_EQ(aitReadGain(&cam_, &e), 0);
    EXPECT_EQ(e, 800u);
    EXPECT_EQ(aitWriteShutter(&cam_, 900), 0);
    EXPECT_EQ(aitReadShutter(&cam_, &e), 0);
    EXPECT_EQ(e, 900u);
    EXPECT_EQ(aitSetWorkingMode(&cam_, 2), 0);
    EXPECT_EQ(aitFlip(&cam_, 1, 1), 0);
    EXPECT_EQ(aitFrameSync(&cam_), 0);
    char date[9];
    EXPECT_EQ(aitGetVersion(&cam_, date), 0u);
    EXPECT_STREQ(date, "20150309");
    for (auto& x : drv_.xfers) EXPECT_EQ(x.fd, cam_.fd);
}

// The lenses as a program inside the camera sees them: device nodes, the
// V4L2 and extension-unit ioctls, mmap'ed buffers, v4l2-ctl, and the run's
// control over clock and faults.
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "jpeg_probe.h"
#include "mjpeg_format.h"
#include "support/camtest.h"
#include "vcam_devctl.h"

namespace {

const uint8_t kGuid[16] = {0xd0, 0x9e, 0xe4, 0x23, 0x78, 0x11, 0x31, 0x4f,
                           0xae, 0x52, 0xd2, 0xfb, 0x8a, 0x8d, 0x3b, 0x48};

int xioctl(int fd, unsigned long req, void* arg) {
    int r;
    do {
        r = ioctl(fd, req, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

// One lens opened and streaming through MMAP buffers, as the capture
// layer does it.
class Stream {
public:
    explicit Stream(int lens) {
        std::string path = "/dev/video" + std::to_string(lens);
        fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK);
    }
    ~Stream() {
        if (streaming_) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(fd_, VIDIOC_STREAMOFF, &type);
        }
        for (auto& m : maps_) munmap(m.first, m.second);
        if (fd_ >= 0) close(fd_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int fd() const { return fd_; }

    // errno of the first failing step, 0 when streaming.
    int start(int edge, v4l2_format* got = nullptr) {
        v4l2_format f = vcamtest::mjpegFormat(edge, edge);
        if (xioctl(fd_, VIDIOC_S_FMT, &f) < 0) return errno;
        if (got) *got = f;
        v4l2_streamparm p{};
        p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        p.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p.parm.capture.timeperframe = {1, 60};
        if (xioctl(fd_, VIDIOC_S_PARM, &p) < 0) return errno;
        v4l2_requestbuffers r{};
        r.count = 2;
        r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        r.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd_, VIDIOC_REQBUFS, &r) < 0) return errno;
        for (uint32_t i = 0; i < r.count; ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            if (xioctl(fd_, VIDIOC_QUERYBUF, &b) < 0) return errno;
            void* m = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, b.m.offset);
            if (m == MAP_FAILED) return errno;
            maps_.emplace_back(m, b.length);
            if (xioctl(fd_, VIDIOC_QBUF, &b) < 0) return errno;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_STREAMON, &type) < 0) return errno;
        streaming_ = true;
        return 0;
    }

    // Dequeues one frame, waiting out EAGAIN up to timeout; errno or 0.
    int frame(std::vector<uint8_t>& out, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        auto until = std::chrono::steady_clock::now() + timeout;
        v4l2_buffer b;
        for (;;) {
            std::memset(&b, 0, sizeof b);
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            if (xioctl(fd_, VIDIOC_DQBUF, &b) == 0) break;
            if (errno != EAGAIN) return errno;
            if (std::chrono::steady_clock::now() > until) return EAGAIN;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const uint8_t* p = static_cast<const uint8_t*>(maps_.at(b.index).first);
        out.assign(p, p + b.bytesused);
        return xioctl(fd_, VIDIOC_QBUF, &b) < 0 ? errno : 0;
    }

    vcamtest::Probe probeFrame() {
        std::vector<uint8_t> jpeg;
        EXPECT_EQ(frame(jpeg), 0);
        return vcamtest::probe(jpeg.data(), jpeg.size());
    }

private:
    int fd_ = -1;
    bool streaming_ = false;
    std::vector<std::pair<void*, size_t>> maps_;
};

int xuQuery(int fd, uint8_t selector, uint8_t query, uint8_t* data, uint16_t size) {
    uvc_xu_control_query q{};
    q.unit = 6;
    q.selector = selector;
    q.query = query;
    q.size = size;
    q.data = data;
    return xioctl(fd, UVCIOC_CTRL_QUERY, &q) < 0 ? errno : 0;
}

// An ISP command and its result packet.
int isp(int fd, std::vector<uint8_t> cmd, std::vector<uint8_t>* result = nullptr) {
    cmd.resize(8, 0);
    if (int e = xuQuery(fd, 1, UVC_SET_CUR, cmd.data(), 8)) return e;
    if (!result) return 0;
    result->assign(8, 0);
    return xuQuery(fd, 2, UVC_GET_CUR, result->data(), 8);
}

// Runs a program, returns its exit status and standard output.
int run(const std::vector<std::string>& argv, std::string& out) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        close(pipefd[1]);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipefd[1]);
    out.clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class LensDeviceTest : public testing::Test {
protected:
    void SetUp() override {
        ctl.command("clear all");
        ctl.runClock(1.0);
    }
    void TearDown() override {
        ctl.command("clear all");
        ctl.runClock(1.0);
    }
    vcam::DevCtl ctl;
};

TEST_F(LensDeviceTest, NodesAreVideoDevices) {
    EXPECT_EQ(ctl.lenses(), 2);
    for (const char* path : {"/dev/video0", "/dev/video1"}) {
        struct stat st;
        ASSERT_EQ(stat(path, &st), 0) << path;
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << path;
    }
    struct stat st;
    EXPECT_NE(stat("/dev/video2", &st), 0);
    EXPECT_TRUE(camtest::exists("/sys/class/video4linux/video1"));
    Stream s(0);
    v4l2_capability cap{};
    ASSERT_EQ(xioctl(s.fd(), VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_NE(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE, 0u);
    EXPECT_NE(cap.device_caps & V4L2_CAP_STREAMING, 0u);
}

TEST_F(LensDeviceTest, FramesAreJpegsOfTheAskedSize) {
    for (int edge : {960, 1440, 2048}) {
        Stream s(1);
        v4l2_format f{};
        ASSERT_EQ(s.start(edge, &f), 0) << edge;
        EXPECT_EQ(f.fmt.pix.width, uint32_t(edge));
        for (int i = 0; i < 3; ++i) {
            std::vector<uint8_t> jpeg;
            ASSERT_EQ(s.frame(jpeg), 0);
            ASSERT_GT(jpeg.size(), 2u);
            EXPECT_EQ(jpeg[0], 0xff);
            EXPECT_EQ(jpeg[1], 0xd8);
            vcamtest::Probe p = vcamtest::probe(jpeg.data(), jpeg.size());
            ASSERT_TRUE(p.ok) << edge;
            EXPECT_EQ(p.width, edge);
            EXPECT_EQ(p.height, edge);
            EXPECT_EQ(p.subsamp, TJSAMP_422);
        }
    }
}

TEST_F(LensDeviceTest, TheRunsClockPacesTheFrames) {
    Stream s(0);
    ASSERT_EQ(s.start(960), 0);
    std::vector<uint8_t> jpeg;
    ASSERT_EQ(s.frame(jpeg), 0);
    ctl.pauseClock();
    ctl.advanceFrames(1);  // whatever was due is taken now
    ASSERT_EQ(s.frame(jpeg), 0);
    EXPECT_EQ(s.frame(jpeg, std::chrono::milliseconds(200)), EAGAIN) << "the clock stands";
    long before = ctl.getNumber(0, "frames");
    ctl.advanceFrames(1);
    ASSERT_EQ(s.frame(jpeg, std::chrono::milliseconds(200)), 0);
    EXPECT_EQ(ctl.getNumber(0, "frames"), before + 1);
    EXPECT_TRUE(vcamtest::probe(jpeg.data(), jpeg.size()).ok);
}

TEST_F(LensDeviceTest, ListCtrlsShowsTheControls) {
    std::string out;
    ASSERT_EQ(run({"v4l2-ctl", "--list-ctrls", "-d", "/dev/video0"}, out), 0) << out;
    for (const char* name :
         {"brightness", "contrast", "saturation", "hue", "gamma", "gain", "white_balance_temperature_auto",
          "white_balance_temperature", "exposure_auto", "sharpness", "backlight_compensation", "power_line_frequency"})
        EXPECT_NE(out.find(std::string(" ") + name + " 0x"), std::string::npos) << name << "\n" << out;
    EXPECT_NE(out.find("0x009a0902"), std::string::npos) << "absolute exposure\n" << out;
    EXPECT_NE(out.find("min=0 max=255"), std::string::npos) << out;
}

TEST_F(LensDeviceTest, ControlsClampLikeTheDriver) {
    Stream s(0);
    v4l2_control c{V4L2_CID_BRIGHTNESS, 100};
    ASSERT_EQ(xioctl(s.fd(), VIDIOC_S_CTRL, &c), 0);
    c.value = 0;
    ASSERT_EQ(xioctl(s.fd(), VIDIOC_G_CTRL, &c), 0);
    EXPECT_EQ(c.value, 100);
    c = {V4L2_CID_CONTRAST, 1000000};
    ASSERT_EQ(xioctl(s.fd(), VIDIOC_S_CTRL, &c), 0);
    ASSERT_EQ(xioctl(s.fd(), VIDIOC_G_CTRL, &c), 0);
    EXPECT_EQ(c.value, 255);
    c = {V4L2_CID_BASE + 0x7f, 1};
    EXPECT_EQ(xioctl(s.fd(), VIDIOC_S_CTRL, &c), -1);
    EXPECT_EQ(errno, EINVAL);
    // the value lives in the device, not in the descriptor
    Stream other(0);
    c = {V4L2_CID_BRIGHTNESS, 0};
    ASSERT_EQ(xioctl(other.fd(), VIDIOC_G_CTRL, &c), 0);
    EXPECT_EQ(c.value, 100);
    c = {V4L2_CID_BRIGHTNESS, 128};
    xioctl(other.fd(), VIDIOC_S_CTRL, &c);
}

TEST_F(LensDeviceTest, ExtensionUnitRegistersKeepWhatWasWritten) {
    ctl.set(1, "build_date", "15Mar09");
    {
        Stream s(1);
        uvc_xu_control_mapping m{};
        m.id = 0x08000001;
        std::strcpy(reinterpret_cast<char*>(m.name), "Set ISP");
        std::memcpy(m.entity, kGuid, 16);
        m.selector = 1;
        m.size = 64;
        m.v4l2_type = V4L2_CTRL_TYPE_INTEGER;
        m.data_type = 1;
        int r = xioctl(s.fd(), UVCIOC_CTRL_MAP, &m);
        EXPECT_TRUE(r == 0 || errno == EEXIST);
        EXPECT_EQ(xioctl(s.fd(), UVCIOC_CTRL_MAP, &m), -1);
        EXPECT_EQ(errno, EEXIST);

        ASSERT_EQ(isp(s.fd(), {0x00, 0x01, 0xd2, 0x04}), 0);  // exposure 1234
        ASSERT_EQ(isp(s.fd(), {0x00, 0x03, 0x2c, 0x01, 0x00, 0x01, 0x5e, 0x01}), 0);
        ASSERT_EQ(isp(s.fd(), {0x00, 0x04, 0x40, 0x06}), 0);  // gain 1600
        ASSERT_EQ(isp(s.fd(), {0x00, 0x05, 0x88, 0x13}), 0);  // shutter 5000
        ASSERT_EQ(isp(s.fd(), {0x11, 0x01, 0x00}), 0);        // upside down
        ASSERT_EQ(isp(s.fd(), {0x00, 0x09, 0x01}), 0);        // working mode 1
        ASSERT_EQ(isp(s.fd(), {0x01, 0x00}), 0);              // frame sync
    }
    // read back through a new descriptor
    Stream s(1);
    std::vector<uint8_t> r;
    ASSERT_EQ(isp(s.fd(), {0x00, 0x00}, &r), 0);
    EXPECT_EQ(r, (std::vector<uint8_t>{0, 0, 0xd2, 0x04, 0, 0, 0, 0}));
    ASSERT_EQ(isp(s.fd(), {0x00, 0x02}, &r), 0);
    EXPECT_EQ(r, (std::vector<uint8_t>{0, 0, 0x2c, 0x01, 0x00, 0x01, 0x5e, 0x01}));
    ASSERT_EQ(isp(s.fd(), {0x00, 0x0b}, &r), 0);
    EXPECT_EQ(r[2] | r[3] << 8, 1600);
    ASSERT_EQ(isp(s.fd(), {0x00, 0x0c}, &r), 0);
    EXPECT_EQ(r[2] | r[3] << 8, 5000);
    ASSERT_EQ(isp(s.fd(), {0x0c, 0x00}, &r), 0);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(std::string(r.begin() + 1, r.end()), "15Mar09");

    auto st = ctl.state(1);
    EXPECT_EQ(st["flip_b"], "1");
    EXPECT_EQ(st["flip_a"], "0");
    EXPECT_EQ(st["mode"], "1");
    EXPECT_EQ(st["syncs"], "1");
    ctl.set(1, "build_date", "16Aug23");
}

TEST_F(LensDeviceTest, BrightnessFollowsExposure) {
    Stream s(0);
    ASSERT_EQ(s.start(960), 0);
    ASSERT_EQ(isp(s.fd(), {0x00, 0x01, 0xf4, 0x01}), 0);  // 500
    s.probeFrame();
    double dark = s.probeFrame().luma();
    ASSERT_EQ(isp(s.fd(), {0x00, 0x01, 0xe8, 0x03}), 0);  // 1000
    s.probeFrame();
    double bright = s.probeFrame().luma();
    EXPECT_GT(dark, 20);
    EXPECT_NEAR(bright / dark, 2.0, 0.25) << dark << " " << bright;
}

int setCtrl(int fd, uint32_t id, int32_t value) {
    v4l2_control c{id, value};
    return xioctl(fd, VIDIOC_S_CTRL, &c) < 0 ? errno : 0;
}

int getCtrl(int fd, uint32_t id) {
    v4l2_control c{id, -1};
    EXPECT_EQ(xioctl(fd, VIDIOC_G_CTRL, &c), 0);
    return c.value;
}

// Exposure, gain and brightness set as V4L2 controls change the picture, and
// they are the ISP's registers: what one path writes the other reads.
TEST_F(LensDeviceTest, V4l2ControlsExposeThePictureAsTheIspDoes) {
    Stream s(0);
    ASSERT_EQ(s.start(960), 0);
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL), 0);
    auto luma = [&] {
        s.probeFrame();
        return s.probeFrame().luma();
    };

    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_EXPOSURE_ABSOLUTE, 100), 0);
    EXPECT_EQ(ctl.getNumber(0, "exposure"), 1000);
    double base = luma();
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_EXPOSURE_ABSOLUTE, 50), 0);
    std::vector<uint8_t> r;
    ASSERT_EQ(isp(s.fd(), {0x00, 0x00}, &r), 0);
    EXPECT_EQ(r[2] | r[3] << 8, 500) << "the ISP reads the exposure V4L2 set";
    double half = luma();
    EXPECT_NEAR(half / base, 0.5, 0.08) << base << " " << half;

    ASSERT_EQ(isp(s.fd(), {0x00, 0x01, 0xe8, 0x03}), 0);  // ISP exposure 1000
    EXPECT_EQ(getCtrl(s.fd(), V4L2_CID_EXPOSURE_ABSOLUTE), 100);
    EXPECT_NEAR(luma() / base, 1.0, 0.05);

    // a quarter of the exposure made up by four times the gain
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_EXPOSURE_ABSOLUTE, 25), 0);
    double dark = luma();
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_GAIN, 20), 0);
    EXPECT_EQ(ctl.getNumber(0, "gain"), 400);
    EXPECT_NEAR(luma() / base, 1.0, 0.08) << dark;
    EXPECT_NEAR(base / dark, 4.0, 0.6);
    ASSERT_EQ(isp(s.fd(), {0x00, 0x04, 0x40, 0x06}), 0);  // ISP gain 1600
    EXPECT_EQ(getCtrl(s.fd(), V4L2_CID_GAIN), 100);
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_GAIN, 0), 0);
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_EXPOSURE_ABSOLUTE, 100), 0);

    // brightness lifts or lowers every level
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_BRIGHTNESS, 168), 0);
    double lifted = luma();
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_BRIGHTNESS, 88), 0);
    double lowered = luma();
    EXPECT_GT(lifted, base + 25);
    EXPECT_NEAR(lowered, base - 40, 6);
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_BRIGHTNESS, 128), 0);
    EXPECT_NEAR(luma(), base, 1.5);

    // back to automatic exposure: metered again, and V4L2 reads it too
    ASSERT_EQ(setCtrl(s.fd(), V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_AUTO), 0);
    EXPECT_EQ(getCtrl(s.fd(), V4L2_CID_EXPOSURE_ABSOLUTE), (ctl.getNumber(0, "metered_exposure") + 5) / 10);
}

// Frames are live: each differs from the one before, while the scene and
// its level stay.
TEST_F(LensDeviceTest, ConsecutiveFramesDiffer) {
    Stream s(1);
    ASSERT_EQ(s.start(1440), 0);
    std::vector<std::vector<uint8_t>> frames(4);
    for (auto& f : frames) ASSERT_EQ(s.frame(f), 0);
    double first = vcamtest::probe(frames[0].data(), frames[0].size()).luma();
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_NE(frames[i], frames[i - 1]) << "frame " << i;
        EXPECT_NEAR(vcamtest::probe(frames[i].data(), frames[i].size()).luma(), first, 0.5);
    }
}

TEST_F(LensDeviceTest, InjectedFaultsReachTheProgram) {
    Stream s(0);
    ASSERT_EQ(s.start(960), 0);
    std::vector<uint8_t> jpeg;
    ASSERT_EQ(s.frame(jpeg), 0);

    ctl.fault(0, "eio", 1);
    EXPECT_EQ(s.frame(jpeg), EIO);
    EXPECT_EQ(s.frame(jpeg), 0) << "one dequeue only";

    ctl.fault(0, "noframe");
    EXPECT_EQ(s.frame(jpeg, std::chrono::milliseconds(300)), EAGAIN);
    ctl.clearFaults(0);
    EXPECT_EQ(s.frame(jpeg), 0);

    ctl.sizeFault(0, 1440, 1440, 1);
    ASSERT_EQ(s.frame(jpeg), 0);
    vcamtest::Probe p = vcamtest::probe(jpeg.data(), jpeg.size());
    EXPECT_EQ(p.width, 1440);
    ASSERT_EQ(s.frame(jpeg), 0);
    EXPECT_EQ(vcamtest::probe(jpeg.data(), jpeg.size()).width, 960);

    ctl.fault(0, "xu", 1);
    std::vector<uint8_t> r;
    EXPECT_EQ(isp(s.fd(), {0x00, 0x00}, &r), EIO);
}

TEST_F(LensDeviceTest, ABusyLensRefusesSetUp) {
    ctl.flagFault(1, "busy", true);
    {
        Stream s(1);
        EXPECT_EQ(s.start(960), EBUSY);
    }
    ctl.flagFault(1, "busy", false);
    Stream first(1);
    ASSERT_EQ(first.start(960), 0);
    {
        Stream second(1);
        EXPECT_EQ(second.start(960), EBUSY) << "the first one streams";
    }
    ctl.flagFault(1, "nostreaming", true);
    Stream third(1);
    v4l2_capability cap{};
    ASSERT_EQ(xioctl(third.fd(), VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cap.device_caps & V4L2_CAP_STREAMING, 0u);
}

TEST_F(LensDeviceTest, ClosingGivesTheLensBack) {
    {
        Stream s(0);
        ASSERT_EQ(s.start(1440), 0);
        std::vector<uint8_t> jpeg;
        ASSERT_EQ(s.frame(jpeg), 0);
    }
    EXPECT_TRUE(camtest::waitFor([&] { return ctl.get(0, "buffers") == "0"; }));
    Stream again(0);
    EXPECT_EQ(again.start(960), 0);
}

// A holder gives the lens back however it ends: killed in the middle of its
// dequeue loop (at another frame each round), the next user sets the lens up
// at once. While the holder lives, another process is refused.
TEST_F(LensDeviceTest, AKilledHolderGivesTheLensBack) {
    for (int round = 0; round < 12; ++round) {
        int frames[2];
        ASSERT_EQ(pipe(frames), 0);
        pid_t holder = fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            close(frames[0]);
            Stream s(0);
            if (s.start(960) != 0) _exit(1);
            std::vector<uint8_t> jpeg;
            for (;;) {
                if (s.frame(jpeg) != 0 || write(frames[1], "f", 1) != 1) _exit(2);
            }
        }
        close(frames[1]);
        char f;
        for (int i = 0; i <= round % 4; ++i) ASSERT_EQ(read(frames[0], &f, 1), 1) << "holder streams, round " << round;
        if (round == 0) {
            Stream other(0);
            EXPECT_EQ(other.start(960), EBUSY) << "the holder lives";
        }
        kill(holder, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(holder, &status, 0), holder);
        EXPECT_TRUE(WIFSIGNALED(status));
        close(frames[0]);
        Stream next(0);
        EXPECT_EQ(next.start(960), 0) << "round " << round;
    }
    EXPECT_TRUE(camtest::waitFor([&] { return ctl.get(0, "streaming") == "0"; }));
}

TEST_F(LensDeviceTest, ControlClientReportsErrors) {
    EXPECT_THROW(ctl.command("fault 9 eio"), vcam::DevCtlError);
    EXPECT_EQ(ctl.request("nonsense").substr(0, 4), "err ");
    std::string out;
    EXPECT_EQ(run({"vcam-devctl", "get", "0", "width"}, out), 0);
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(run({"vcam-devctl", "fault", "0", "fire"}, out), 1);
}

}  // namespace

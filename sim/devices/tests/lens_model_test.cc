// The lens model on its own: formats, streaming paced by a hand-driven
// clock, controls, the extension unit's ISP commands, faults, run control.
#include <errno.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control_commands.h"
#include "jpeg_probe.h"
#include "lens_model.h"
#include "mjpeg_format.h"

namespace vcam {
namespace {

struct HandClock : FrameClock {
    int64_t now = 0;
    int64_t nowUs() const override { return now; }
};

const int64_t kFrameUs = 1000000 / 60 + 1;
const ClientId kA = 1, kB = 2;

class LensModelTest : public testing::Test {
protected:
    MemoryBacking backing;
    HandClock clock;
    LensModel lens{0, backing, clock};

    int setSize(int w, int h, ClientId c = kA) {
        v4l2_format f = vcamtest::mjpegFormat(w, h);
        return lens.sFmt(c, f);
    }
    int request(uint32_t count, ClientId c = kA, uint32_t memory = V4L2_MEMORY_MMAP) {
        v4l2_requestbuffers r{};
        r.count = count;
        r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        r.memory = memory;
        int e = lens.reqbufs(c, r);
        granted = r.count;
        return e;
    }
    int queue(uint32_t i, ClientId c = kA) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        return lens.qbuf(c, b);
    }
    int dequeue(v4l2_buffer& b, ClientId c = kA) {
        std::memset(&b, 0, sizeof b);
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        return lens.dqbuf(c, b);
    }
    // Size, two buffers queued, streaming.
    void start(int edge = 960) {
        ASSERT_EQ(setSize(edge, edge), 0);
        ASSERT_EQ(request(2), 0);
        ASSERT_EQ(queue(0), 0);
        ASSERT_EQ(queue(1), 0);
        ASSERT_EQ(lens.streamon(kA, V4L2_BUF_TYPE_VIDEO_CAPTURE), 0);
    }
    // The next frame after one frame period, given back at once.
    vcamtest::Probe nextFrame() {
        clock.now += kFrameUs;
        v4l2_buffer b;
        EXPECT_EQ(dequeue(b), 0);
        vcamtest::Probe p = vcamtest::probe(backing.bytes.data() + b.m.offset, b.bytesused);
        EXPECT_EQ(queue(b.index), 0);
        return p;
    }
    int setCtrl(uint32_t id, int32_t value, int32_t* back = nullptr) {
        v4l2_control c{id, value};
        int e = lens.sCtrl(c);
        if (back) *back = c.value;
        return e;
    }
    int getCtrl(uint32_t id) {
        v4l2_control c{id, 0};
        EXPECT_EQ(lens.gCtrl(c), 0);
        return c.value;
    }
    int xu(uint8_t selector, uint8_t query, uint8_t* data, uint16_t size, uint8_t unit = 6) {
        uvc_xu_control_query q{};
        q.unit = unit;
        q.selector = selector;
        q.query = query;
        q.size = size;
        q.data = data;
        return lens.xuQuery(q, data);
    }
    // An ISP command on selector 1 and its result packet from selector 2.
    std::vector<uint8_t> isp(std::vector<uint8_t> cmd) {
        cmd.resize(8, 0);
        EXPECT_EQ(xu(1, 0x01, cmd.data(), 8), 0);
        std::vector<uint8_t> r(8, 0xee);
        EXPECT_EQ(xu(2, 0x81, r.data(), 8), 0);
        return r;
    }

    uint32_t granted = 0;
};

TEST_F(LensModelTest, CapabilitiesAndTheirFaults) {
    v4l2_capability cap;
    ASSERT_EQ(lens.querycap(cap), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(cap.driver), "uvcvideo");
    EXPECT_EQ(cap.device_caps, uint32_t(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING));
    lens.faults().nostreaming = true;
    ASSERT_EQ(lens.querycap(cap), 0);
    EXPECT_EQ(cap.device_caps & V4L2_CAP_STREAMING, 0u);
    EXPECT_NE(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE, 0u);
    lens.faults().nocapture = true;
    ASSERT_EQ(lens.querycap(cap), 0);
    EXPECT_EQ(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE, 0u);
    lens.faults().nov4l2 = true;
    EXPECT_EQ(lens.querycap(cap), EINVAL);
}

TEST_F(LensModelTest, FormatSnapsToTheFrameTable) {
    EXPECT_EQ(setSize(1440, 1440), 0);
    EXPECT_EQ(lens.width(), 1440);
    EXPECT_EQ(setSize(1000, 1000), 0);
    EXPECT_EQ(lens.width(), 960);
    EXPECT_EQ(setSize(5000, 5000), 0);
    EXPECT_EQ(lens.width(), 2048);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(lens.gFmt(f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, uint32_t(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(f.fmt.pix.field, uint32_t(V4L2_FIELD_NONE));
    EXPECT_EQ(f.fmt.pix.height, 2048u);
    f.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(lens.gFmt(f), EINVAL);

    v4l2_frmsizeenum s{};
    s.pixel_format = V4L2_PIX_FMT_MJPEG;
    std::vector<int> edges;
    for (s.index = 0; lens.enumFrameSizes(s) == 0; ++s.index) edges.push_back(s.discrete.width);
    EXPECT_EQ(edges, (std::vector<int>{960, 1088, 1360, 1440, 1504, 1680, 1920, 2048}));

    v4l2_streamparm p{};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    p.parm.capture.timeperframe = {1, 60};
    ASSERT_EQ(lens.sParm(kA, p), 0);
    EXPECT_EQ(p.parm.capture.capability, uint32_t(V4L2_CAP_TIMEPERFRAME));
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 60u);
    p.parm.capture.timeperframe = {1, 25};
    ASSERT_EQ(lens.sParm(kA, p), 0);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 30u);
}

TEST_F(LensModelTest, BuffersBelongToOneClient) {
    EXPECT_EQ(request(2, kA, V4L2_MEMORY_USERPTR), EINVAL);
    ASSERT_EQ(request(20), 0);
    EXPECT_EQ(granted, uint32_t(LensModel::kMaxBuffers));
    ASSERT_EQ(request(2), 0);
    EXPECT_EQ(granted, 2u);
    EXPECT_EQ(request(2, kB), EBUSY);
    EXPECT_EQ(setSize(960, 960, kA), EBUSY) << "no new size while buffers exist";
    EXPECT_EQ(queue(0, kB), EBUSY);
    EXPECT_EQ(queue(2), EINVAL);
    EXPECT_EQ(queue(0), 0);
    EXPECT_EQ(queue(0), EINVAL) << "queued twice";

    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.index = 1;
    ASSERT_EQ(lens.querybuf(b), 0);
    EXPECT_EQ(b.m.offset, b.length);
    EXPECT_GE(backing.bytes.size(), size_t(2) * b.length);

    lens.clientGone(kA);
    EXPECT_EQ(request(2, kB), 0) << "closing gives the buffers up";
}

TEST_F(LensModelTest, FramesComeAtSixtyPerSecondOfTheClock) {
    start(960);
    v4l2_buffer b;
    EXPECT_EQ(dequeue(b), EAGAIN) << "no frame before the first period";
    clock.now += kFrameUs;
    ASSERT_EQ(dequeue(b), 0);
    EXPECT_EQ(b.index, 0u);
    EXPECT_EQ(dequeue(b), EAGAIN) << "one frame per period";
    clock.now += kFrameUs;
    ASSERT_EQ(dequeue(b), 0);
    EXPECT_EQ(b.index, 1u);
    clock.now += kFrameUs;
    EXPECT_EQ(dequeue(b), EAGAIN) << "nothing queued";
    ASSERT_EQ(queue(0), 0);
    ASSERT_EQ(dequeue(b), 0);
    EXPECT_EQ(b.sequence, 2u);
    ASSERT_GT(b.bytesused, 4u);
    const uint8_t* jpeg = backing.bytes.data() + b.m.offset;
    EXPECT_EQ(jpeg[0], 0xff);
    EXPECT_EQ(jpeg[1], 0xd8);
    vcamtest::Probe p = vcamtest::probe(jpeg, b.bytesused);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.width, 960);
    EXPECT_EQ(p.height, 960);
    EXPECT_EQ(p.subsamp, TJSAMP_422);
    EXPECT_EQ(lens.framesDelivered(), 3u);

    ASSERT_EQ(lens.streamoff(kA, V4L2_BUF_TYPE_VIDEO_CAPTURE), 0);
    clock.now += kFrameUs;
    EXPECT_EQ(dequeue(b), EINVAL) << "not streaming";
}

TEST_F(LensModelTest, MeteredFramesAreNeutralAndExposureScalesThem) {
    start(960);
    vcamtest::Probe metered = nextFrame();
    ASSERT_TRUE(metered.ok);
    EXPECT_GT(metered.luma(), 80);
    EXPECT_LT(metered.luma(), 160);
    EXPECT_NEAR(metered.r / metered.g, 1.0, 0.08);
    EXPECT_NEAR(metered.b / metered.g, 1.0, 0.08);

    lens.isp().exposure = 500;
    vcamtest::Probe half = nextFrame();
    EXPECT_NEAR(half.luma() / metered.luma(), 0.5, 0.06);
    lens.isp().exposure = 1000;
    lens.isp().gain = 200;
    vcamtest::Probe twice = nextFrame();
    EXPECT_GT(twice.luma(), metered.luma() * 1.5);

    lens.isp().gain = 100;
    lens.isp().rgb[0] = 800;  // red gain doubled
    vcamtest::Probe red = nextFrame();
    EXPECT_GT(red.r / red.g, 1.5);
}

// The decoded picture of the next frame.
std::vector<uint8_t> decode(const uint8_t* jpeg, size_t size, int w, int h) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    tjhandle tj = tjInitDecompress();
    EXPECT_EQ(tjDecompress2(tj, jpeg, static_cast<unsigned long>(size), rgb.data(), w, 0, h, TJPF_RGB, 0), 0);
    tjDestroy(tj);
    return rgb;
}

TEST_F(LensModelTest, OnlyTheMovingDetailChangesBetweenFrames) {
    start(960);
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 3; ++i) {
        clock.now += kFrameUs;
        v4l2_buffer b;
        ASSERT_EQ(dequeue(b), 0);
        pictures.push_back(decode(backing.bytes.data() + b.m.offset, b.bytesused, 960, 960));
        ASSERT_EQ(queue(b.index), 0);
    }
    TestPicture::Detail d = TestPicture::detail(960, 960, 1);
    for (size_t i = 1; i < pictures.size(); ++i) {
        // the pixels that changed lie in the rows of the detail, within a
        // JPEG block of where it stood and where it went
        int changed = 0, x0 = 960, x1 = -1, y0 = 960, y1 = -1;
        for (int y = 0; y < 960; ++y)
            for (int x = 0; x < 960; ++x) {
                size_t at = (size_t(y) * 960 + x) * 3;
                int diff = 0;
                for (int c = 0; c < 3; ++c)
                    diff = std::max(diff, std::abs(pictures[i][at + c] - pictures[i - 1][at + c]));
                if (diff <= 8) continue;
                ++changed;
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
        EXPECT_GT(changed, 0) << "frame " << i << " is the one before";
        EXPECT_GE(y0, d.y - 16);
        EXPECT_LE(y1, d.y + d.edge + 16);
        EXPECT_LE(x1 - x0, d.edge + 3 + 32);
    }
    // the detail walks along and starts again at the left
    EXPECT_NE(TestPicture::detail(960, 960, 1).x, TestPicture::detail(960, 960, 2).x);
    TestPicture::Detail far = TestPicture::detail(960, 960, 1000000);
    EXPECT_GE(far.x, 0);
    EXPECT_LE(far.x + far.edge, 960);
    TestPicture::Detail tiny = TestPicture::detail(3, 2, 7);
    EXPECT_LE(tiny.x + tiny.edge, 3);
    EXPECT_LE(tiny.y + tiny.edge, 2);
}

TEST_F(LensModelTest, ExposureAndGainControlsAreTheIspRegisters) {
    EXPECT_EQ(setCtrl(V4L2_CID_EXPOSURE_ABSOLUTE, 42), 0);
    EXPECT_EQ(lens.isp().exposure, 420u);
    EXPECT_EQ(getCtrl(V4L2_CID_EXPOSURE_ABSOLUTE), 42);
    lens.isp().exposure = 1234;
    EXPECT_EQ(getCtrl(V4L2_CID_EXPOSURE_ABSOLUTE), 123);
    lens.isp().exposure = 0;  // below the control's range
    EXPECT_EQ(getCtrl(V4L2_CID_EXPOSURE_ABSOLUTE), 1);
    lens.isp().exposure = 900000;
    EXPECT_EQ(getCtrl(V4L2_CID_EXPOSURE_ABSOLUTE), 5000);

    EXPECT_EQ(setCtrl(V4L2_CID_GAIN, 100), 0);
    EXPECT_EQ(lens.isp().gain, 1600);
    lens.isp().gain = 400;
    EXPECT_EQ(getCtrl(V4L2_CID_GAIN), 20);
    lens.isp().gain = 50;
    EXPECT_EQ(getCtrl(V4L2_CID_GAIN), 0);
    v4l2_ext_control c[2] = {};
    c[0].id = V4L2_CID_GAIN;
    c[1].id = V4L2_CID_EXPOSURE_ABSOLUTE;
    v4l2_ext_controls h{};
    h.count = 2;
    lens.isp().gain = 250;
    lens.isp().exposure = 990;
    ASSERT_EQ(lens.extCtrls(VIDIOC_G_EXT_CTRLS, h, c), 0);
    EXPECT_EQ(c[0].value, 10);
    EXPECT_EQ(c[1].value, 99);
    c[0].value = 2;
    c[1].value = 7;
    ASSERT_EQ(lens.extCtrls(VIDIOC_S_EXT_CTRLS, h, c), 0);
    EXPECT_EQ(lens.isp().gain, 130);
    EXPECT_EQ(lens.isp().exposure, 70u);
    auto st = lens.state();
    EXPECT_EQ(st["ctrl_gain"], "2");
    EXPECT_EQ(st["exposure_absolute"], "7");

    // brightness shifts the picture's levels
    start(960);
    setCtrl(V4L2_CID_GAIN, 0);
    lens.isp().exposure = lens.meteredExposure();
    double base = nextFrame().luma();
    EXPECT_EQ(setCtrl(V4L2_CID_BRIGHTNESS, 98), 0);
    EXPECT_NEAR(nextFrame().luma(), base - 30, 4);
}

TEST_F(LensModelTest, InjectedFaults) {
    start(960);
    v4l2_buffer b;
    lens.faults().eio.n = 1;
    EXPECT_EQ(dequeue(b), EIO);
    clock.now += kFrameUs;
    EXPECT_EQ(dequeue(b), 0) << "a count of one is used up";
    ASSERT_EQ(queue(b.index), 0);

    lens.faults().noframe.n = -1;
    for (int i = 0; i < 5; ++i) {
        clock.now += kFrameUs;
        EXPECT_EQ(dequeue(b), EAGAIN);
    }
    lens.faults().noframe.n = 0;

    lens.faults().size.n = 1;
    lens.faults().size_w = 640;
    lens.faults().size_h = 480;
    vcamtest::Probe other = nextFrame();
    EXPECT_EQ(other.width, 640);
    EXPECT_EQ(other.height, 480);
    EXPECT_EQ(nextFrame().width, 960);

    lens.faults().busy = true;
    EXPECT_EQ(lens.streamon(kA, V4L2_BUF_TYPE_VIDEO_CAPTURE), EBUSY);
    EXPECT_EQ(setSize(960, 960, kB), EBUSY);
}

TEST_F(LensModelTest, ControlsClampAndEnumerate) {
    int32_t back = 0;
    EXPECT_EQ(setCtrl(V4L2_CID_CONTRAST, 1000000, &back), 0);
    EXPECT_EQ(back, 255);
    EXPECT_EQ(getCtrl(V4L2_CID_CONTRAST), 255);
    EXPECT_EQ(setCtrl(V4L2_CID_HUE, -500), 0);
    EXPECT_EQ(getCtrl(V4L2_CID_HUE), -180);
    EXPECT_EQ(setCtrl(V4L2_CID_GAMMA, 128), 0);
    EXPECT_EQ(getCtrl(V4L2_CID_GAMMA), 128);
    EXPECT_EQ(setCtrl(V4L2_CID_AUTO_WHITE_BALANCE, 7), 0);
    EXPECT_EQ(getCtrl(V4L2_CID_AUTO_WHITE_BALANCE), 1);
    EXPECT_EQ(setCtrl(V4L2_CID_POWER_LINE_FREQUENCY, 3), EINVAL);
    EXPECT_EQ(setCtrl(V4L2_CID_BASE + 0x7f, 1), EINVAL);
    v4l2_control cls{V4L2_CID_USER_CLASS, 0};
    EXPECT_EQ(lens.gCtrl(cls), EACCES);

    std::vector<uint32_t> seen;
    v4l2_queryctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (lens.queryctrl(q) == 0) {
        if (q.type != V4L2_CTRL_TYPE_CTRL_CLASS) seen.push_back(q.id);
        q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    EXPECT_EQ(seen, lensControlIds());
    EXPECT_EQ(seen.size(), 13u);

    v4l2_querymenu m{};
    m.id = V4L2_CID_EXPOSURE_AUTO;
    m.index = 1;
    ASSERT_EQ(lens.querymenu(m), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(m.name), "Manual Mode");
    m.index = 4;
    EXPECT_EQ(lens.querymenu(m), EINVAL);
}

TEST_F(LensModelTest, ExtendedControlsReportTheFailingIndex) {
    v4l2_ext_control c[2] = {};
    c[0].id = V4L2_CID_SATURATION;
    c[0].value = 300;
    c[1].id = V4L2_CID_SHARPNESS;
    c[1].value = 64;
    v4l2_ext_controls h{};
    h.which = V4L2_CTRL_CLASS_USER;
    h.count = 2;
    ASSERT_EQ(lens.extCtrls(VIDIOC_S_EXT_CTRLS, h, c), 0);
    EXPECT_EQ(getCtrl(V4L2_CID_SATURATION), 255);
    EXPECT_EQ(getCtrl(V4L2_CID_SHARPNESS), 64);
    c[1].id = V4L2_CID_EXPOSURE_AUTO;  // a camera-class control in a user-class request
    EXPECT_EQ(lens.extCtrls(VIDIOC_G_EXT_CTRLS, h, c), EINVAL);
    EXPECT_EQ(h.error_idx, 1u);
    h.which = V4L2_CTRL_WHICH_DEF_VAL;
    ASSERT_EQ(lens.extCtrls(VIDIOC_G_EXT_CTRLS, h, c), 0);
    EXPECT_EQ(c[0].value, 128);
}

TEST_F(LensModelTest, AutomaticModesMeterAgain) {
    uint32_t metered = lens.meteredExposure();
    lens.isp().exposure = 42;
    EXPECT_EQ(setCtrl(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL), 0);
    EXPECT_EQ(lens.isp().exposure, 42u);
    EXPECT_EQ(setCtrl(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_AUTO), 0);
    EXPECT_EQ(lens.isp().exposure, metered);
    lens.isp().rgb[0] = 1;
    EXPECT_EQ(setCtrl(V4L2_CID_AUTO_WHITE_BALANCE, 0), 0);
    EXPECT_EQ(setCtrl(V4L2_CID_AUTO_WHITE_BALANCE, 1), 0);
    EXPECT_EQ(lens.isp().rgb[0], lens.meteredRgb()[0]);
}

uvc_xu_control_mapping mapping(uint32_t id, const char* name, uint8_t selector, uint8_t bits) {
    uvc_xu_control_mapping m{};
    m.id = id;
    std::strncpy(reinterpret_cast<char*>(m.name), name, sizeof m.name - 1);
    std::memcpy(m.entity, LensModel::kXuGuid, 16);
    m.selector = selector;
    m.size = bits;
    m.v4l2_type = V4L2_CTRL_TYPE_INTEGER;
    m.data_type = 1;
    return m;
}

TEST_F(LensModelTest, ExtensionUnitMappings) {
    const struct {
        uint32_t id;
        const char* name;
        uint8_t sel, bits;
    } table[] = {{0x08000001, "Set ISP", 1, 64},           {0x08000002, "Get ISP", 2, 64},
                 {0x08000001, "Set MMP", 4, 64},           {0x08000002, "Get MMP", 5, 64},
                 {0x08000003, "Set MMP16", 14, 128},       {0x08000004, "Get MMP16 Result", 15, 128},
                 {0x08000005, "BRG XU Get Data", 11, 255}, {0x08000006, "Set ISP EX", 6, 128},
                 {0x08000007, "Get ISP EX Result", 7, 128}};
    std::vector<int> results;
    for (const auto& t : table) results.push_back(lens.xuMap(mapping(t.id, t.name, t.sel, t.bits)));
    EXPECT_EQ(results, (std::vector<int>{0, 0, EEXIST, EEXIST, 0, 0, 0, 0, 0}));
    EXPECT_EQ(lens.mappings().size(), 7u);
    EXPECT_EQ(lens.mappings()[0], "Set ISP");
    EXPECT_EQ(lens.xuMap(mapping(0x08000001, "Set ISP", 1, 64)), EEXIST) << "mapped already";

    auto bad = mapping(0x08000009, "elsewhere", 1, 64);
    bad.entity[0] ^= 1;
    EXPECT_EQ(lens.xuMap(bad), ENOENT);
    EXPECT_EQ(lens.xuMap(mapping(0x08000009, "no selector", 9, 64)), ENOENT);
    lens.faults().noperm = true;
    EXPECT_EQ(lens.xuMap(mapping(0x08000009, "x", 1, 64)), EPERM);
}

TEST_F(LensModelTest, IspCommandsKeepTheirRegisters) {
    EXPECT_EQ(isp({0x00, 0x01, 0x34, 0x12, 0x02, 0x00}), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(lens.isp().exposure, 0x21234u);
    EXPECT_EQ(isp({0x00, 0x00}), (std::vector<uint8_t>{0, 0, 0x34, 0x12, 0x02, 0, 0, 0}));

    isp({0x00, 0x03, 0x02, 0x01, 0x04, 0x03, 0x06, 0x05});
    EXPECT_EQ(lens.isp().rgb[0], 0x0102);
    EXPECT_EQ(lens.isp().rgb[1], 0x0304);
    EXPECT_EQ(lens.isp().rgb[2], 0x0506);
    EXPECT_EQ(isp({0x00, 0x02}), (std::vector<uint8_t>{0, 0, 0x02, 0x01, 0x04, 0x03, 0x06, 0x05}));

    isp({0x00, 0x04, 0x40, 0x06});  // gain 1600
    isp({0x00, 0x05, 0x88, 0x13});  // shutter 5000
    EXPECT_EQ(isp({0x00, 0x0b}), (std::vector<uint8_t>{0, 0, 0x40, 0x06, 0, 0, 0, 0}));
    EXPECT_EQ(isp({0x00, 0x0c}), (std::vector<uint8_t>{0, 0, 0x88, 0x13, 0, 0, 0, 0}));

    isp({0x11, 0x00, 0x01});
    EXPECT_EQ(lens.isp().flip_a, 1);
    EXPECT_EQ(lens.isp().flip_b, 0);
    isp({0x00, 0x09, 0x02});
    EXPECT_EQ(lens.isp().working_mode, 2);
    isp({0x01, 0x00});
    isp({0x01, 0x00});
    EXPECT_EQ(lens.isp().frame_syncs, 2u);
    isp({0x0a, 0x03, 0x10, 0x30, 0xcd, 0xab});
    EXPECT_EQ(lens.isp().sensor_regs.at(0x3010), 0xabcd);

    lens.isp().build_date = "15Mar09";
    std::vector<uint8_t> date = isp({0x0c, 0x00});
    EXPECT_EQ(date[0], 0);
    EXPECT_EQ(std::string(date.begin() + 1, date.end()), "15Mar09");
    std::vector<uint8_t> version = isp({0x0b, 0x00});
    EXPECT_EQ(std::vector<uint8_t>(version.begin() + 2, version.end()),
              std::vector<uint8_t>(lens.isp().version.begin(), lens.isp().version.end()));
    lens.faults().fwstatus.n = 1;
    EXPECT_EQ(isp({0x0c, 0x00})[0], 1);
    EXPECT_EQ(isp({0x0c, 0x00})[0], 0);
    EXPECT_EQ(isp({0x00, 0x7f})[0], 1) << "unknown command";
}

TEST_F(LensModelTest, ExtensionUnitQueriesCheckUnitSelectorAndSize) {
    uint8_t buf[32] = {0};
    EXPECT_EQ(xu(1, 0x01, buf, 8, 5), ENOENT);
    EXPECT_EQ(xu(3, 0x01, buf, 8), ENOENT);
    EXPECT_EQ(xu(1, 0x01, buf, 16), ENOBUFS);
    EXPECT_EQ(xu(6, 0x85, buf, 2), 0);
    EXPECT_EQ(buf[0], 16);
    EXPECT_EQ(xu(11, 0x85, buf, 2), 0);
    EXPECT_EQ(buf[0], 32);
    uint8_t cmd16[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(xu(14, 0x01, cmd16, 16), 0);
    uint8_t back[16] = {0};
    EXPECT_EQ(xu(15, 0x81, back, 16), 0);
    EXPECT_EQ(std::memcmp(cmd16, back, 16), 0);
    lens.faults().xu.n = 1;
    EXPECT_EQ(xu(2, 0x81, buf, 8), EIO);
    EXPECT_EQ(xu(2, 0x81, buf, 8), 0);
}

TEST(ControlCommandsTest, ParsesAndApplies) {
    HandClock hand;
    RunClock clock;
    std::vector<std::unique_ptr<LensSlot>> lenses;
    for (int i = 0; i < 2; ++i) {
        auto s = std::make_unique<LensSlot>();
        s->backing = std::make_unique<MemoryBacking>();
        s->model = std::make_unique<LensModel>(i, *s->backing, hand);
        lenses.push_back(std::move(s));
    }
    ControlCommands cmd(lenses, clock);
    EXPECT_EQ(cmd.execute("lenses"), "ok 2");
    EXPECT_EQ(cmd.execute("fault 1 eio 3"), "ok");
    EXPECT_EQ(lenses[1]->model->faults().eio.n, 3);
    EXPECT_EQ(cmd.execute("fault all busy"), "ok");
    EXPECT_TRUE(lenses[0]->model->faults().busy);
    EXPECT_EQ(cmd.execute("fault 0 busy off"), "ok");
    EXPECT_FALSE(lenses[0]->model->faults().busy);
    EXPECT_EQ(cmd.execute("fault 0 size 640 480"), "ok");
    EXPECT_EQ(lenses[0]->model->faults().size.n, -1);
    EXPECT_EQ(lenses[0]->model->faults().size_w, 640);
    EXPECT_EQ(cmd.execute("clear all"), "ok");
    EXPECT_FALSE(lenses[1]->model->faults().eio.active());
    EXPECT_FALSE(lenses[1]->model->faults().busy);

    EXPECT_EQ(cmd.execute("fault 2 eio").substr(0, 3), "err") << "no lens 2";
    EXPECT_EQ(cmd.execute("fault 0 eio 1x").substr(0, 3), "err");
    EXPECT_EQ(cmd.execute("fault 0 fire").substr(0, 3), "err");
    EXPECT_EQ(cmd.execute("fault -1 eio").substr(0, 3), "err");
    EXPECT_EQ(cmd.execute("frobnicate").substr(0, 3), "err");
    EXPECT_EQ(cmd.execute("").substr(0, 3), "err");

    EXPECT_EQ(cmd.execute("set 1 exposure 1234"), "ok");
    EXPECT_EQ(cmd.execute("get 1 exposure"), "ok 1234");
    EXPECT_EQ(cmd.execute("set 0 build_date 15Mar09"), "ok");
    EXPECT_EQ(cmd.execute("get 0 build_date"), "ok 15Mar09");
    EXPECT_EQ(cmd.execute("set 0 build_date 15Mxr09").substr(0, 3), "err");
    EXPECT_EQ(cmd.execute("set 0 gain 70000").substr(0, 3), "err");
    EXPECT_EQ(cmd.execute("get 0 nothing").substr(0, 3), "err");
    EXPECT_NE(cmd.execute("state 0").find(" exposure_auto=0"), std::string::npos);

    EXPECT_EQ(cmd.execute("clock pause"), "ok");
    int64_t t = clock.nowUs();
    EXPECT_EQ(cmd.execute("clock frames 3"), "ok");
    EXPECT_EQ(clock.nowUs(), t + 50000);
    EXPECT_EQ(cmd.execute("clock advance 10"), "ok");
    EXPECT_EQ(clock.nowUs(), t + 50010);
    EXPECT_EQ(cmd.execute("clock run 0").substr(0, 3), "err");
    EXPECT_EQ(cmd.execute("clock advance -5").substr(0, 3), "err");
    EXPECT_EQ(cmd.execute("clock"), "ok now=" + std::to_string(t + 50010) + " running=0 rate=1");
    EXPECT_EQ(cmd.execute("clock run 2"), "ok");
    EXPECT_TRUE(clock.running());
    EXPECT_EQ(clock.rate(), 2.0);
}

}  // namespace
}  // namespace vcam

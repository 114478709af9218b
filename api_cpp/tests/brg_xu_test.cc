// Extension-unit commands against a recording stand-in of the driver: the
// exact packet bytes, the read-backs and every error path.
#include <errno.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <linux/usb/video.h>
#include <linux/videodev2.h>

#include "brg_xu.h"
#include "fake_driver.h"

using camtest::FakeDriver;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kFd = 7;

// The one SET_CUR packet that was sent to selector 1, checking the transfer.
Bytes onlyCommand(const FakeDriver& drv) {
    auto cmds = drv.commands();
    EXPECT_EQ(cmds.size(), 1u);
    for (auto& x : drv.xfers) {
        EXPECT_EQ(x.unit, 6);
        EXPECT_EQ(x.fd, kFd);
        EXPECT_EQ(x.size, 8);
    }
    return cmds.empty() ? Bytes{} : cmds[0];
}

}  // namespace

TEST(BrgPacket, WritersSendTheDocumentedBytes) {
    struct Case {
        const char* what;
        std::function<int()> call;
        Bytes bytes;
    };
    std::vector<Case> cases = {
        {"exposure", [] { return BrgXU_WriteISP(kFd, 0x11223344); }, {0x00, 0x01, 0x44, 0x33, 0x22, 0x11, 0x00, 0x00}},
        {"rgb",
         [] { return BrgXU_WriteISP_RGB(kFd, 0x0102, 0x0304, 0x0506); },
         {0x00, 0x03, 0x02, 0x01, 0x04, 0x03, 0x06, 0x05}},
        {"gain low", [] { return BrgXU_WriteISP_gain(kFd, 100); }, {0x00, 0x04, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"gain high", [] { return BrgXU_WriteISP_gain(kFd, 20000); }, {0x00, 0x04, 0x20, 0x4e, 0x00, 0x00, 0x00, 0x00}},
        {"shutter low",
         [] { return BrgXU_WriteISP_shutter(kFd, 1); },
         {0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"shutter high",
         [] { return BrgXU_WriteISP_shutter(kFd, 12000); },
         {0x00, 0x05, 0xe0, 0x2e, 0x00, 0x00, 0x00, 0x00}},
        {"working mode",
         [] { return BrgXU_WriteISP_SetWorkingMode(kFd, 0x1234); },
         {0x00, 0x09, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"frame sync", [] { return BrgXU_frameSync(kFd); }, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"flip 1 0", [] { return BrgXU_flip(kFd, 1, 0); }, {0x11, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"flip low bytes",
         [] { return BrgXU_flip(kFd, 0x102, 0x301); },
         {0x11, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}},
    };
    for (auto& c : cases) {
        FakeDriver drv;
        EXPECT_EQ(c.call(), 0) << c.what;
        ASSERT_EQ(drv.xfers.size(), 1u) << c.what << ": a writer reads nothing back";
        EXPECT_EQ(drv.xfers[0].query, UVC_SET_CUR) << c.what;
        EXPECT_EQ(drv.xfers[0].selector, 1) << c.what;
        EXPECT_EQ(onlyCommand(drv), c.bytes) << c.what;
    }
}

TEST(BrgPacket, SensorRegisterGoesThroughTheHandle) {
    FakeDriver drv;
    BrgXU_Handle h = BrgXU_Init(kFd);
    ASSERT_NE(h, nullptr);
    drv.xfers.clear();
    EXPECT_EQ(BrgXU_WriteSensorReg(h, 0x1234, 0xabcd), 0);
    EXPECT_EQ(onlyCommand(drv), (Bytes{0x0a, 0x03, 0x34, 0x12, 0xcd, 0xab, 0x00, 0x00}));
    BrgXU_Release(&h);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(BrgXU_WriteSensorReg(nullptr, 1, 2), EINVAL);
}

TEST(BrgPacket, ReadersQueryThenReadSelectorTwo) {
    FakeDriver drv;
    drv.exposure = 0x01020304;
    drv.gain = 1600;
    drv.shutter = 333;
    drv.rgb[0] = 400;
    drv.rgb[1] = 256;
    drv.rgb[2] = 0xfffe;

    unsigned exposure = 0, gain = 0, shutter = 0;
    unsigned short r = 0, g = 0, b = 0;
    EXPECT_EQ(BrgXU_ReadISP(kFd, &exposure), 0);
    EXPECT_EQ(BrgXU_ReadISP_gain(kFd, &gain), 0);
    EXPECT_EQ(BrgXU_ReadISP_shutter(kFd, &shutter), 0);
    EXPECT_EQ(BrgXU_ReadISP_RGB(kFd, &r, &g, &b), 0);
    EXPECT_EQ(exposure, 0x01020304u);
    EXPECT_EQ(gain, 1600u);
    EXPECT_EQ(shutter, 333u);
    EXPECT_EQ(r, 400);
    EXPECT_EQ(g, 256);
    EXPECT_EQ(b, 0xfffe);

    // each read is a command to selector 1 and an 8-byte GET_CUR of selector 2
    ASSERT_EQ(drv.xfers.size(), 8u);
    const uint8_t cmds[4] = {0x00, 0x0b, 0x0c, 0x02};
    for (int i = 0; i < 4; ++i) {
        auto& send = drv.xfers[2 * i];
        auto& read = drv.xfers[2 * i + 1];
        EXPECT_EQ(send.query, UVC_SET_CUR);
        EXPECT_EQ(send.selector, 1);
        EXPECT_EQ(send.data, (Bytes{0x00, cmds[i], 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(read.query, UVC_GET_CUR);
        EXPECT_EQ(read.selector, 2);
        EXPECT_EQ(read.size, 8);
        EXPECT_EQ(read.unit, 6);
    }
}

TEST(BrgPacket, FailedReadBackLeavesOutputUntouched) {
    FakeDriver drv;
    drv.exposure = 1234;
    drv.xfer_errors = {0, EIO};  // command goes through, read-back fails
    unsigned exposure = 77;
    testing::internal::CaptureStdout();
    EXPECT_EQ(BrgXU_ReadISP(kFd, &exposure), EIO);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(exposure, 77u);
    EXPECT_EQ(out, "Command Failed: errno=5, " + std::string(strerror(EIO)) + "\r\n");

    unsigned short r = 1, g = 2, b = 3;
    drv.xfer_errors = {0, EPIPE};
    testing::internal::CaptureStdout();
    EXPECT_EQ(BrgXU_ReadISP_RGB(kFd, &r, &g, &b), EPIPE);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(g, 2);
    EXPECT_EQ(b, 3);
}

TEST(BrgPacket, FailedCommandIsNotFollowedByAReadBack) {
    FakeDriver drv;
    drv.xfer_errors = {ENODEV};
    unsigned gain = 5;
    testing::internal::CaptureStdout();
    EXPECT_EQ(BrgXU_ReadISP_gain(kFd, &gain), ENODEV);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(drv.xfers.size(), 1u);
    EXPECT_EQ(gain, 5u);
}

TEST(BrgPacket, GainAndShutterBounds) {
    FakeDriver drv;
    struct Case {
        std::function<int()> call;
        const char* name;
    } cases[] = {
        {[] { return BrgXU_WriteISP_gain(kFd, 99); }, "BrgXU_WriteISP_gain"},
        {[] { return BrgXU_WriteISP_gain(kFd, 20001); }, "BrgXU_WriteISP_gain"},
        {[] { return BrgXU_WriteISP_gain(kFd, 0x10064); }, "BrgXU_WriteISP_gain"},
        {[] { return BrgXU_WriteISP_shutter(kFd, 0); }, "BrgXU_WriteISP_shutter"},
        {[] { return BrgXU_WriteISP_shutter(kFd, 12001); }, "BrgXU_WriteISP_shutter"},
    };
    for (auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ " + std::string(c.name) + " ] value out of bound\n");
    }
    EXPECT_TRUE(drv.xfers.empty());
}

TEST(BrgTransport, NullDataAndInterruptedCalls) {
    FakeDriver drv;
    EXPECT_EQ(UVC_XuCmd_V2(kFd, nullptr, 1, 8, UVC_SET_CUR, 6), EINVAL);
    EXPECT_TRUE(drv.xfers.empty());

    unsigned char data[4] = {1, 2, 3, 4};
    drv.xfer_errors = {EINTR, EINTR};
    EXPECT_EQ(UVC_XuCmd_V2(kFd, data, 9, 4, 0x85, 3), 0);
    ASSERT_EQ(drv.xfers.size(), 3u);
    EXPECT_EQ(drv.xfers[2].unit, 3);
    EXPECT_EQ(drv.xfers[2].selector, 9);
    EXPECT_EQ(drv.xfers[2].query, 0x85);
    EXPECT_EQ(drv.xfers[2].size, 4);

    drv.xfers.clear();
    EXPECT_EQ(BrgXU_XuCmd(kFd, data, 2, 4, 0), 0);
    EXPECT_EQ(drv.xfers.at(0).query, UVC_GET_CUR);
    EXPECT_EQ(BrgXU_XuCmd(kFd, data, 2, 4, 5), 0);
    EXPECT_EQ(drv.xfers.at(1).query, UVC_SET_CUR);
    EXPECT_EQ(drv.xfers.at(1).unit, 6);
}

TEST(BrgFirmware, BuildDate) {
    FakeDriver drv;
    char date[9];
    std::memset(date, 'x', sizeof(date));
    EXPECT_EQ(BrgXU_GetFWBuildDate(kFd, date), 0u);
    EXPECT_STREQ(date, "20150309");
    EXPECT_EQ(drv.commands().at(0), (Bytes{0x0c, 0, 0, 0, 0, 0, 0, 0}));

    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m) {
        unsigned char res[8] = {0, '2', '1', 0, 0, 0, '3', '1'};
        std::memcpy(res + 3, months[m], 3);
        char out[9];
        brg_decode_build_date(res, out);
        char want[9];
        snprintf(want, sizeof(want), "2021%02d31", m + 1);
        EXPECT_STREQ(out, want) << months[m];
    }

    // names are matched with their case; an unknown one keeps bytes 4-5
    unsigned char res[8] = {0, '1', '9', 'm', 'a', 'r', '0', '1'};
    char out[9] = "abcdefgh";
    brg_decode_build_date(res, out);
    EXPECT_STREQ(out, "2019ef01");
}

TEST(BrgFirmware, QueryResults) {
    FakeDriver drv;
    char date[9] = "unchange";
    drv.fw_status = 3;
    EXPECT_EQ(BrgXU_GetFWBuildDate(kFd, date), 0x80000001u);
    EXPECT_STREQ(date, "unchange");

    drv.fw_status = 0;
    drv.xfer_errors = {EIO};
    testing::internal::CaptureStdout();
    EXPECT_EQ(BrgXU_GetFWBuildDate(kFd, date), 0x08000000u);
    drv.xfer_errors = {0, EIO};
    EXPECT_EQ(BrgXU_GetFWBuildDate(kFd, date), 0x08000000u);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(date, "unchange");

    BrgXU_Handle h = BrgXU_Init(kFd);
    ASSERT_NE(h, nullptr);
    unsigned char version[6] = {0};
    EXPECT_EQ(BrgXU_GetFWVersion(h, version), 0u);
    EXPECT_EQ(Bytes(version, version + 6), (Bytes{1, 2, 3, 4, 5, 6}));
    drv.fw_status = 1;
    EXPECT_EQ(BrgXU_GetFWVersion(h, version), 0x80000001u);
    EXPECT_EQ(BrgXU_GetFWVersion(nullptr, version), 0x08000000u);
    BrgXU_Release(&h);
}

TEST(BrgInit, RegistersNineMappingsInOrder) {
    FakeDriver drv;
    BrgXU_Handle h = BrgXU_Init(kFd);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(BrgXU_Fd(h), kFd);
    struct Want {
        uint32_t id;
        const char* name;
        uint8_t selector;
        uint8_t size;
        uint32_t data_type;
    } want[] = {
        {0x08000001, "Set ISP", 1, 64, 1},
        {0x08000002, "Get ISP", 2, 64, 1},
        {0x08000001, "Set MMP", 4, 64, 1},
        {0x08000002, "Get MMP", 5, 64, 1},
        {0x08000003, "Set MMP16", 14, 128, 1},
        {0x08000004, "Get MMP16 Result", 15, 128, 1},
        {0x08000005, "BRG XU Get Data", 11, 255, 2},
        {0x08000006, "Set ISP EX", 6, 128, 1},
        {0x08000007, "Get ISP EX Result", 7, 128, 1},
    };
    const uint8_t guid[16] = {0xd0, 0x9e, 0xe4, 0x23, 0x78, 0x11, 0x31, 0x4f,
                              0xae, 0x52, 0xd2, 0xfb, 0x8a, 0x8d, 0x3b, 0x48};
    ASSERT_EQ(drv.mappings.size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
        auto& m = drv.mappings[i];
        EXPECT_EQ(m.id, want[i].id) << i;
        EXPECT_STREQ(reinterpret_cast<const char*>(m.name), want[i].name) << i;
        EXPECT_EQ(m.selector, want[i].selector) << i;
        EXPECT_EQ(m.size, want[i].size) << i;
        EXPECT_EQ(m.data_type, want[i].data_type) << i;
        EXPECT_EQ(m.offset, 0) << i;
        EXPECT_EQ(m.v4l2_type, static_cast<uint32_t>(V4L2_CTRL_TYPE_INTEGER)) << i;
        EXPECT_EQ(m.menu_info, nullptr) << i;
        EXPECT_EQ(m.menu_count, 0u) << i;
        EXPECT_EQ(0, std::memcmp(m.entity, guid, 16)) << i;
    }
    BrgXU_Release(&h);

    // mappings the driver already holds do not fail a second set-up
    drv.map_errno = EEXIST;
    h = BrgXU_Init(kFd);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(drv.mappings.size(), 18u);
    BrgXU_Release(&h);
    BrgXU_Release(&h);  // twice is harmless
}

TEST(BrgInit, RefusedWithoutDeviceOrRights) {
    FakeDriver drv;
    testing::internal::CaptureStdout();
    EXPECT_EQ(BrgXU_Init(0), nullptr);
    EXPECT_EQ(BrgXU_Init(-1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Video device not exist.\rVideo device not exist.\r");
    EXPECT_TRUE(drv.mappings.empty());

    for (int err : {EPERM, EACCES}) {
        drv.mappings.clear();
        drv.map_errno = err;
        testing::internal::CaptureStdout();
        EXPECT_EQ(BrgXU_Init(kFd), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "BrgXU_Init: need root privileges. \r");
        EXPECT_EQ(drv.mappings.size(), 1u) << "stops at the first refused mapping";
    }
}

TEST(BrgRaw, CommandsOnTheHandle) {
    FakeDriver drv;
    BrgXU_Handle h = BrgXU_Init(kFd);
    ASSERT_NE(h, nullptr);
    drv.xfers.clear();

    EXPECT_EQ(BrgXU_IspCmd(h, nullptr, nullptr), 0);
    EXPECT_TRUE(drv.xfers.empty());
    unsigned char cmd8[8] = {0x00, 0x09, 0x02, 0, 0, 0, 0, 0};
    EXPECT_EQ(BrgXU_IspCmd(h, cmd8, nullptr), 0);
    ASSERT_EQ(drv.xfers.size(), 1u);
    EXPECT_EQ(drv.xfers[0].selector, 1);
    EXPECT_EQ(drv.xfers[0].data, Bytes(cmd8, cmd8 + 8));

    drv.xfers.clear();
    unsigned char cmd16[16] = {1, 2, 3};
    unsigned char res16[16] = {0};
    EXPECT_EQ(BrgXU_IspExCmd(h, cmd16, res16), 0);
    ASSERT_EQ(drv.xfers.size(), 2u);
    EXPECT_EQ(drv.xfers[0].selector, 6);
    EXPECT_EQ(drv.xfers[0].size, 16);
    EXPECT_EQ(drv.xfers[0].query, UVC_SET_CUR);
    EXPECT_EQ(drv.xfers[1].selector, 7);
    EXPECT_EQ(drv.xfers[1].size, 16);
    EXPECT_EQ(drv.xfers[1].query, UVC_GET_CUR);
    EXPECT_EQ(res16[15], 0xA5);

    drv.xfers.clear();
    EXPECT_EQ(BrgXU_MmpCmd16(h, cmd16, res16, 1), 0);
    ASSERT_EQ(drv.xfers.size(), 2u);
    EXPECT_EQ(drv.xfers[0].selector, 14);
    EXPECT_EQ(drv.xfers[1].selector, 15);
    drv.xfers.clear();
    EXPECT_EQ(BrgXU_MmpCmd16(h, cmd16, nullptr, 0), 0);
    EXPECT_EQ(drv.xfers.size(), 1u);

    // a failing transfer is reported twice and its code returned
    drv.xfer_errors = {EIO};
    testing::internal::CaptureStdout();
    EXPECT_EQ(BrgXU_IspExCmd(h, cmd16, res16), EIO);
    std::string line = "Command Failed: errno=5, " + std::string(strerror(EIO)) + "\r\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line + line);
    BrgXU_Release(&h);
}

TEST(BrgUvc, StandardControls) {
    FakeDriver drv;
    BrgXU_Handle h = BrgXU_Init(kFd);
    ASSERT_NE(h, nullptr);
    drv.ctrls[V4L2_CID_BRIGHTNESS] = 50;

    int v = 0;
    EXPECT_EQ(BrgUVC_PUControl(h, &v, V4L2_CID_BRIGHTNESS, 0), 0);
    EXPECT_EQ(v, 50);
    v = 99;
    EXPECT_EQ(BrgUVC_PUControl(h, &v, V4L2_CID_BRIGHTNESS, 1), 0);
    EXPECT_EQ(drv.ctrls[V4L2_CID_BRIGHTNESS], 99);
    testing::internal::CaptureStderr();
    EXPECT_EQ(BrgUVC_PUControl(h, &v, V4L2_CID_HUE, 0), EINVAL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("VIDIOC_G_CTRL"), std::string::npos);

    drv.other = [](int, unsigned long req, void* arg) -> int {
        if (req == VIDIOC_QUERYCTRL) {
            auto* q = static_cast<v4l2_queryctrl*>(arg);
            if (q->id == V4L2_CID_BRIGHTNESS) {
                q->minimum = -64;
                q->maximum = 64;
                q->step = 2;
                return 0;
            }
            if (q->id == V4L2_CID_HUE) {
                q->flags = V4L2_CTRL_FLAG_DISABLED;
                return 0;
            }
            errno = EINVAL;
            return -1;
        }
        if (req == VIDIOC_G_EXT_CTRLS || req == VIDIOC_S_EXT_CTRLS) {
            auto* c = static_cast<v4l2_ext_controls*>(arg);
            if (c->ctrl_class != V4L2_CTRL_CLASS_USER || c->count != 1) {
                errno = EINVAL;
                return -1;
            }
            static long long stored = 0;
            if (req == VIDIOC_S_EXT_CTRLS)
                stored = c->controls[0].value64;
            else
                c->controls[0].value64 = stored;
            return 0;
        }
        errno = ENOTTY;
        return -1;
    };
    int mx = 0, mn = 0, st = 0;
    EXPECT_EQ(BrgUVC_PUQuery(h, V4L2_CID_BRIGHTNESS, &mx, &mn, &st), 0);
    EXPECT_EQ(mx, 64);
    EXPECT_EQ(mn, -64);
    EXPECT_EQ(st, 2);
    for (unsigned id : {unsigned(V4L2_CID_HUE), unsigned(V4L2_CID_GAMMA)}) {
        mx = mn = st = 7;
        testing::internal::CaptureStdout();
        EXPECT_EQ(BrgUVC_PUQuery(h, id, &mx, &mn, &st), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Control ID not supported\n");
        EXPECT_EQ(mx + mn + st, 21);
    }

    long long value = 12345;
    EXPECT_EQ(BrgUVC_CameraCmd(h, &value, V4L2_CID_CONTRAST, 1), 0);
    value = 0;
    EXPECT_EQ(BrgUVC_CameraCmd(h, &value, V4L2_CID_CONTRAST, 0), 0);
    EXPECT_EQ(value, 12345);
    BrgXU_Release(&h);
}

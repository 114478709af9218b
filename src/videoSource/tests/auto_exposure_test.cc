// Cross-lens matching: the formulas with their edge cases, then the two
// steps over cameras whose ISP answers come from a scripted driver.
#include <errno.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include "auto_exposure.h"
#include "brg_xu.h"
#include "fake_driver.h"
#include "support/camtest.h"

using camtest::FakeDriver;
using camtest::LogCapture;
using Bytes = std::vector<uint8_t>;

namespace {

unsigned matched(unsigned a, unsigned b, double factor) {
    unsigned v = 0xdeadbeef;
    EXPECT_TRUE(matchExposure(a, b, factor, &v)) << a << " " << b << " " << factor;
    return v;
}

std::vector<unsigned short> wb(std::vector<unsigned short> a, std::vector<unsigned short> b,
                               std::vector<unsigned> ratio) {
    std::vector<unsigned short> out(3);
    matchWhiteBalance(a.data(), b.data(), ratio.data(), out.data());
    return out;
}

// Both cameras closed: every request reaches the scripted driver in call
// order, camera 0's before camera 1's.
struct Pair {
    FakeDriver drv;
    std::vector<V4L2Camera> cams;
    explicit Pair(size_t n = 2) : cams(n) {
        drv.ctrls[V4L2_CID_EXPOSURE_AUTO] = 0;
        drv.ctrls[V4L2_CID_AUTO_WHITE_BALANCE] = 1;
    }
    std::vector<Bytes> writes(uint8_t cmd) const {
        std::vector<Bytes> out;
        for (auto& c : drv.commands())
            if (c[0] == 0 && c[1] == cmd) out.push_back(c);
        return out;
    }
};

Bytes exposurePacket(unsigned v) {
    Bytes b(8);
    brg_packet_write_exposure(b.data(), v);
    return b;
}

Bytes rgbPacket(unsigned short r, unsigned short g, unsigned short b) {
    Bytes p(8);
    brg_packet_write_rgb(p.data(), r, g, b);
    return p;
}

}  // namespace

TEST(MatchExposure, Formula) {
    EXPECT_EQ(matched(1500, 1500, 1), 1500u);
    EXPECT_EQ(matched(2000, 1000, 1), 1259u);
    EXPECT_EQ(matched(1000, 2000, 1), 1259u);
    EXPECT_EQ(matched(1000, 2000, 0.5), 629u);
    EXPECT_EQ(matched(1, 1, 1), 1u);
    // x lies between the two and leans toward the smaller one
    unsigned v = matched(100, 900, 1);
    EXPECT_GT(v, 100u);
    EXPECT_LT(v, 300u);
}

TEST(MatchExposure, NothingFromZeroOrNotANumber) {
    unsigned v = 7;
    EXPECT_FALSE(matchExposure(0, 1000, 1, &v));
    EXPECT_FALSE(matchExposure(1000, 0, 1, &v));
    EXPECT_FALSE(matchExposure(0, 0, 1, &v));
    EXPECT_FALSE(matchExposure(1000, 1000, std::nan(""), &v));
    EXPECT_EQ(v, 7u);
}

TEST(MatchExposure, FarApartFallsBackToLogarithms) {
    // 1000^1000 overflows a double; the weighted mean is still about 1007
    unsigned v = matched(1000, 1000000, 1);
    double want = std::exp((std::log(1e6) + 1000 * std::log(1000.0)) / 1001);
    EXPECT_NEAR(v, want, 1.0);
    EXPECT_GT(v, 1000u);
    v = matched(2, 4000000000u, 1);
    EXPECT_GE(v, 2u);
    EXPECT_LT(v, 3u);
    v = matched(60000, 4294967295u, 1);
    EXPECT_GT(v, 60000u);
    EXPECT_LT(v, 70000u);
}

TEST(MatchExposure, ScaledResultIsClamped) {
    EXPECT_EQ(matched(4294967295u, 4294967295u, 2), 4294967295u);
    EXPECT_EQ(matched(1000, 1000, std::numeric_limits<double>::infinity()), 4294967295u);
    EXPECT_EQ(matched(1000, 1000, -3), 0u);
}

TEST(MatchWhiteBalance, MeansTimesRatio) {
    using V = std::vector<unsigned short>;
    EXPECT_EQ(wb({400, 256, 300}, {410, 260, 305}, {100, 100, 100}), (V{405, 258, 302}));
    EXPECT_EQ(wb({400, 256, 300}, {410, 260, 305}, {110, 100, 100}), (V{445, 258, 302}));
    EXPECT_EQ(wb({401, 401, 401}, {402, 402, 402}, {100, 100, 100}), (V{401, 401, 401}));
    EXPECT_EQ(wb({65535, 65535, 0}, {65535, 65535, 0}, {100, 100, 100}), (V{65535, 65535, 0}));
    // scaled past 16 bits: saturates instead of wrapping
    EXPECT_EQ(wb({65535, 40000, 1000}, {65535, 40000, 1000}, {200, 200, 4000000000u}), (V{65535, 65535, 65535}));
    EXPECT_EQ(wb({300, 300, 300}, {300, 300, 300}, {0, 50, 99}), (V{0, 150, 297}));
}

TEST(RgbRatio, SetLogsEachChannel) {
    LogCapture log;
    unsigned r[3] = {110, 95, 100};
    setRGBRatio(r);
    unsigned back[3] = {0, 0, 0};
    getRGBRatio(back);
    EXPECT_EQ(std::vector<unsigned>(back, back + 3), (std::vector<unsigned>{110, 95, 100}));
    EXPECT_EQ(log.count(google::INFO, "set r: 110%"), 1);
    EXPECT_EQ(log.count(google::INFO, "set g: 95%"), 1);
    EXPECT_EQ(log.count(google::INFO, "set b: 100%"), 1);
    unsigned plain[3] = {100, 100, 100};
    setRGBRatio(plain);
}

TEST(ConsistExposure, BothCamerasGetTheCommonValue) {
    Pair p;
    p.drv.exposure_answers = {1000, 2000};
    consistExposure(p.cams, 1);
    EXPECT_EQ(p.writes(BRG_ISP_WRITE_EXPOSURE), (std::vector<Bytes>{exposurePacket(1259), exposurePacket(1259)}));
    unsigned last[2];
    lastExposures(last);
    EXPECT_EQ(last[0], 1000u);
    EXPECT_EQ(last[1], 2000u);

    Pair q;
    q.drv.exposure_answers = {1000, 2000};
    consistExposure(q.cams, 0.5);
    EXPECT_EQ(q.writes(BRG_ISP_WRITE_EXPOSURE), (std::vector<Bytes>{exposurePacket(629), exposurePacket(629)}));
}

TEST(ConsistExposure, OnlyForExactlyTwoCameras) {
    for (size_t n : {0u, 1u, 3u}) {
        Pair p(n);
        p.drv.exposure_answers = {1000, 2000, 3000};
        consistExposure(p.cams, 1);
        consistWhiteBalance(p.cams);
        EXPECT_TRUE(p.drv.xfers.empty()) << n;
        EXPECT_EQ(p.drv.g_ctrl_calls, 0) << n;
    }
}

TEST(ConsistExposure, ManualCameraZeroIsTheEnd) {
    Pair p;
    p.drv.ctrls[V4L2_CID_EXPOSURE_AUTO] = 1;
    consistExposure(p.cams, 1);
    EXPECT_EQ(p.drv.g_ctrl_calls, 1) << "camera 1 is not asked";
    EXPECT_TRUE(p.drv.xfers.empty());
}

TEST(ConsistExposure, FailedOrZeroReadWritesNothing) {
    {
        Pair p;
        p.drv.exposure_answers = {1200, 800};
        consistExposure(p.cams, 1);  // sets the last exposures
    }
    Pair p;
    LogCapture log;
    p.drv.exposure_answers = {5000};
    p.drv.xfer_errors = {0, 0, 0, EIO};  // camera 1's read-back fails
    testing::internal::CaptureStdout();
    consistExposure(p.cams, 1);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(p.writes(BRG_ISP_WRITE_EXPOSURE).empty());
    EXPECT_EQ(log.count(google::ERROR, "read exposure error 5"), 1);
    unsigned last[2];
    lastExposures(last);
    EXPECT_EQ(last[0], 5000u);
    EXPECT_EQ(last[1], 800u) << "a failed read keeps the previous value";

    Pair z;
    z.drv.exposure_answers = {0, 1500};
    consistExposure(z.cams, 1);
    EXPECT_TRUE(z.writes(BRG_ISP_WRITE_EXPOSURE).empty());
}

TEST(ConsistWhiteBalance, MeanGainsWithRatio) {
    Pair p;
    p.drv.rgb_answers = {{400, 256, 300}, {410, 260, 305}};
    consistWhiteBalance(p.cams);
    EXPECT_EQ(p.writes(BRG_ISP_WRITE_RGB), (std::vector<Bytes>{rgbPacket(405, 258, 302), rgbPacket(405, 258, 302)}));

    unsigned ratio[3] = {110, 100, 100};
    setRGBRatio(ratio);
    Pair q;
    q.drv.rgb_answers = {{400, 256, 300}, {410, 260, 305}};
    consistWhiteBalance(q.cams);
    EXPECT_EQ(q.writes(BRG_ISP_WRITE_RGB), (std::vector<Bytes>{rgbPacket(445, 258, 302), rgbPacket(445, 258, 302)}));
    unsigned plain[3] = {100, 100, 100};
    setRGBRatio(plain);
}

TEST(ConsistWhiteBalance, ManualOrUnreadGainsWriteNothing) {
    Pair m;
    m.drv.ctrls[V4L2_CID_AUTO_WHITE_BALANCE] = 0;
    consistWhiteBalance(m.cams);
    EXPECT_EQ(m.drv.g_ctrl_calls, 1);
    EXPECT_TRUE(m.drv.xfers.empty());

    for (auto errors : {std::deque<int>{0, EIO}, std::deque<int>{0, 0, EIO}, std::deque<int>{0, 0, 0, EIO}}) {
        Pair p;
        p.drv.rgb_answers = {{400, 256, 300}, {410, 260, 305}};
        p.drv.xfer_errors = errors;
        testing::internal::CaptureStdout();
        consistWhiteBalance(p.cams);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(p.writes(BRG_ISP_WRITE_RGB).empty());
    }
}

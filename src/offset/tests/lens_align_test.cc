// The calibration program end to end on the virtual camera's two lenses, as
// the controller runs it, and its joins and ranking on small inputs.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bmp/bmp.h"
#include "common/dameon_util.h"
#include "config/property_config.h"
#include "offset/correct_offset.h"
#include "offset/offset_param.h"
#include "support/camtest.h"
#include "support/vcam_session.h"

namespace {

using camtest::readFile;
using camtest::writeFile;

const char* kConf = "/etc/offset.conf";

// The stored "defaultOffset", decoded.
OffsetParam storedOffset() { return OffsetParam(base64Decode(PropertyConfig(kConf).queryProperty("defaultOffset"))); }

void expectNear(const LensParam& got, const LensParam& want, double tolerance, const std::string& what) {
    EXPECT_NEAR(got.r, want.r, tolerance) << what;
    EXPECT_NEAR(got.x, want.x, tolerance) << what;
    EXPECT_NEAR(got.y, want.y, tolerance) << what;
    EXPECT_DOUBLE_EQ(got.yaw, want.yaw) << what;
    EXPECT_DOUBLE_EQ(got.pitch, want.pitch) << what;
    EXPECT_DOUBLE_EQ(got.roll, want.roll) << what;
}

// A value of a lens's state in the device server.
std::string lensValue(int lens, const std::string& key) {
    std::string v = readCmdOutput("vcam-devctl get " + std::to_string(lens) + " " + key);
    while (!v.empty() && v.back() == '\n') v.pop_back();
    return v;
}

class LensAlignRun : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        ASSERT_EQ(system("vcam-standin --clear discSeek"), 0);
        camtest::clearCalls();
    }
    void start(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"lensAlign"};
        argv.insert(argv.end(), args.begin(), args.end());
        unlink("/tmp/lensAlign.out");  // no earlier run's log to read
        camtest::start(proc_, argv, "/tmp/lensAlign.out");
    }
    // Runs lensAlign with args; its exit status.
    int run(const std::vector<std::string>& args) {
        start(args);
        return proc_.wait(std::chrono::seconds(60));
    }
    std::string log() const { return proc_.output(); }

    camtest::Process proc_;
};

TEST_F(LensAlignRun, SideBySideStoresTheMeasuredMeanPlusTheOrigin) {
    const std::string origin = "2_1_-2_3_0.5_-0.25_1_2_4_-6_180_0.5_0_2880_1440_512";
    writeFile(kConf, "{\"language\": \"en_US\", \"defaultOffset\": \"old\", \"origin\": \"" + origin +
                         "\", \"photoCount\": 7}");
    // A line waiting in the worker FIFO stays there: the program never reads it.
    unlink("/tmp/server_read.fifo");
    ASSERT_EQ(mkfifo("/tmp/server_read.fifo", 0664), 0);
    int fifo = open("/tmp/server_read.fifo", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(write(fifo, "{\"cmd\":\"x\"}\n", 12), 12);
    ASSERT_EQ(system("vcam-devctl set 0 mode 5"), 0);
    // A link in the bitmap's place is replaced, not followed.
    writeFile("/etc/cnt.conf", "41");
    unlink(lensalign::kBitmapPath);
    ASSERT_EQ(symlink("/etc/cnt.conf", lensalign::kBitmapPath), 0);

    ASSERT_EQ(run({"2", "1440", "1440", "h"}), 0) << log();
    EXPECT_EQ(readFile("/etc/cnt.conf"), "41");
    struct stat st;
    ASSERT_EQ(lstat(lensalign::kBitmapPath, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    // Five rounds of 30 frames with both lenses matched after each, no frame
    // sync and no working mode.
    for (int lens : {0, 1}) {
        EXPECT_EQ(lensValue(lens, "frames"), "150") << lens;
        EXPECT_EQ(lensValue(lens, "syncs"), "0") << lens;
    }
    EXPECT_EQ(lensValue(0, "mode"), "5");
    for (const char* key : {"exposure", "r", "g", "b"}) EXPECT_EQ(lensValue(0, key), lensValue(1, key)) << key;

    char line[32] = {};
    EXPECT_EQ(read(fifo, line, sizeof line), 12);
    close(fifo);

    BMIH ih = GetBMIH(lensalign::kBitmapPath);
    EXPECT_EQ(ih.biWidth, 2880);
    EXPECT_EQ(ih.biHeight, 1440);
    EXPECT_EQ(ih.biBitCount, 24);
    EXPECT_EQ(GetBMFH(lensalign::kBitmapPath).bfSize, 54u + 8640u * 1440u);
    EXPECT_EQ(camtest::countOf(readFile("/.vcam/calls.log"), "discSeek /preview/test.bmp\n"), 5u);
    EXPECT_EQ(camtest::countOf(log(), "to caculate \n"), 5u);
    EXPECT_EQ(camtest::countOf(log(), "] param 2_"), 5u);

    // The lens model's discs as their frames show them (lens 1 is turned
    // half round by its flip flags), plus the origin.
    OffsetParam want(origin);
    want.lenses_[0].r += 172.8;
    want.lenses_[0].x += 432;
    want.lenses_[0].y += 475.2;
    want.lenses_[1].r += 172.8;
    want.lenses_[1].x += 834.2;
    want.lenses_[1].y += 963.8;
    OffsetParam got = storedOffset();
    ASSERT_EQ(got.lenses_.size(), 2u);
    EXPECT_EQ(got.camera_num_, 2);
    EXPECT_EQ(got.width_, 2880);
    EXPECT_EQ(got.height_, 1440);
    EXPECT_EQ(got.version_, 2);
    EXPECT_EQ(got.lens_version_, 0);
    for (size_t i = 0; i < 2; ++i) expectNear(got.lenses_[i], want.lenses_[i], 4.0, "lens " + std::to_string(i));

    // Exactly the logged mean plus the origin, stored once, the rest kept.
    const std::string text = readFile(kConf);
    EXPECT_NE(log().find("] offset param " + got.toString() + " version:2 lens_version:0\n"), std::string::npos)
        << log();
    EXPECT_NE(log().find("] base64 string" + base64Encode(got.toString()) + "\n"), std::string::npos);
    EXPECT_EQ(text, "{\n    \"language\": \"en_US\",\n    \"defaultOffset\": \"" + base64Encode(got.toString()) +
                        "\",\n    \"origin\": \"" + origin + "\",\n    \"photoCount\": 7\n}");
    EXPECT_NE(log().find("release video /dev/video1"), std::string::npos);
}

TEST_F(LensAlignRun, StackedTransposesEachFrameAndIgnoresAnInterrupt) {
    writeFile(kConf, "{\"origin\": \"2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_256\"}");
    start({"2", "1440", "1440", "v"});
    ASSERT_TRUE(camtest::waitFor([&] { return log().find("to caculate") != std::string::npos; })) << log();
    kill(proc_.pid, SIGINT);
    ASSERT_EQ(proc_.wait(std::chrono::seconds(60)), 0) << log();

    BMIH ih = GetBMIH(lensalign::kBitmapPath);
    EXPECT_EQ(ih.biWidth, 1440);
    EXPECT_EQ(ih.biHeight, 2880);
    EXPECT_EQ(ih.biBitCount, 24);
    // Each band holds its frame with rows and columns exchanged.
    OffsetParam got = storedOffset();
    ASSERT_EQ(got.lenses_.size(), 2u);
    EXPECT_EQ(got.version_, 1);
    expectNear(got.lenses_[0], LensParam{172.8, 475.2, 432, 0, 0, 0}, 4.0, "lens 0");
    expectNear(got.lenses_[1], LensParam{172.8, 963.8, 834.2, 0, 0, 0}, 4.0, "lens 1");
}

// Lens 0's radii against their mean (100) give the keys 9, 1, 4, 1 and 25;
// the centres 2, 4, 8, 16, 32 tell which three were averaged.
TEST_F(LensAlignRun, RanksByRadiusAndAddsAZeroOriginOfVersionTwo) {
    writeFile(kConf, "{\"origin\": \"2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_512\"}");
    const double r[5] = {97, 101, 98, 99, 105};
    std::string texts;
    for (int k = 0; k < 5; ++k) {
        char t[128];
        snprintf(t, sizeof t, "2_%g_%d_0_0_0_0_50_1000_0_0_0_0_1440_1440_256 ", r[k], 2 << k);
        texts += t;
    }
    ASSERT_EQ(system(("vcam-standin discSeek 'print=" + texts + "'").c_str()), 0);

    ASSERT_EQ(run({"2", "1440", "1440", "h"}), 0) << log();
    // Measurements 2, 4 and 3: r (101 + 99 + 98) / 3, x (4 + 16 + 8) / 3.
    EXPECT_EQ(base64Decode(PropertyConfig(kConf).queryProperty("defaultOffset")),
              "2_99.3333_9.33333_0_0_0_0_50_1000_0_0_0_0_2880_1440_512");
    EXPECT_EQ(camtest::countOf(readFile("/.vcam/calls.log"), "discSeek /preview/test.bmp\n"), 5u);
}

TEST(LensAlignJoin, SideBySideCopiesAndStackedTransposes) {
    lensalign::Calibration c;
    c.camera_num = 2;
    c.width = 3;
    c.height = 2;
    lensalign::initBuffer(c);
    // Pixel (x, y) of lens i holds 100 * i + 10 * y + x in red, its inverse
    // in green and the lens in blue.
    for (int i = 0; i < 2; ++i)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) {
                unsigned char* p = &c.buffers[i][(y * 3 + x) * 3];
                p[0] = static_cast<unsigned char>(100 * i + 10 * y + x);
                p[1] = static_cast<unsigned char>(255 - p[0]);
                p[2] = static_cast<unsigned char>(i);
            }
    // Each row in the file's byte order: blue, green, red.
    std::vector<uint8_t> row(6 * 3 + 1, 0xEE);
    for (int y = 0; y < 2; ++y) {
        lensalign::horizontalCombine(c, y, row.data());
        for (int i = 0; i < 2; ++i)
            for (int x = 0; x < 3; ++x) {
                const uint8_t* p = &row[(i * 3 + x) * 3];
                EXPECT_EQ(p[2], 100 * i + 10 * y + x) << i << " " << x << " " << y;
                EXPECT_EQ(p[1], 255 - p[2]);
                EXPECT_EQ(p[0], i);
            }
        EXPECT_EQ(row[18], 0xEE) << "wrote past the row";
    }

    // Stacked: the decoded pixels of lens i, counted row by row, fill its
    // band column by column.
    std::fill(row.begin(), row.end(), 0xEE);
    for (int i = 0; i < 2; ++i)
        for (int y = 0; y < 2; ++y) {
            lensalign::verticalCombine(c, i * 2 + y, row.data());
            for (int x = 0; x < 3; ++x) {
                const int n = x * 2 + y;  // decoded pixel number
                EXPECT_EQ(row[x * 3 + 2], 100 * i + 10 * (n / 3) + n % 3) << i << " " << x << " " << y;
                EXPECT_EQ(row[x * 3], i);
            }
            EXPECT_EQ(row[9], 0xEE) << "wrote past the row";
        }

    // The written bitmap is byte for byte the one its pixels, set one by one
    // by the joining rules, would make (odd width: rows with padding).
    c.width = 5;
    c.height = 3;
    lensalign::initBuffer(c);
    for (int i = 0; i < 2; ++i)
        for (size_t k = 0; k < c.buffers[i].size(); ++k) c.buffers[i][k] = static_cast<unsigned char>(7 * k + 90 * i);
    for (bool stacked : {false, true}) {
        c.stacked = stacked;
        BMP want;
        ASSERT_TRUE(want.SetSize(stacked ? 5 : 10, stacked ? 6 : 3));
        ASSERT_TRUE(c.bitmap.SetSize(want.TellWidth(), want.TellHeight()));
        for (int i = 0; i < 2; ++i)
            for (int x = 0; x < 5; ++x)
                for (int y = 0; y < 3; ++y) {
                    const unsigned char* p = &c.buffers[i][stacked ? (x * 3 + y) * 3 : (y * 5 + x) * 3];
                    want(stacked ? x : i * 5 + x, stacked ? i * 3 + y : y) = RGBApixel{p[2], p[1], p[0], 0};
                }
        ASSERT_TRUE(want.WriteToFile("/tmp/want.bmp"));
        ASSERT_TRUE(lensalign::writeBitmap(c));
        EXPECT_EQ(readFile("/preview/test.bmp"), readFile("/tmp/want.bmp")) << (stacked ? "stacked" : "side by side");
    }
    lensalign::clearBuffer(c);
    EXPECT_TRUE(c.buffers.empty());
}

TEST(LensAlignRanking, EqualKeysKeepTheirOrderAndTheKeyStaysInsideTheLenses) {
    auto offset = [](double r0, double x) {
        char t[96];
        snprintf(t, sizeof t, "2_%g_%g_0_0_0_0_10_0_0_0_0_0_2880_1440_256", r0, x);
        return OffsetParam(t);
    };
    OffsetParam mean = offset(5, 0);
    std::vector<OffsetParam> results = {offset(7, 1), offset(3, 2), offset(5, 3), offset(6, 4), offset(4, 5)};
    lensalign::rankResults(results, mean, 2);
    std::vector<double> order;
    for (auto& p : results) order.push_back(p.lenses_[0].x);
    EXPECT_EQ(order, (std::vector<double>{3, 4, 5, 1, 2}));
    OffsetParam best = lensalign::meanOfBest(results);
    EXPECT_EQ(best.toString(), "2_5_4_0_0_0_0_10_0_0_0_0_0_2880_1440_256");

    // A count above what the offsets hold sums over the lenses they have.
    OffsetParam one("1_9_0_0_0_0_0_2880_1440_256");
    EXPECT_DOUBLE_EQ(lensalign::radiusKey(one, mean, 3), 16.0);
    EXPECT_DOUBLE_EQ(lensalign::radiusKey(mean, one, 3), 16.0);
    EXPECT_DOUBLE_EQ(lensalign::radiusKey(offset(8, 0), mean, 0), 0.0);
    EXPECT_THROW(lensalign::meanOfBest({mean, mean}), OffsetError);
}

TEST(LensAlignTools, CameraPropertyGoesToTheToolsAsArguments) {
    ASSERT_TRUE(camtest::inSandbox());
    camtest::clearCalls();
    camtest::LogCapture log;
    lensalign::setCameraProperty(0, "gain", 300);
    EXPECT_TRUE(camtest::called("xuProbe -d /dev/video0 -c gain=300"));
    EXPECT_TRUE(log.contains("cmd xuProbe -d /dev/video0 -c gain=300"));
    lensalign::setCameraProperty(1, "shutter", 20);
    EXPECT_TRUE(camtest::called("xuProbe -d /dev/video1 -c shutter=20"));
    lensalign::setCameraProperty(0, "brightness", 140);
    EXPECT_TRUE(log.contains("cmd v4l2-ctl -d /dev/video0 -c brightness=140"));
    // A name is never shell text.
    lensalign::setCameraProperty(0, "gain;touch /tmp/pwned", 1);
    lensalign::setCameraProperty(0, "x$(touch /tmp/pwned2)", 1);
    EXPECT_FALSE(camtest::exists("/tmp/pwned"));
    EXPECT_FALSE(camtest::exists("/tmp/pwned2"));
}

}  // namespace

// The calibration program's failures in the virtual camera: each ends with
// its status and leaves "/etc/offset.conf" byte for byte as it was.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/camtest.h"
#include "support/vcam_session.h"

namespace {

using camtest::readFile;
using camtest::writeFile;

const char* kConf = "/etc/offset.conf";
const char* kUsage = "usage: stillGrab <cameraNum width height orientation>";
const std::string kStored =
    "{\"origin\":\"2_1_1_1_0_0_0_1_1_1_0_0_0_2880_1440_512\",\"defaultOffset\":\"Ml8w\",\"language\":\"zh_CN\"}";

class LensAlignFailure : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        ASSERT_EQ(system("vcam-standin --clear discSeek"), 0);
        ASSERT_EQ(system("vcam-devctl clear all"), 0);
        writeFile(kConf, kStored);
    }
    void TearDown() override {
        chmod("/etc", 0755);
        system("vcam-devctl clear all");
    }

    // Runs lensAlign with args and expects status and the file unchanged.
    void expectFailure(const std::vector<std::string>& args, int status, const std::string& logged) {
        std::vector<std::string> argv = {"lensAlign"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string what;
        for (auto& a : args) what += "'" + a + "' ";
        unlink("/tmp/lensAlign.out");
        camtest::start(proc_, argv, "/tmp/lensAlign.out");
        EXPECT_EQ(waitWithPeak(), status) << what << proc_.output();
        EXPECT_NE(proc_.output().find(logged), std::string::npos) << what << proc_.output();
        EXPECT_EQ(readFile(kConf), stored_) << what;
    }
    std::string log() const { return proc_.output(); }

    // Waits for the run's end: its exit status, with its peak resident
    // memory in peak_kib_.
    int waitWithPeak() {
        peak_kib_ = -1;
        if (!camtest::waitFor([&] { return camtest::childEnded(proc_.pid); }, std::chrono::seconds(60))) return -1;
        int status = 0;
        struct rusage ru {};
        if (wait4(proc_.pid, &status, 0, &ru) != proc_.pid) return -1;
        proc_.pid = -1;
        peak_kib_ = ru.ru_maxrss;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string stored_ = kStored;
    camtest::Process proc_;
    long peak_kib_ = -1;
};

TEST_F(LensAlignFailure, ArgumentsGiveTheUsageBeforeAnyLensOpens) {
    const std::vector<std::vector<std::string>> bad = {
        {"2", "1440", "1440"},
        {"2", "1440", "1440", "h", "x"},
        {},
        {"0", "1440", "1440", "h"},
        {"-2", "1440", "1440", "h"},
        {"two", "1440", "1440", "h"},
        {"2", "0", "1440", "h"},
        {"2", "1440", "-1440", "v"},
        {"2", "2147483647", "1", "v"},
        {"40000", "40000", "40000", "h"},
        {"2", "46341", "46341", "h"},
    };
    for (const auto& args : bad) {
        expectFailure(args, 1, kUsage);
        EXPECT_EQ(log().find("open video"), std::string::npos) << log();
    }
    EXPECT_FALSE(camtest::exists("/preview/test.bmp"));
}

TEST_F(LensAlignFailure, AnalysisOutputThatIsNoOffsetForTwoLenses) {
    ASSERT_EQ(system("vcam-standin discSeek 'print=no-offset'"), 0);
    expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
    EXPECT_EQ(camtest::countOf(log(), "to caculate"), 1u);
    // One lens where the sum holds two.
    ASSERT_EQ(system("vcam-standin discSeek 'print=1_170_400_400_0_0_0_1440_1440_256'"), 0);
    expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
    // The tool failing prints nothing.
    ASSERT_EQ(system("vcam-standin discSeek exit_code=1"), 0);
    expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
}

// Only finite numbers read whole are a measurement; one bad round is enough.
TEST_F(LensAlignFailure, AnalysisValuesThatAreNoFiniteWholeNumbers) {
    const std::string tail = "_0_0_0_0_0_170_0_0_0_0_0_1440_1440_256";
    for (const std::string& first : std::vector<std::string>{
             "2_nan_0_0_0_0_0_nan_0_0_0_0_0_1440_1440_256", "2_170_inf" + tail.substr(2), "2_-inf" + tail,
             "2_1x" + tail, "2_170_0_0_0_0_0_170_0_0_0_0_0_1440_1440_256x", "2_ 170" + tail, "2_170" + tail + "_7",
             "2_1e400" + tail, "2_0x" + tail, "2__0_0_0_0_0_170_0_0_0_0_0_1440_1440_256",
             "2_170_0_0_0_0_0_170_0_0_0_0_0_1440_1440_25.6", "2.0_170" + tail}) {
        const std::string good = "2_170" + tail;
        // The bad text in the first round, good ones after it.
        const std::string list = first + " " + good + " " + good + " " + good + " " + good;
        ASSERT_EQ(system(("vcam-standin discSeek 'print=" + list + "'").c_str()), 0);
        expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
        EXPECT_EQ(log().find("] param "), std::string::npos) << first << log();
    }
    // The bad text in the last round.
    ASSERT_EQ(system(("vcam-standin discSeek 'print=2_170" + tail + " 2_170" + tail + " 2_170" + tail + " 2_170" +
                      tail + " 2_nan" + tail + "'")
                         .c_str()),
              0);
    expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
    EXPECT_EQ(camtest::countOf(log(), "] param "), 4u);

    // Finite, but the sum of five overflows; or one radius so far off that
    // its distance to the mean does.
    std::string list;
    for (int k = 0; k < 5; ++k) list += "2_1e308" + tail + " ";
    ASSERT_EQ(system(("vcam-standin discSeek 'print=" + list + "'").c_str()), 0);
    expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
    list = "2_1e308" + tail + " ";
    for (int k = 0; k < 4; ++k) list += "2_170" + tail + " ";
    ASSERT_EQ(system(("vcam-standin discSeek 'print=" + list + "'").c_str()), 0);
    expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
    // An origin that is no finite number, or whose sum with the mean is not.
    for (const std::string origin :
         {"2_nan_0_0_0_0_0_0_0_0_0_0_0_2880_1440_512", "2_1.7e308_0_0_0_0_0_0_0_0_0_0_0_2880_1440_512"}) {
        list.clear();
        for (int k = 0; k < 5; ++k) list += "2_1.7e308" + tail + " ";
        ASSERT_EQ(system(("vcam-standin discSeek 'print=" + list + "'").c_str()), 0);
        stored_ = "{\"origin\": \"" + origin + "\"}";
        writeFile(kConf, stored_);
        expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
    }
}

// Lens counts beyond the lens nodes are refused before anything is made for
// them; a bitmap too large to hold, and frames larger than a lens streams,
// are refused with the arguments.
TEST_F(LensAlignFailure, LensCountAndBitmapSizeBeyondTheCamera) {
    unlink("/preview/test.bmp");
    for (const char* n : {"3", "16"}) {
        expectFailure({n, "1440", "1440", "h"}, 5, "no lens /dev/video2 for ");
        EXPECT_EQ(log().find("open video"), std::string::npos) << log();
        EXPECT_EQ(log().find("to caculate"), std::string::npos) << log();
    }
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"1000000", "1440", "1440", "h"}, {"2", "12000", "12000", "h"}}) {
        expectFailure(args, 1, kUsage);
        EXPECT_EQ(log().find("open video"), std::string::npos) << log();
    }
    EXPECT_FALSE(camtest::exists("/preview/test.bmp"));
}

// Only the frames the lenses stream (square, an edge of the resolution
// table) are taken; any other size is refused with the usage before a
// buffer is allocated, so the run stays small.
TEST_F(LensAlignFailure, FrameSizesTheLensesCannotDeliverGiveTheUsage) {
    unlink("/preview/test.bmp");
    const std::vector<std::vector<std::string>> bad = {
        {"2", "11000", "11000", "h"}, {"2", "11000", "11000", "v"}, {"2", "0", "0", "h"},
        {"2", "-1440", "-1440", "h"}, {"2", "-1", "-1", "v"},       {"2", "1441", "1441", "h"},
        {"2", "1439", "1439", "h"},   {"2", "1440", "1441", "h"},   {"2", "1440", "960", "h"},
        {"2", "2049", "2049", "h"},   {"2", "720", "720", "h"},     {"2", "4294968736", "4294968736", "h"},
    };
    for (const auto& args : bad) {
        expectFailure(args, 1, kUsage);
        EXPECT_EQ(log().find("open video"), std::string::npos) << args[1] << log();
        EXPECT_GT(peak_kib_, 0) << args[1];
        EXPECT_LT(peak_kib_, 256 * 1024) << args[1];
    }
    EXPECT_FALSE(camtest::exists("/preview/test.bmp"));
}

TEST_F(LensAlignFailure, StoredOriginThatIsNoOffsetForTwoLenses) {
    for (const std::string origin : {"2_0_0", "1_0_0_0_0_0_0_2880_1440_512", "\\\"; rm -rf /etc"}) {
        stored_ = "{\"origin\": \"" + origin + "\", \"language\": \"en_US\"}";
        writeFile(kConf, stored_);
        expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
        EXPECT_EQ(camtest::countOf(log(), "to caculate"), 5u) << "found after the five rounds";
    }
    stored_ = "{\"language\": \"en_US\"}";
    writeFile(kConf, stored_);
    expectFailure({"2", "1440", "1440", "h"}, 13, "offset err: invalid offset");
}

TEST_F(LensAlignFailure, OffsetThatCannotBeStoredIsNoSuccess) {
    ASSERT_EQ(chmod("/etc", 0555), 0);
    expectFailure({"2", "1440", "1440", "h"}, 13, "write property file err /etc/offset.conf");
    EXPECT_NE(log().find("base64 string"), std::string::npos) << "measured, then refused";
}

TEST_F(LensAlignFailure, LensFrameAndBitmapFaults) {
    // A lens that cannot read.
    ASSERT_EQ(system("vcam-devctl fault all eio -1"), 0);
    expectFailure({"2", "1440", "1440", "h"}, 5, "camera err: unable to read camera...");
    ASSERT_EQ(system("vcam-devctl clear all"), 0);

    // A lens delivering frames of another size: no bitmap is made of them.
    ASSERT_EQ(system("vcam-devctl fault 1 size 720 720 -1"), 0);
    unlink("/preview/test.bmp");
    expectFailure({"2", "1440", "1440", "h"}, 100, "lens 1 frame is 720x720, not 1440x1440");
    EXPECT_FALSE(camtest::exists("/preview/test.bmp"));
    ASSERT_EQ(system("vcam-devctl clear all"), 0);

    // The bitmap cannot be written.
    ASSERT_EQ(mkdir("/preview/test.bmp", 0755), 0);
    camtest::clearCalls();
    expectFailure({"2", "1440", "1440", "h"}, 11, "BMP Error: Cannot open file /preview/test.bmp for output.");
    rmdir("/preview/test.bmp");
    EXPECT_FALSE(camtest::called("discSeek /preview/test.bmp")) << "nothing to analyse";
}

}  // namespace

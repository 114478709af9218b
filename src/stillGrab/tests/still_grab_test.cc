#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include "common/dameon_util.h"
#include "config/config_paths.h"
#include "still_grab.h"
#include "support/camtest.h"

namespace {

using namespace stillgrab;

bool parse(std::vector<std::string> args, Photo& photo) {
    args.insert(args.begin(), "stillGrab");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return parseArguments(static_cast<int>(args.size()), argv.data(), photo);
}

// A photo of n small frames side by side, set up as the arguments would
// (no lens streams frames this small: the codec tests stay quick).
Photo smallPhoto(int n, int w, int h, const std::string& path) {
    Photo photo;
    photo.camera_num = n;
    photo.width = w;
    photo.height = h;
    photo.image_path = path;
    EXPECT_TRUE(joinedImageSize(n, w, h, false, &photo.image_width, &photo.image_height));
    return photo;
}

TEST(StillGrabArguments, LayoutAndRefusals) {
    Photo side;
    ASSERT_TRUE(parse({"2", "1440", "1440", "0", "/sdcard/a.pnop", "h"}, side));
    EXPECT_FALSE(side.stacked);
    EXPECT_EQ(side.image_width, 2880);
    EXPECT_EQ(side.image_height, 1440);

    Photo stacked;
    ASSERT_TRUE(parse({"2", "1440", "1440", "3", "/sdcard/a.pnop", "v", "100", "100", "100"}, stacked));
    EXPECT_TRUE(stacked.stacked);
    EXPECT_EQ(stacked.mode, 3);
    EXPECT_EQ(stacked.image_width, 1440);
    EXPECT_EQ(stacked.image_height, 2880);

    Photo p;
    EXPECT_FALSE(parse({"2", "1440", "1440", "0", "/sdcard/a.pnop"}, p)) << "five arguments";
    EXPECT_FALSE(parse({"0", "1440", "1440", "0", "x", "h"}, p)) << "no lens";
    EXPECT_FALSE(parse({"two", "1440", "1440", "0", "x", "h"}, p)) << "text is 0";
    EXPECT_FALSE(parse({"2", "0", "1440", "0", "x", "h"}, p));
    EXPECT_FALSE(parse({"2", "1440", "-5", "0", "x", "h"}, p));
    EXPECT_FALSE(parse({"40000", "40000", "40000", "0", "x", "h"}, p)) << "buffers would overflow";
    EXPECT_FALSE(parse({"2", "2147483647", "1", "0", "x", "v"}, p)) << "row bytes overflow";
    // only the frames the lenses stream, before anything is allocated
    EXPECT_TRUE(parse({"2", "960", "960", "0", "x", "h"}, p));
    EXPECT_TRUE(parse({"2", "2048", "2048", "0", "x", "h"}, p));
    EXPECT_FALSE(parse({"2", "11000", "11000", "0", "x", "h"}, p)) << "no lens streams it";
    EXPECT_FALSE(parse({"2", "1440", "960", "0", "x", "h"}, p)) << "not square";
    EXPECT_FALSE(parse({"2", "1441", "1441", "0", "x", "h"}, p)) << "no edge of the table";
    EXPECT_FALSE(parse({"2", "4294968736", "4294968736", "0", "x", "h"}, p)) << "past int, not 1440";
}

std::vector<unsigned char> makeJpeg(int w, int h, unsigned char seed) {
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(seed + i * 7 % 251);
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(handle, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_422, 90, 0), 0);
    std::vector<unsigned char> jpeg(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return jpeg;
}

std::vector<unsigned char> decode(const std::vector<unsigned char>& jpeg, int w, int h) {
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    tjhandle handle = tjInitDecompress();
    EXPECT_EQ(tjDecompress2(handle, jpeg.data(), jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, TJFLAG_FASTDCT), 0);
    tjDestroy(handle);
    return rgb;
}

TEST(StillGrabJoin, DecodingInPlaceGivesTheJoinedFrames) {
    const int w = 48, h = 32;
    auto a = makeJpeg(w, h, 1), b = makeJpeg(w, h, 90);
    auto ra = decode(a, w, h), rb = decode(b, w, h);
    std::vector<Frame> frames = {{a.data(), a.size()}, {b.data(), b.size()}};

    // Side by side: joined row y is row y of lens 0, then of lens 1.
    std::vector<unsigned char> side(static_cast<size_t>(2) * w * h * 3);
    ASSERT_TRUE(decodeFrames(frames, w, h, {side.data(), side.data() + w * 3}, 2 * w * 3));
    for (int y = 0; y < h; ++y) {
        ASSERT_EQ(0, memcmp(&side[static_cast<size_t>(y) * 2 * w * 3], &ra[static_cast<size_t>(y) * w * 3], w * 3));
        ASSERT_EQ(0,
                  memcmp(&side[(static_cast<size_t>(y) * 2 + 1) * w * 3], &rb[static_cast<size_t>(y) * w * 3], w * 3));
    }
    // Stacked: lens 0's frame, then lens 1's.
    std::vector<unsigned char> stacked(side.size());
    ASSERT_TRUE(decodeFrames(frames, w, h, {stacked.data(), stacked.data() + ra.size()}, w * 3));
    EXPECT_EQ(0, memcmp(stacked.data(), ra.data(), ra.size()));
    EXPECT_EQ(0, memcmp(stacked.data() + ra.size(), rb.data(), rb.size()));
}

TEST(StillGrabJoin, AFrameOfAnotherSizeOrNoJpegIsACodecError) {
    const int w = 48, h = 32;
    auto good = makeJpeg(w, h, 1), small = makeJpeg(w / 2, h, 1);
    std::vector<unsigned char> joined(static_cast<size_t>(2) * w * h * 3, 0xAB);
    std::vector<Frame> frames = {{good.data(), good.size()}, {small.data(), small.size()}};
    EXPECT_FALSE(decodeFrames(frames, w, h, {joined.data(), joined.data() + w * 3}, 2 * w * 3));
    unsigned char junk[64] = {0xFF, 0xD8, 1, 2, 3};
    frames = {{junk, sizeof junk}};
    EXPECT_FALSE(decodeFrames(frames, w, h, {joined.data()}, w * 3));
}

TEST(StillGrabEncode, JoinedImageEncodesAtItsSize) {
    Photo photo = smallPhoto(2, 16, 8, "/tmp/x.pnop");
    initBuffer(photo);
    ASSERT_EQ(photo.joined.size(), 32u * 8 * 3);
    Jpeg jpeg;
    ASSERT_EQ(encodeImage(photo, jpeg), kOk);
    tjhandle handle = tjInitDecompress();
    int w = 0, h = 0, subsamp = -1, cs = 0;
    ASSERT_EQ(tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &w, &h, &subsamp, &cs), 0);
    tjDestroy(handle);
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 8);
    EXPECT_EQ(subsamp, TJSAMP_444);
    clearBuffer(photo);
    EXPECT_EQ(photo.joined.capacity(), 0u);
}

TEST(StillGrabWrite, FailuresLeaveNoPartialFile) {
    std::vector<unsigned char> jpeg(100000, 0x55);
    ASSERT_EQ(writeImage("/sdcard/IMG_000001@3K.pnop", jpeg.data(), jpeg.size()), kOk);
    EXPECT_EQ(camtest::readFile("/sdcard/IMG_000001@3K.pnop").size(), jpeg.size());

    camtest::LogCapture log;
    EXPECT_EQ(writeImage("/sdcard/missing/IMG_000002@3K.pnop", jpeg.data(), jpeg.size()), kOutputFile);
    EXPECT_TRUE(log.contains("create jpeg file err"));

    // A card that fills up: the write fails part way.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Status full = writeImage("/tmp/full.pnop", jpeg.data(), jpeg.size());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_EQ(full, kOutputFile);
    EXPECT_FALSE(camtest::exists("/tmp/full.pnop"));
}

// Only a new file is written: whatever holds the name, a link to nowhere, a
// link to a file or a file, stays as it was, and nothing is made elsewhere.
TEST(StillGrabWrite, ANameAlreadyTakenIsNeverWrittenThrough) {
    std::vector<unsigned char> jpeg(1000, 0x55);
    unlink("/tmp/evil.jpg");
    camtest::writeFile("/tmp/target.jpg", "target");
    camtest::writeFile("/tmp/taken.pnop", "taken");
    ASSERT_EQ(symlink("/tmp/evil.jpg", "/tmp/dangling.pnop"), 0);
    ASSERT_EQ(symlink("/tmp/target.jpg", "/tmp/linked.pnop"), 0);
    for (const char* path : {"/tmp/dangling.pnop", "/tmp/linked.pnop", "/tmp/taken.pnop"})
        EXPECT_EQ(writeImage(path, jpeg.data(), jpeg.size()), kOutputFile) << path;
    EXPECT_FALSE(camtest::exists("/tmp/evil.jpg"));
    EXPECT_EQ(camtest::readFile("/tmp/target.jpg"), "target");
    EXPECT_EQ(camtest::readFile("/tmp/taken.pnop"), "taken");
    char target[64] = {};
    EXPECT_GT(readlink("/tmp/dangling.pnop", target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/tmp/evil.jpg");
    EXPECT_EQ(writeImage("/tmp/new.pnop", jpeg.data(), jpeg.size()), kOk);
    EXPECT_EQ(camtest::readFile("/tmp/new.pnop").size(), jpeg.size());
}

TEST(StillGrabModel, ModelTextReachesExiv2Literally) {
    camtest::writeFile(camera_paths::kOffsetConf, R"({"defaultOffset": 5})");
    EXPECT_EQ(queryModelText(), "");
    const std::string model = "a\"b; touch /tmp/pwned $(touch /tmp/pwned2) `id`";
    camtest::writeFile(camera_paths::kOffsetConf,
                       "{\"defaultOffset\": \"a\\\"b; touch /tmp/pwned $(touch /tmp/pwned2) `id`\"}");
    EXPECT_EQ(queryModelText(), model);

    Photo photo = smallPhoto(1, 16, 8, "/tmp/model.jpg");
    initBuffer(photo);
    Jpeg jpeg;
    ASSERT_EQ(encodeImage(photo, jpeg), kOk);
    ASSERT_EQ(writeImage("/tmp/model.jpg", jpeg.data(), jpeg.size()), kOk);
    writeModel("/tmp/model.jpg", model);
    EXPECT_FALSE(camtest::exists("/tmp/pwned"));
    EXPECT_FALSE(camtest::exists("/tmp/pwned2"));
    EXPECT_EQ(readCmdOutput("exiv2 -K Exif.Image.Model -Pv /tmp/model.jpg"), model + "\n");
}

}  // namespace

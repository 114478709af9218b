#include "bmp/bmp.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "common/process_util.h"
#include "support/camtest.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const std::string kIndent(17, ' ');

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::string s = camtest::readFile(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

bool run(const std::vector<std::string>& argv) { return pnocamera::exitedCleanly(pnocamera::runProcess(argv)); }

// RGB samples of a file as ImageMagick reads it, through a binary PPM.
struct Rgb {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> data;  // row by row from the top, r g b
    const uint8_t* at(int x, int y) const { return &data[(size_t(y) * width + x) * 3]; }
};

Rgb readWithImageMagick(const std::string& bmp) {
    Rgb out;
    const std::string ppm = bmp + ".ppm";
    camtest::removeFile(ppm);
    EXPECT_TRUE(run({"convert", bmp, "-depth", "8", "ppm:" + ppm})) << "convert failed on " << bmp;
    if (!camtest::exists(ppm)) return out;
    std::istringstream in(camtest::readFile(ppm));
    std::string magic;
    int maxval = 0;
    in >> magic >> out.width >> out.height >> maxval;
    in.get();
    EXPECT_EQ("P6", magic);
    EXPECT_EQ(255, maxval);
    out.data.resize(size_t(out.width) * out.height * 3);
    in.read(reinterpret_cast<char*>(out.data.data()), std::streamsize(out.data.size()));
    EXPECT_EQ(std::streamsize(out.data.size()), in.gcount());
    return out;
}

// Header fields as Python's struct module reads them, one "name value" per line.
std::string readWithPython(const std::string& bmp) {
    const std::string out = bmp + ".py.txt";
    const char* script = R"(import struct, sys
data = open(sys.argv[1], 'rb').read()
names = ['bfType', 'bfSize', 'bfReserved1', 'bfReserved2', 'bfOffBits', 'biSize', 'biWidth',
         'biHeight', 'biPlanes', 'biBitCount', 'biCompression', 'biSizeImage',
         'biXPelsPerMeter', 'biYPelsPerMeter', 'biClrUsed', 'biClrImportant']
values = struct.unpack('<HIHHIIiiHHIIiiII', data[:54])
with open(sys.argv[2], 'w') as f:
    for n, v in zip(names, values):
        f.write('%s %d\n' % (n, v))
    f.write('fileSize %d\n' % len(data))
)";
    EXPECT_TRUE(run({"python3", "-c", script, bmp, out}));
    return camtest::exists(out) ? camtest::readFile(out) : "";
}

RGBApixel px(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 0) { return RGBApixel{b, g, r, a}; }

bool samePixel(const RGBApixel& a, const RGBApixel& b) {
    return a.Red == b.Red && a.Green == b.Green && a.Blue == b.Blue && a.Alpha == b.Alpha;
}

// A small image with a different colour in every pixel.
BMP pattern(int w, int h) {
    BMP image;
    EXPECT_TRUE(image.SetSize(w, h));
    for (int i = 0; i < w; ++i)
        for (int j = 0; j < h; ++j)
            image(i, j) = px(uint8_t(10 + 40 * i), uint8_t(20 + 30 * j), uint8_t(5 * i + 7 * j), uint8_t(i + j));
    return image;
}

class BmpTest : public testing::Test {
protected:
    void SetUp() override { SetBMPwarningsOn(); }
    void TearDown() override { SetBMPwarningsOn(); }
};

TEST_F(BmpTest, NewImageIsOneWhitePixelAt24Bits) {
    BMP image;
    EXPECT_EQ(24, image.TellBitDepth());
    EXPECT_EQ(1, image.TellWidth());
    EXPECT_EQ(1, image.TellHeight());
    EXPECT_TRUE(samePixel(px(255, 255, 255, 0), image(0, 0)));
    ASSERT_TRUE(image.WriteToFile("/tmp/one.bmp"));
    std::vector<uint8_t> b = fileBytes("/tmp/one.bmp");
    ASSERT_EQ(58u, b.size());
    EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x00}), std::vector<uint8_t>(b.begin() + 54, b.end()));
}

TEST_F(BmpTest, TwoByTwoFileByteByByte) {
    BMP image;
    ASSERT_TRUE(image.SetBitDepth(24));
    ASSERT_TRUE(image.SetSize(2, 2));
    image(0, 0) = px(0x11, 0x12, 0x13);  // top left
    image(1, 0) = px(0x21, 0x22, 0x23);  // top right
    image(0, 1) = px(0x31, 0x32, 0x33);  // bottom left
    image(1, 1) = px(0x41, 0x42, 0x43);  // bottom right
    ASSERT_TRUE(image.WriteToFile("/tmp/two.bmp"));
    const std::vector<uint8_t> expected = {
        'B',  'M',  70,   0,    0,    0,    0, 0, 0, 0, 54, 0, 0, 0,         // file header
        40,   0,    0,    0,    2,    0,    0, 0, 2, 0, 0,  0, 1, 0, 24, 0,  // size, width, height, planes, bits
        0,    0,    0,    0,    16,   0,    0, 0,                            // compression, image size
        0xC4, 0x0E, 0,    0,    0xC4, 0x0E, 0, 0,                            // 3780 pixels per metre
        0,    0,    0,    0,    0,    0,    0, 0,                            // colours used, important
        0x33, 0x32, 0x31, 0x43, 0x42, 0x41, 0, 0,                            // bottom row first, b g r
        0x13, 0x12, 0x11, 0x23, 0x22, 0x21, 0, 0,                            // then the top row
    };
    EXPECT_EQ(expected, fileBytes("/tmp/two.bmp"));

    Rgb im = readWithImageMagick("/tmp/two.bmp");
    ASSERT_EQ(2, im.width);
    ASSERT_EQ(2, im.height);
    EXPECT_EQ(0x11, im.at(0, 0)[0]);
    EXPECT_EQ(0x13, im.at(0, 0)[2]);
    EXPECT_EQ(0x22, im.at(1, 0)[1]);
    EXPECT_EQ(0x31, im.at(0, 1)[0]);
    EXPECT_EQ(0x43, im.at(1, 1)[2]);
}

TEST_F(BmpTest, PanoramaHeader) {
    BMP image;
    ASSERT_TRUE(image.SetSize(2 * 1440, 1440));
    image(2879, 0) = px(1, 2, 3);
    image(0, 1439) = px(4, 5, 6);
    ASSERT_TRUE(image.WriteToFile("/preview/test.bmp"));
    const uint32_t row = 8640;
    std::vector<uint8_t> b = fileBytes("/preview/test.bmp");
    ASSERT_EQ(54u + row * 1440, b.size());
    EXPECT_EQ(54u + row * 1440, le32(b, 2));
    EXPECT_EQ(row * 1440, le32(b, 34));
    // The bottom row comes first: its first pixel, then the top row's last.
    EXPECT_EQ(6, b[54]);
    EXPECT_EQ(4, b[56]);
    EXPECT_EQ(3, b[54 + row * 1439 + 2879 * 3]);

    const std::string fields = readWithPython("/preview/test.bmp");
    for (const char* line : {"bfType 19778\n", "bfSize 12441654\n", "bfReserved1 0\n", "bfOffBits 54\n", "biSize 40\n",
                             "biWidth 2880\n", "biHeight 1440\n", "biPlanes 1\n", "biBitCount 24\n",
                             "biCompression 0\n", "biSizeImage 12441600\n", "biXPelsPerMeter 3780\n",
                             "biYPelsPerMeter 3780\n", "biClrUsed 0\n", "biClrImportant 0\n", "fileSize 12441654\n"})
        EXPECT_NE(std::string::npos, fields.find(line)) << line << "in\n" << fields;

    Rgb im = readWithImageMagick("/preview/test.bmp");
    ASSERT_EQ(2880, im.width);
    ASSERT_EQ(1440, im.height);
    EXPECT_EQ(1, im.at(2879, 0)[0]);
    EXPECT_EQ(6, im.at(0, 1439)[2]);
    EXPECT_EQ(255, im.at(100, 100)[1]);  // untouched pixels are white
}

TEST_F(BmpTest, RowsArePaddedToFourBytes) {
    for (int w = 1; w <= 5; ++w) {
        BMP image = pattern(w, 3);
        ASSERT_TRUE(image.WriteToFile("/tmp/pad.bmp"));
        const size_t row = (3 * size_t(w) + 3) / 4 * 4;
        std::vector<uint8_t> b = fileBytes("/tmp/pad.bmp");
        ASSERT_EQ(54 + row * 3, b.size()) << "width " << w;
        for (size_t k = 3 * w; k < row; ++k) EXPECT_EQ(0, b[54 + k]) << "padding of width " << w;

        Rgb im = readWithImageMagick("/tmp/pad.bmp");
        ASSERT_EQ(w, im.width);
        for (int i = 0; i < w; ++i)
            for (int j = 0; j < 3; ++j) {
                EXPECT_EQ(image(i, j).Red, im.at(i, j)[0]);
                EXPECT_EQ(image(i, j).Green, im.at(i, j)[1]);
                EXPECT_EQ(image(i, j).Blue, im.at(i, j)[2]);
            }
    }
}

// Larger images are written many rows and columns at a time: every file row
// must still be its image row, bottom first, and a column filled through
// column() is the same as one filled pixel by pixel.
TEST_F(BmpTest, LargeImagesWriteEveryRowInPlace) {
    for (int w : {8, 19})  // rows without and with padding
        for (int h : {64, 65, 130}) {
            BMP image = pattern(w, h);
            ASSERT_TRUE(image.WriteToFile("/tmp/large.bmp"));
            const size_t row = (3 * size_t(w) + 3) / 4 * 4;
            std::vector<uint8_t> b = fileBytes("/tmp/large.bmp");
            ASSERT_EQ(54 + row * h, b.size());
            std::vector<uint8_t> want(row, 0);
            for (int j = 0; j < h; ++j) {
                ASSERT_TRUE(image.Write24bitRow(want.data(), int(row), j));
                EXPECT_TRUE(std::equal(want.begin(), want.end(), b.begin() + 54 + row * (h - 1 - j)))
                    << "row " << j << " of " << w << " x " << h;
            }
        }
    BMP image = pattern(4, 70);
    BMP copy;
    ASSERT_TRUE(copy.SetSize(4, 70));
    for (int i = 0; i < 4; ++i) {
        RGBApixel* column = copy.column(i);
        for (int j = 0; j < 70; ++j) column[j] = image(i, j);
    }
    ASSERT_TRUE(image.WriteToFile("/tmp/a.bmp"));
    ASSERT_TRUE(copy.WriteToFile("/tmp/b.bmp"));
    EXPECT_EQ(fileBytes("/tmp/a.bmp"), fileBytes("/tmp/b.bmp"));
}

// Rows supplied in file order make the very file the pixels make, asked for
// bottom row first, padding left zero even when the filler's bytes differ.
TEST_F(BmpTest, SuppliedRowsWriteTheSameFile) {
    for (int w : {1, 8, 19})
        for (int h : {1, 64, 65, 130}) {
            BMP image = pattern(w, h);
            image.SetDPI(150, 72);
            ASSERT_TRUE(image.WriteToFile("/tmp/pixels.bmp"));
            std::vector<int> asked;
            ASSERT_TRUE(image.WriteRowsToFile("/tmp/rows.bmp", [&](int row, uint8_t* out) {
                asked.push_back(row);
                for (int x = 0; x < w; ++x, out += 3) {
                    const RGBApixel& p = image(x, row);
                    out[0] = p.Blue;
                    out[1] = p.Green;
                    out[2] = p.Red;
                }
            }));
            EXPECT_EQ(fileBytes("/tmp/pixels.bmp"), fileBytes("/tmp/rows.bmp")) << w << " x " << h;
            ASSERT_EQ(asked.size(), size_t(h));
            for (int k = 0; k < h; ++k) EXPECT_EQ(asked[k], h - 1 - k);
        }

    const auto white = [](int, uint8_t* out) { std::fill(out, out + 3, 255); };
    BMP image;
    ASSERT_TRUE(image.SetBitDepth(8));
    std::remove("/tmp/eight.bmp");
    CaptureStdout();
    EXPECT_FALSE(image.WriteRowsToFile("/tmp/eight.bmp", white));
    EXPECT_EQ(GetCapturedStdout(), "BMP Error: Rows can be supplied only at 24 bits, not at 8.\n");
    EXPECT_FALSE(camtest::exists("/tmp/eight.bmp"));

    BMP large;
    ASSERT_TRUE(large.SetSize(1000, 1000));
    CaptureStdout();
    EXPECT_FALSE(large.WriteRowsToFile("/no/such/dir/x.bmp", white));
    EXPECT_FALSE(large.WriteRowsToFile("/dev/full", white));
    const std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("BMP Error: Cannot open file /no/such/dir/x.bmp for output."), std::string::npos) << out;
    EXPECT_NE(out.find("BMP Error: Could not write file /dev/full."), std::string::npos) << out;
}

TEST_F(BmpTest, SetSizeRefusesNonPositiveSizes) {
    BMP image = pattern(3, 2);
    CaptureStdout();
    EXPECT_FALSE(image.SetSize(0, 10));
    EXPECT_EQ("BMP Warning: User attempted to set a non-positive width or height.\n" + kIndent +
                  "Size remains unchanged at 3 x 2.\n",
              GetCapturedStdout());
    CaptureStdout();
    EXPECT_FALSE(image.SetSize(10, -1));
    EXPECT_NE(std::string::npos, GetCapturedStdout().find("Size remains unchanged at 3 x 2."));
    EXPECT_EQ(3, image.TellWidth());
    EXPECT_EQ(2, image.TellHeight());
    EXPECT_EQ(50, image(1, 0).Red);  // the pixels are kept too

    SetBMPwarningsOff();
    CaptureStdout();
    EXPECT_FALSE(image.SetSize(-5, 0));
    EXPECT_FALSE(image.SetSize(1 << 16, 1 << 16));  // too large to store
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(3, image.TellWidth());
}

TEST_F(BmpTest, SetSizeMakesEveryPixelWhite) {
    BMP image = pattern(3, 3);
    ASSERT_TRUE(image.SetSize(4, 2));
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 2; ++j) EXPECT_TRUE(samePixel(px(255, 255, 255, 0), image(i, j)));
}

TEST_F(BmpTest, PixelAccessOutsideIsClamped) {
    BMP image = pattern(4, 4);
    CaptureStdout();
    RGBApixel& p = image(-1, 5);
    EXPECT_EQ("BMP Warning: Attempted to access non-existent pixel;\n" + kIndent +
                  "Truncating request to fit in the range [0,3] x [0,3].\n",
              GetCapturedStdout());
    EXPECT_EQ(&image(0, 3), &p);
    CaptureStdout();
    EXPECT_EQ(&image(3, 0), &image(4, -1));
    EXPECT_EQ(&image(3, 3), &image(100, 100));
    EXPECT_EQ(&image(2, 1), &image(2, 1));
    // One warning for each of the two accesses outside, none for the one inside.
    const std::string warning = "BMP Warning: Attempted to access non-existent pixel;\n" + kIndent +
                                "Truncating request to fit in the range [0,3] x [0,3].\n";
    EXPECT_EQ(warning + warning, GetCapturedStdout());

    SetBMPwarningsOff();
    EXPECT_FALSE(GetBMPwarningState());
    CaptureStdout();
    EXPECT_EQ(&image(0, 3), &image(-7, 9));
    EXPECT_EQ("", GetCapturedStdout());
    SetBMPwarningsOn();
    EXPECT_TRUE(GetBMPwarningState());
}

TEST_F(BmpTest, GetAndSetPixel) {
    BMP image = pattern(3, 3);
    EXPECT_TRUE(samePixel(image(2, 1), image.GetPixel(2, 1)));
    EXPECT_TRUE(image.SetPixel(2, 1, px(1, 2, 3, 4)));
    EXPECT_TRUE(samePixel(px(1, 2, 3, 4), image(2, 1)));
    CaptureStdout();
    EXPECT_FALSE(image.SetPixel(3, 0, px(9, 9, 9)));
    EXPECT_EQ(0u, GetCapturedStdout().find("BMP Warning: "));
    EXPECT_FALSE(samePixel(px(9, 9, 9), image(2, 0)));
}

TEST_F(BmpTest, SetBitDepth) {
    BMP image;
    CaptureStdout();
    EXPECT_FALSE(image.SetBitDepth(7));
    EXPECT_EQ("BMP Warning: User attempted to set unsupported bit depth 7.\n" + kIndent +
                  "Bit depth remains unchanged at 24.\n",
              GetCapturedStdout());
    EXPECT_EQ(24, image.TellBitDepth());
    struct Case {
        int depth;
        int colors;
    } cases[] = {{1, 2}, {4, 16}, {8, 256}, {16, 65536}, {24, 1 << 24}, {32, 1 << 24}};
    for (const Case& c : cases) {
        EXPECT_TRUE(image.SetBitDepth(c.depth));
        EXPECT_EQ(c.depth, image.TellBitDepth());
        EXPECT_EQ(c.colors, image.TellNumberOfColors());
    }
    CaptureStdout();
    EXPECT_FALSE(image.SetBitDepth(0));
    EXPECT_NE(std::string::npos, GetCapturedStdout().find("Bit depth remains unchanged at 32."));
}

TEST_F(BmpTest, WriteReportsOpenWriteAndCloseFailures) {
    BMP image = pattern(2, 2);
    CaptureStdout();
    EXPECT_FALSE(image.WriteToFile("/no/such/dir/x.bmp"));
    EXPECT_EQ("BMP Error: Cannot open file /no/such/dir/x.bmp for output.\n", GetCapturedStdout());

    // A full device: the small file fails when it is flushed at close, the
    // large one already while the rows are written.
    CaptureStdout();
    EXPECT_FALSE(image.WriteToFile("/dev/full"));
    EXPECT_EQ(0u, GetCapturedStdout().find("BMP Error: "));
    BMP large;
    ASSERT_TRUE(large.SetSize(400, 300));
    SetBMPwarningsOff();
    EXPECT_FALSE(large.WriteToFile("/dev/full"));
    SetBMPwarningsOn();
    EXPECT_TRUE(large.WriteToFile("/dev/null"));
}

// SetSize holds no pixels until one is asked for; the files are those of an
// image whose every pixel was set white.
TEST_F(BmpTest, UntouchedPixelsWriteAsWhiteAtEveryDepth) {
    for (int depth : {1, 4, 8, 16, 24, 32}) {
        for (auto size : {std::pair<int, int>{1, 1}, {5, 3}, {130, 70}}) {
            BMP lazy, set;
            ASSERT_TRUE(lazy.SetBitDepth(depth));
            ASSERT_TRUE(set.SetBitDepth(depth));
            ASSERT_TRUE(lazy.SetSize(size.first, size.second));
            ASSERT_TRUE(set.SetSize(size.first, size.second));
            for (int i = 0; i < size.first; ++i)
                for (int j = 0; j < size.second; ++j) set(i, j) = RGBApixel{255, 255, 255, 0};
            const BMP& view = lazy;
            EXPECT_EQ(view(size.first - 1, size.second - 1).Red, 255);
            EXPECT_EQ(lazy.GetPixel(0, 0).Blue, 255);
            ASSERT_TRUE(lazy.WriteToFile("/tmp/lazy.bmp"));
            ASSERT_TRUE(set.WriteToFile("/tmp/set.bmp"));
            EXPECT_EQ(fileBytes("/tmp/lazy.bmp"), fileBytes("/tmp/set.bmp")) << depth << " " << size.first;
            // Pixels made on first use start white; the others stay so.
            lazy(1 % size.first, 0) = RGBApixel{1, 2, 3, 0};
            set(1 % size.first, 0) = RGBApixel{1, 2, 3, 0};
            ASSERT_TRUE(lazy.WriteToFile("/tmp/lazy.bmp"));
            ASSERT_TRUE(set.WriteToFile("/tmp/set.bmp"));
            EXPECT_EQ(fileBytes("/tmp/lazy.bmp"), fileBytes("/tmp/set.bmp")) << depth << " " << size.first;
            // A new size drops them again.
            ASSERT_TRUE(lazy.SetSize(2, 2));
            EXPECT_EQ(lazy(1, 0).Green, 255);
        }
    }
}

TEST_F(BmpTest, ALinkInTheFilesPlaceIsNotFollowed) {
    camtest::writeFile("/tmp/victim", "keep");
    unlink("/tmp/link.bmp");
    ASSERT_EQ(symlink("/tmp/victim", "/tmp/link.bmp"), 0);
    BMP image = pattern(3, 2);
    CaptureStdout();
    EXPECT_FALSE(image.WriteToFile("/tmp/link.bmp"));
    EXPECT_FALSE(image.WriteRowsToFile("/tmp/link.bmp", [](int, uint8_t*) {}));
    EXPECT_EQ(GetCapturedStdout(),
              "BMP Error: Cannot open file /tmp/link.bmp for output.\n"
              "BMP Error: Cannot open file /tmp/link.bmp for output.\n");
    EXPECT_EQ(camtest::readFile("/tmp/victim"), "keep");
    unlink("/tmp/link.bmp");
    unlink("/tmp/victim");
}

TEST_F(BmpTest, DpiGoesIntoTheHeader) {
    BMP image;
    EXPECT_EQ(96, image.TellHorizontalDPI());
    EXPECT_EQ(96, image.TellVerticalDPI());
    image.SetDPI(300, 150);
    EXPECT_EQ(300, image.TellHorizontalDPI());
    EXPECT_EQ(150, image.TellVerticalDPI());
    ASSERT_TRUE(image.WriteToFile("/tmp/dpi.bmp"));
    BMIH ih = GetBMIH("/tmp/dpi.bmp");
    EXPECT_EQ(11811, ih.biXPelsPerMeter);
    EXPECT_EQ(5906, ih.biYPelsPerMeter);
}

TEST_F(BmpTest, EveryDepthRoundTrips) {
    for (int depth : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE("depth " + std::to_string(depth));
        BMP image;
        ASSERT_TRUE(image.SetBitDepth(depth));
        ASSERT_TRUE(image.SetSize(13, 5));
        for (int i = 0; i < 13; ++i)
            for (int j = 0; j < 5; ++j) {
                if (depth <= 8) {
                    image(i, j) = image.GetColor((i * 5 + j) % image.TellNumberOfColors());
                } else if (depth == 16) {
                    // Values a 5-6-5 pixel holds exactly.
                    image(i, j) = px(uint8_t(8 * i), uint8_t(4 * (i + j)), uint8_t(8 * j));
                } else {
                    image(i, j) =
                        px(uint8_t(19 * i), uint8_t(23 * j), uint8_t(i * j), uint8_t(depth == 32 ? i + 1 : 0));
                }
            }
        const std::string path = "/tmp/depth" + std::to_string(depth) + ".bmp";
        ASSERT_TRUE(image.WriteToFile(path));
        std::vector<uint8_t> b = fileBytes(path);
        const size_t row = (13 * size_t(depth) + 31) / 32 * 4;
        const size_t table = depth <= 8 ? 4u << depth : 0;
        const size_t offbits = depth == 16 ? 66 : 54 + table;
        ASSERT_EQ(offbits + row * 5, b.size());
        EXPECT_EQ(offbits, le32(b, 10));
        EXPECT_EQ(b.size(), le32(b, 2));
        EXPECT_EQ(depth, le16(b, 28));
        EXPECT_EQ(depth == 16 ? 3u : 0u, le32(b, 30));
        EXPECT_EQ(depth, GetBitmapColorDepth(path));

        BMP back;
        ASSERT_TRUE(back.ReadFromFile(path));
        EXPECT_EQ(depth, back.TellBitDepth());
        ASSERT_EQ(13, back.TellWidth());
        ASSERT_EQ(5, back.TellHeight());
        Rgb im = readWithImageMagick(path);
        ASSERT_EQ(13, im.width);
        ASSERT_EQ(5, im.height);
        for (int i = 0; i < 13; ++i)
            for (int j = 0; j < 5; ++j) {
                const RGBApixel& want = image(i, j);
                const RGBApixel& got = back(i, j);
                if (depth == 16) {
                    // Read back scaled to 0..255 from 5 and 6 bits.
                    EXPECT_EQ(((want.Red >> 3) * 255 + 15) / 31, got.Red);
                    EXPECT_EQ(((want.Green >> 2) * 255 + 31) / 63, got.Green);
                    EXPECT_EQ(((want.Blue >> 3) * 255 + 15) / 31, got.Blue);
                    EXPECT_NEAR(want.Red, im.at(i, j)[0], 8);
                    EXPECT_NEAR(want.Green, im.at(i, j)[1], 4);
                    EXPECT_NEAR(want.Blue, im.at(i, j)[2], 8);
                    continue;
                }
                EXPECT_EQ(want.Red, got.Red) << i << "," << j;
                EXPECT_EQ(want.Green, got.Green);
                EXPECT_EQ(want.Blue, got.Blue);
                if (depth == 32) {
                    EXPECT_EQ(want.Alpha, got.Alpha);
                }
                if (depth != 32) {  // ImageMagick may treat the fourth byte as alpha
                    EXPECT_EQ(want.Red, im.at(i, j)[0]) << i << "," << j;
                    EXPECT_EQ(want.Green, im.at(i, j)[1]);
                    EXPECT_EQ(want.Blue, im.at(i, j)[2]);
                }
            }
    }
}

TEST_F(BmpTest, ReadsFilesWrittenByImageMagick) {
    BMP source = pattern(7, 4);
    ASSERT_TRUE(source.WriteToFile("/tmp/src.bmp"));
    Rgb im = readWithImageMagick("/tmp/src.bmp");
    // ImageMagick's own writers (its newer header and the classic one), and
    // a flipped copy, so that a reader that ignores the row order fails.
    struct Case {
        const char* format;
        bool flipped;
    } cases[] = {{"BMP:/tmp/im.bmp", false}, {"BMP3:/tmp/im.bmp", false}, {"BMP3:/tmp/im.bmp", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + (c.flipped ? " flipped" : ""));
        std::vector<std::string> args = {"convert", "/tmp/src.bmp.ppm"};
        if (c.flipped) args.push_back("-flip");
        for (const char* a : {"-type", "TrueColor", c.format}) args.push_back(a);
        camtest::removeFile("/tmp/im.bmp");
        ASSERT_TRUE(run(args));
        const bool flipped = c.flipped;
        BMP back;
        ASSERT_TRUE(back.ReadFromFile("/tmp/im.bmp"));
        ASSERT_EQ(7, back.TellWidth());
        ASSERT_EQ(4, back.TellHeight());
        for (int i = 0; i < 7; ++i)
            for (int j = 0; j < 4; ++j) {
                int y = flipped ? 3 - j : j;
                EXPECT_EQ(im.at(i, y)[0], back(i, j).Red) << i << "," << j;
                EXPECT_EQ(im.at(i, y)[1], back(i, j).Green);
                EXPECT_EQ(im.at(i, y)[2], back(i, j).Blue);
            }
    }
}

TEST_F(BmpTest, ReadsBitFieldFilesWrittenByImageMagick) {
    BMP source = pattern(7, 4);
    ASSERT_TRUE(source.WriteToFile("/tmp/bf.bmp"));
    Rgb im = readWithImageMagick("/tmp/bf.bmp");
    // 5-6-5 and 8-8-8-8 with alpha, both with masks in a 124-byte header.
    ASSERT_TRUE(run({"convert", "/tmp/bf.bmp.ppm", "-define", "bmp:subtype=RGB565", "BMP:/tmp/bf16.bmp"}));
    ASSERT_TRUE(run({"convert", "/tmp/bf.bmp.ppm", "-alpha", "set", "-channel", "A", "-evaluate", "set", "50%",
                     "BMP:/tmp/bf32.bmp"}));
    ASSERT_EQ(16, GetBitmapColorDepth("/tmp/bf16.bmp"));
    ASSERT_EQ(3u, GetBMIH("/tmp/bf16.bmp").biCompression);
    ASSERT_EQ(124u, GetBMIH("/tmp/bf32.bmp").biSize);
    BMP b16;
    ASSERT_TRUE(b16.ReadFromFile("/tmp/bf16.bmp"));
    BMP b32;
    ASSERT_TRUE(b32.ReadFromFile("/tmp/bf32.bmp"));
    EXPECT_EQ(32, b32.TellBitDepth());
    for (int i = 0; i < 7; ++i)
        for (int j = 0; j < 4; ++j) {
            // Within one step of 5 (or 6) bits, whichever way the writer rounded.
            EXPECT_NEAR(im.at(i, j)[0], b16(i, j).Red, 255.0 / 31) << i << "," << j;
            EXPECT_NEAR(im.at(i, j)[1], b16(i, j).Green, 255.0 / 63);
            EXPECT_NEAR(im.at(i, j)[2], b16(i, j).Blue, 255.0 / 31);
            EXPECT_EQ(im.at(i, j)[0], b32(i, j).Red) << i << "," << j;
            EXPECT_EQ(im.at(i, j)[1], b32(i, j).Green);
            EXPECT_EQ(im.at(i, j)[2], b32(i, j).Blue);
            EXPECT_NEAR(128, b32(i, j).Alpha, 1);
        }
}

TEST_F(BmpTest, ReadsTopDownRows) {
    BMP source = pattern(3, 3);
    ASSERT_TRUE(source.WriteToFile("/tmp/td.bmp"));
    std::vector<uint8_t> b = fileBytes("/tmp/td.bmp");
    // Negative height: the same rows, stored from the top.
    std::vector<uint8_t> td(b.begin(), b.begin() + 54);
    int32_t h = -3;
    for (int k = 0; k < 4; ++k) td[22 + k] = uint8_t(uint32_t(h) >> (8 * k));
    for (int r = 2; r >= 0; --r) td.insert(td.end(), b.begin() + 54 + r * 12, b.begin() + 54 + (r + 1) * 12);
    camtest::writeFile("/tmp/td2.bmp", std::string(td.begin(), td.end()));
    BMP back;
    ASSERT_TRUE(back.ReadFromFile("/tmp/td2.bmp"));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const RGBApixel& p = source(i, j);
            EXPECT_TRUE(samePixel(px(p.Red, p.Green, p.Blue), back(i, j))) << i << "," << j;
        }
}

TEST_F(BmpTest, RejectsBadFilesAndKeepsTheImage) {
    BMP source = pattern(5, 5);
    ASSERT_TRUE(source.WriteToFile("/tmp/good.bmp"));
    const std::string good = camtest::readFile("/tmp/good.bmp");
    auto withField = [&](size_t at, uint32_t value, int bytes) {
        std::string s = good;
        for (int k = 0; k < bytes; ++k) s[at + k] = char((value >> (8 * k)) & 0xFF);
        return s;
    };
    struct Case {
        const char* what;
        std::string content;
    } cases[] = {
        {"truncated pixels", good.substr(0, good.size() - 5)},
        {"truncated header", good.substr(0, 30)},
        {"empty", ""},
        {"not a bitmap", "GIF89a" + good.substr(6)},
        {"huge width", withField(18, 0x7FFFFFFF, 4)},
        {"huge height", withField(22, 0x80000000, 4)},
        {"zero width", withField(18, 0, 4)},
        {"odd depth", withField(28, 12, 2)},
        {"run-length compressed", withField(30, 1, 4)},
        {"core header", withField(14, 12, 4)},
        {"huge header", withField(14, 0xFFFFFFF0u, 4)},
        {"pixels inside headers", withField(10, 20, 4)},
        {"pixels far away", withField(10, 0x7FFFFFFF, 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        camtest::writeFile("/tmp/bad.bmp", c.content);
        BMP image = pattern(2, 3);
        CaptureStdout();
        EXPECT_FALSE(image.ReadFromFile("/tmp/bad.bmp"));
        EXPECT_EQ(0u, GetCapturedStdout().find("BMP Error: "));
        EXPECT_EQ(2, image.TellWidth());
        EXPECT_EQ(3, image.TellHeight());
        EXPECT_EQ(50, image(1, 0).Red);
    }
    CaptureStdout();
    BMP image;
    EXPECT_FALSE(image.ReadFromFile("/tmp/none.bmp"));
    EXPECT_EQ("BMP Error: Cannot open file /tmp/none.bmp for input.\n", GetCapturedStdout());
}

TEST_F(BmpTest, ColourTables) {
    BMP image;
    ASSERT_TRUE(image.SetBitDepth(1));
    EXPECT_TRUE(samePixel(px(0, 0, 0), image.GetColor(0)));
    EXPECT_TRUE(samePixel(px(255, 255, 255), image.GetColor(1)));
    ASSERT_TRUE(image.SetBitDepth(4));
    EXPECT_TRUE(samePixel(px(255, 0, 0), image.GetColor(9)));
    EXPECT_TRUE(samePixel(px(192, 192, 192), image.GetColor(7)));
    EXPECT_EQ(12, image.FindClosestColor(px(10, 10, 240)));
    ASSERT_TRUE(image.SetBitDepth(8));
    EXPECT_TRUE(samePixel(px(255, 255, 255), image.GetColor(255)));
    EXPECT_EQ(0xE0, image.FindClosestColor(px(250, 3, 3)));
    ASSERT_TRUE(image.CreateGrayscaleColorTable());
    EXPECT_TRUE(samePixel(px(128, 128, 128), image.GetColor(128)));
    EXPECT_EQ(100, image.FindClosestColor(px(100, 100, 100)));
    EXPECT_TRUE(image.SetColor(3, px(1, 2, 3)));
    EXPECT_TRUE(samePixel(px(1, 2, 3), image.GetColor(3)));

    CaptureStdout();
    EXPECT_FALSE(image.SetColor(256, px(1, 2, 3)));
    EXPECT_TRUE(samePixel(px(255, 255, 255), image.GetColor(-1)));
    ASSERT_TRUE(image.SetBitDepth(24));
    EXPECT_FALSE(image.SetColor(0, px(1, 2, 3)));
    EXPECT_FALSE(image.CreateStandardColorTable());
    EXPECT_FALSE(image.CreateGrayscaleColorTable());
    std::string out = GetCapturedStdout();
    size_t warnings = 0;
    for (size_t at = out.find("BMP Warning: "); at != std::string::npos; at = out.find("BMP Warning: ", at + 1))
        ++warnings;
    EXPECT_EQ(5u, warnings) << out;
}

TEST_F(BmpTest, GreyscaleEightBitFileThroughImageMagick) {
    BMP image;
    ASSERT_TRUE(image.SetBitDepth(8));
    ASSERT_TRUE(image.CreateGrayscaleColorTable());
    ASSERT_TRUE(image.SetSize(16, 16));
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 16; ++j) image(i, j) = image.GetColor(j * 16 + i);
    ASSERT_TRUE(image.WriteToFile("/tmp/grey.bmp"));
    Rgb im = readWithImageMagick("/tmp/grey.bmp");
    ASSERT_EQ(16, im.width);
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 16; ++j) EXPECT_EQ(j * 16 + i, im.at(i, j)[1]);
}

TEST_F(BmpTest, CopiesAndCopyConstructor) {
    BMP from = pattern(4, 4);
    BMP copy(from);
    from(0, 0) = px(9, 9, 9);
    EXPECT_EQ(10, copy(0, 0).Red);  // deep copy

    BMP to;
    ASSERT_TRUE(to.SetSize(5, 5));
    PixelToPixelCopy(copy, 1, 2, to, 4, 4);
    EXPECT_TRUE(samePixel(copy(1, 2), to(4, 4)));
    const RGBApixel transparent = copy(2, 2);
    PixelToPixelCopyTransparent(copy, 2, 2, to, 0, 0, transparent);
    EXPECT_TRUE(samePixel(px(255, 255, 255), to(0, 0)));
    PixelToPixelCopyTransparent(copy, 2, 1, to, 0, 0, transparent);
    EXPECT_TRUE(samePixel(copy(2, 1), to(0, 0)));

    // Columns 1..3, rows 1..2 placed at (3, 4): only (3..4, 4) fit.
    ASSERT_TRUE(to.SetSize(5, 5));
    CaptureStdout();
    RangedPixelToPixelCopy(copy, 1, 3, 2, 1, to, 3, 4);
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_TRUE(samePixel(copy(1, 1), to(3, 4)));
    EXPECT_TRUE(samePixel(copy(2, 1), to(4, 4)));
    EXPECT_TRUE(samePixel(px(255, 255, 255), to(3, 3)));

    ASSERT_TRUE(to.SetSize(5, 5));
    RangedPixelToPixelCopyTransparent(copy, 0, 3, 3, 0, to, 0, 0, copy(1, 1));
    EXPECT_TRUE(samePixel(px(255, 255, 255), to(1, 1)));
    EXPECT_TRUE(samePixel(copy(3, 3), to(3, 3)));
    EXPECT_TRUE(samePixel(px(255, 255, 255), to(4, 4)));
}

TEST_F(BmpTest, Rescale) {
    BMP image;
    ASSERT_TRUE(image.SetSize(5, 3));
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 3; ++j) image(i, j) = px(uint8_t(50 * i), uint8_t(100 * j), 7);
    BMP half(image);
    ASSERT_TRUE(Rescale(half, 'w', 3));
    ASSERT_EQ(3, half.TellWidth());
    ASSERT_EQ(2, half.TellHeight());
    EXPECT_EQ(0, half(0, 0).Red);
    EXPECT_EQ(100, half(1, 0).Red);    // column 2 of the source
    EXPECT_EQ(200, half(2, 1).Green);  // bottom row
    EXPECT_EQ(7, half(1, 1).Blue);

    BMP big(image);
    ASSERT_TRUE(Rescale(big, 'p', 200));
    EXPECT_EQ(10, big.TellWidth());
    EXPECT_EQ(6, big.TellHeight());
    BMP fit(image);
    ASSERT_TRUE(Rescale(fit, 'f', 10));
    EXPECT_EQ(10, fit.TellWidth());
    EXPECT_EQ(6, fit.TellHeight());
    BMP tall(image);
    ASSERT_TRUE(Rescale(tall, 'h', 6));
    EXPECT_EQ(10, tall.TellWidth());

    CaptureStdout();
    EXPECT_FALSE(Rescale(image, 'x', 10));
    EXPECT_FALSE(Rescale(image, 'p', 0));
    EXPECT_EQ(0u, GetCapturedStdout().find("BMP Warning: "));
    EXPECT_EQ(5, image.TellWidth());
}

TEST_F(BmpTest, HeaderQueriesAndHelpers) {
    BMP image = pattern(6, 2);
    ASSERT_TRUE(image.WriteToFile("/tmp/info.bmp"));
    BMFH fh = GetBMFH("/tmp/info.bmp");
    EXPECT_EQ(0x4D42, fh.bfType);
    EXPECT_EQ(54u + 2 * 20, fh.bfSize);
    BMIH ih = GetBMIH("/tmp/info.bmp");
    EXPECT_EQ(6, ih.biWidth);
    EXPECT_EQ(2, ih.biHeight);
    CaptureStdout();
    DisplayBitmapInfo("/tmp/info.bmp");
    std::string shown = GetCapturedStdout();
    EXPECT_NE(std::string::npos, shown.find("bfSize: 94\n"));
    EXPECT_NE(std::string::npos, shown.find("biWidth: 6\n"));
    CaptureStdout();
    EXPECT_EQ(0, GetBMFH("/tmp/missing.bmp").bfType);
    EXPECT_EQ(0, GetBitmapColorDepth("/tmp/missing.bmp"));
    EXPECT_EQ(0u, GetCapturedStdout().find("BMP Error: "));

    BMFH swapped = fh;
    swapped.SwitchEndianess();
    EXPECT_EQ(0x424D, swapped.bfType);
    EXPECT_EQ(0x5E000000u, swapped.bfSize);
    swapped.SwitchEndianess();
    EXPECT_EQ(fh.bfSize, swapped.bfSize);
    BMIH ihs = ih;
    ihs.SwitchEndianess();
    EXPECT_EQ(0x06000000, ihs.biWidth);
    EXPECT_EQ(0x1800, ihs.biBitCount);

    EXPECT_TRUE(BMPcheckDataSize());
    EXPECT_EQ(1, IntPow(2, 0));
    EXPECT_EQ(256, IntPow(2, 8));
    EXPECT_EQ(-27, IntPow(-3, 3));
    FILE* fp = fopen("/tmp/info.bmp", "rb");
    ASSERT_NE(nullptr, fp);
    char buf[100];
    EXPECT_TRUE(SafeFread(buf, 2, 47, fp));
    EXPECT_FALSE(SafeFread(buf, 1, 1, fp));
    fclose(fp);
    EXPECT_FALSE(SafeFread(buf, 1, 1, nullptr));
}

}  // namespace

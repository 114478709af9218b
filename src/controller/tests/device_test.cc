// OLED, LED and motion-sensor access. The test binary provides its own
// ioctl so that every record the OLED functions send can be inspected.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/gsensor.h"
#include "device/led.h"
#include "device/oled.h"
#include "support/camtest.h"
#include "support/vcam_screen.h"

namespace {

struct Call {
    unsigned long request;
    unsigned long value;
    wordParam word;
    std::string text;
    matrixParam matrix;
    std::vector<uint8_t> bits;
};

std::vector<Call> g_calls;
int g_result = 0;

}  // namespace

extern "C" int ioctl(int, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    Call c{};
    c.request = request;
    c.value = arg;
    if (request == OLED_IOC_NUM) {
        c.word = *reinterpret_cast<wordParam*>(arg);
        c.text = c.word.num;
    } else if (request == OLED_IOC_MATRIX) {
        c.matrix = *reinterpret_cast<matrixParam*>(arg);
        size_t n = (size_t)c.matrix.width * c.matrix.height / 8;
        c.bits.assign(c.matrix.matrix, c.matrix.matrix + n);
    }
    g_calls.push_back(c);
    return g_result;
}

namespace {

struct Icon {
    std::string name;
    uint8_t x, y, w, h;
};

std::string table(const std::vector<Icon>& icons, uint32_t count) {
    std::string s;
    for (int i = 0; i < 4; i++) s += static_cast<char>((count >> (8 * i)) & 0xFF);
    uint8_t fill = 1;
    for (auto& ic : icons) {
        s += static_cast<char>(ic.name.size());
        s += ic.name;
        s += static_cast<char>(ic.x);
        s += static_cast<char>(ic.y);
        s += static_cast<char>(ic.w);
        s += static_cast<char>(ic.h);
        for (size_t i = 0; i < (size_t)ic.w * ic.h / 8; i++) s += static_cast<char>(fill++);
    }
    return s;
}

// 71 icons; icon 13 is the 32x8 battery gauge, icon 58 a marker.
std::vector<Icon> standardIcons() {
    std::vector<Icon> v;
    for (int i = 0; i < 71; i++) v.push_back({"icon" + std::to_string(i), 10, 8, 16, 16});
    v[13] = {"battery", 96, 0, 32, 8};
    return v;
}

class OledTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        camtest::writeFile("/dev/oled", "");
        camtest::writeFile("/tmp/icons.bin", table(standardIcons(), 71));
        ASSERT_GE(oled_open("/tmp/icons.bin"), 0);
        g_calls.clear();
        g_result = 0;
    }
    void TearDown() override {
        oled_scrollerDestroy();
        oled_close();
    }
};

TEST_F(OledTest, TextFieldsArePlacedByLength) {
    ASSERT_EQ(oled_number(0, "192.168.1.10"), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].request, OLED_IOC_NUM);
    EXPECT_EQ(g_calls[0].word.pos.x, 82 - 36);
    EXPECT_EQ(g_calls[0].word.pos.y, 0);
    EXPECT_EQ(g_calls[0].word.large, 0);
    EXPECT_EQ(g_calls[0].text, "192.168.1.10");

    g_calls.clear();
    EXPECT_EQ(oled_number(0, ""), -1);
    EXPECT_EQ(oled_number(0, "1234567890123456"), -1);
    EXPECT_TRUE(g_calls.empty());

    ASSERT_EQ(oled_logo(3), 0);
    ASSERT_EQ(oled_number(1, "12"), 0);
    EXPECT_EQ(g_calls.back().word.pos.x, 90 - 8);
    EXPECT_EQ(g_calls.back().word.pos.y, 32);
    EXPECT_EQ(g_calls.back().word.large, 1);
    ASSERT_EQ(oled_logo(58), 0);
    ASSERT_EQ(oled_number(1, "12"), 0);
    EXPECT_EQ(g_calls.back().word.pos.y, 24);
    EXPECT_EQ(g_calls.back().word.large, 2);
    // clearing an icon does not change the last icon drawn
    ASSERT_EQ(oled_clearLogo(3), 0);
    ASSERT_EQ(oled_number(1, "1"), 0);
    EXPECT_EQ(g_calls.back().word.pos.y, 24);

    ASSERT_EQ(oled_number(2, "abc"), 0);
    EXPECT_EQ(g_calls.back().word.pos.x, 90 - 9);
    EXPECT_EQ(g_calls.back().word.pos.y, 40);
    ASSERT_EQ(oled_clearNumber(5), 0);
    EXPECT_EQ(g_calls.back().word.pos.x, 86);
    EXPECT_EQ(g_calls.back().word.pos.y, 48);
    EXPECT_EQ(g_calls.back().text, "       ");
    ASSERT_EQ(oled_clearNumber(0), 0);
    EXPECT_EQ(g_calls.back().text, std::string(15, ' '));
}

TEST_F(OledTest, IconsShiftReverseAndClear) {
    ASSERT_EQ(oled_logo(5), 0);
    matrixParam plain = g_calls.back().matrix;
    EXPECT_EQ(plain.pos.y, 8);
    EXPECT_EQ(plain.reverse, 0);
    ASSERT_EQ(oled_logoShift(5, 1), 0);
    EXPECT_EQ(g_calls.back().matrix.pos.y, 24);
    ASSERT_EQ(oled_logoShift(5, 4), 0);
    EXPECT_EQ(g_calls.back().matrix.pos.y, 8);
    ASSERT_EQ(oled_logoReverse(5, 0), 0);
    EXPECT_EQ(g_calls.back().matrix.reverse, 1);
    ASSERT_EQ(oled_clearLogo(5), 0);
    for (uint8_t b : g_calls.back().bits) EXPECT_EQ(b, 0);
    EXPECT_EQ(g_calls.back().bits.size(), 32u);
}

TEST_F(OledTest, BadIconNumbersAreRefused) {
    EXPECT_EQ(oled_logo(71), -1);
    EXPECT_EQ(oled_logo(-1), -1);
    EXPECT_EQ(oled_clearLogo(1000), -1);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(OledTest, FillAndFailingDevice) {
    ASSERT_EQ(oled_fill(1), 0);
    EXPECT_EQ(g_calls.back().request, OLED_IOC_FILL);
    EXPECT_EQ(g_calls.back().value, 1u);
    g_result = -1;
    EXPECT_EQ(oled_fill(0), -1);
    EXPECT_EQ(oled_logo(1), -1);
    EXPECT_EQ(oled_number(3, "x"), -1);
}

TEST_F(OledTest, BatteryGauge) {
    EXPECT_EQ(oled_refreshBattery(101), -1);
    EXPECT_EQ(oled_refreshBattery(-1), -1);
    ASSERT_EQ(oled_refreshBattery(50), 0);
    const auto& bits = g_calls.back().bits;
    for (int i = 0; i < 12; i++) {
        EXPECT_EQ(bits[2 + i], i < 6 ? 0xE8 : 0x08) << i;
        EXPECT_EQ(bits[19 + i], i < 6 ? 0x17 : 0x10) << i;
    }
    ASSERT_EQ(oled_refreshBattery(20), 0);
    EXPECT_EQ(g_calls.back().bits[3], 0xE8);
    EXPECT_EQ(g_calls.back().bits[4], 0x08);
    ASSERT_EQ(oled_refreshBattery(4), 0);
    EXPECT_EQ(g_calls.back().bits[2], 0x08);
}

TEST_F(OledTest, ScrollBar) {
    ASSERT_EQ(oled_scrollerInit(55, 16, 4, 47), 0);
    EXPECT_EQ(oled_scrollerInit(55, 16, 4, 47), -1);
    EXPECT_EQ(oled_scrollerSet(5, 5), -1);
    g_calls.clear();
    ASSERT_EQ(oled_scrollerSet(2, 1), 0);
    ASSERT_EQ(g_calls.size(), 2u);  // frame again, then the block
    const Call& block = g_calls[1];
    // rows 39 to 62: bands 4..7
    EXPECT_EQ(block.matrix.pos.x, 55);
    EXPECT_EQ(block.matrix.pos.y, 32);
    EXPECT_EQ(block.matrix.width, 4);
    EXPECT_EQ(block.matrix.height, 32);
    // inner column of the first band: rows 39 (bit 7) lit
    EXPECT_EQ(block.bits[1] & 0x80, 0x80);
    EXPECT_EQ(block.bits[1] & 0x40, 0x00);
    // last band (rows 56-63): block rows up to 62 plus the frame's bottom
    // line at row 63; the frame's corner pixel stays dark
    EXPECT_EQ(block.bits[3 * 4 + 1], 0xFF);
    EXPECT_EQ(block.bits[3 * 4 + 0], 0x7F);
    ASSERT_EQ(oled_scrollerDestroy(), 0);
    EXPECT_EQ(oled_scrollerSet(2, 1), -1);
    EXPECT_EQ(oled_scrollerInit(100, 0, 30, 10), -1);
}

TEST(OledTable, BadFilesAreRefusedAndTheOldTableKept) {
    ASSERT_TRUE(camtest::inSandbox());
    camtest::writeFile("/dev/oled", "");
    camtest::writeFile("/tmp/good.bin", table({{"a", 0, 0, 8, 8}, {"b", 1, 2, 16, 8}}, 2));
    ASSERT_GE(oled_open("/tmp/good.bin"), 0);
    EXPECT_EQ(oled_iconCount(), 2);

    // count larger than the file can hold
    camtest::writeFile("/tmp/bad1.bin", table({{"a", 0, 0, 8, 8}}, 0x7FFFFFFF));
    EXPECT_EQ(oled_loadResource("/tmp/bad1.bin"), -1);
    // a bitmap cut short
    std::string cut = table({{"a", 0, 0, 8, 8}, {"b", 0, 0, 64, 64}}, 2);
    camtest::writeFile("/tmp/bad2.bin", cut.substr(0, cut.size() - 10));
    EXPECT_EQ(oled_loadResource("/tmp/bad2.bin"), -1);
    camtest::writeFile("/tmp/bad3.bin", "ab");
    EXPECT_EQ(oled_loadResource("/tmp/bad3.bin"), -1);
    EXPECT_EQ(oled_loadResource("/tmp/missing.bin"), -1);
    EXPECT_EQ(oled_iconCount(), 2);
    ASSERT_NE(oled_icon(1), nullptr);
    EXPECT_STREQ(oled_icon(1)->name, "b");
    EXPECT_EQ(oled_icon(1)->pos.y, 2);

    // a fresh table replaces the old one
    camtest::writeFile("/tmp/three.bin", table({{"x", 0, 0, 8, 8}, {"y", 0, 0, 8, 8}, {"z", 0, 0, 8, 8}}, 3));
    EXPECT_EQ(oled_loadResource("/tmp/three.bin"), 0);
    EXPECT_EQ(oled_iconCount(), 3);
    oled_close();
}

TEST(OledTable, OpenFailsWithoutDevice) {
    ASSERT_TRUE(camtest::inSandbox());
    ASSERT_TRUE(camtest::unplugDevice("oled"));
    unlink("/dev/oled");
    EXPECT_EQ(oled_open("/tmp/good.bin"), -1);
    EXPECT_EQ(oled_fd(), -1);
    EXPECT_TRUE(camtest::plugDevice("oled"));
}

TEST(Led, WritesOneByteEachSetting) {
    ASSERT_TRUE(camtest::inSandbox());
    camtest::writeFile("/dev/gpioLed", "");
    ASSERT_GE(led_open(), 0);
    led_set(1, 2);
    led_set(0, 0);
    led_set(0, 4);
    led_close();
    EXPECT_EQ(camtest::readFile("/dev/gpioLed"), std::string("\x22\x10\x14", 3));
}

TEST(Mpu, MissingSensor) {
    ASSERT_TRUE(camtest::inSandbox());
    ASSERT_TRUE(camtest::unplugDevice("gyrotap"));
    unlink("/dev/gyrotap");
    EXPECT_EQ(mpuOpen(), -1);
    gsensorData d{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(mpuRead(&d), -1);
    EXPECT_EQ(d.ax, 1);
    mpuClose();  // nothing open: nothing closed
    // a node whose read does not report 0 is refused, record untouched
    camtest::writeFile("/dev/gyrotap", std::string(24, '\x01'));
    ASSERT_EQ(mpuOpen(), 0);
    EXPECT_EQ(mpuRead(&d), -1);
    EXPECT_EQ(d.gz, 6);
    mpuClose();
    unlink("/dev/gyrotap");
    EXPECT_TRUE(camtest::plugDevice("gyrotap"));
}

// The sensor as the camera serves it: the sample the run sets, converted.
TEST(Mpu, ReadsTheServedSample) {
    ASSERT_TRUE(camtest::inSandbox());
    ASSERT_EQ(std::system("vcam-sensor 16384 -8192 0 -164 1640 0"), 0);
    ASSERT_EQ(mpuOpen(), 0);
    gsensorData d{};
    ASSERT_EQ(mpuRead(&d), 0);
    EXPECT_DOUBLE_EQ(d.ax, 1.0);
    EXPECT_DOUBLE_EQ(d.ay, -0.5);
    EXPECT_DOUBLE_EQ(d.az, 0.0);
    EXPECT_DOUBLE_EQ(d.gx, -10.009765625);
    EXPECT_DOUBLE_EQ(d.gy, 100.09765625);
    EXPECT_DOUBLE_EQ(d.gz, 0.0);
    // a sensor that does not acknowledge on its bus: a failed read, as a
    // missing one, the record untouched
    ASSERT_EQ(std::system("vcam-devctl ack sensor off"), 0);
    gsensorData kept{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(mpuRead(&kept), -1);
    EXPECT_EQ(kept.ax, 1);
    EXPECT_EQ(kept.gz, 6);
    ASSERT_EQ(std::system("vcam-devctl ack sensor on"), 0);
    ASSERT_EQ(mpuRead(&d), 0);
    EXPECT_DOUBLE_EQ(d.ax, 1.0);
    mpuClose();
}

}  // namespace

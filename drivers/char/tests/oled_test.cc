// oledpanel on the modelled board: start-up, set-up sequence and waits,
// fill, text and bitmap drawing, ioctl numbers, open/release, faults.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "driver_fixture.h"
#include "oledfont.h"

using namespace drvtest;

namespace {

int glyphIndex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    switch (c) {
        case '.': return 10;
        case ' ': return 11;
        case ':': return 12;
        case '/': return 13;
        case 'K': case 'k': return 14;
        case 'M': case 'm': return 15;
        case 'G': case 'g': return 16;
    }
    return -1;
}

// What the driver is expected to draw for a text: columns from x | 1 on
// (the driver's column command keeps bit 0 set), pages y / 8 and the next.
// Drawn from the driver's own tables, so it serves the broad checks only
// (where and how much is drawn); the fonts and modes themselves are pinned
// by the written bytes and pictures below.
void drawText(Picture& p, int x, int y, int large, const std::string& s) {
    const int w = large ? 8 : 6;
    const int page = y / 8;
    for (int half = 0; half < 2; half++) {
        int col = x | 1;
        for (char ch : s) {
            int idx = glyphIndex(ch);
            if (idx < 0 || (large && idx > 12)) continue;
            const unsigned char* g = large ? NUM8X16[idx] : NUM6X16[idx];
            for (int i = 0; i < w; i++) {
                uint8_t b = g[half * w + i];
                if (half && large == 1) b &= 0x7F;
                if (half && large == 2) b |= 0x80;
                putByte(p, page + half, col++, b);
            }
        }
    }
}

void drawBitmap(Picture& p, int x, int y, int w, int h, const uint8_t* m, bool reverse) {
    for (int i = 0; i < h / 8; i++)
        for (int j = 0; j < w; j++) putByte(p, y / 8 + i, (x | 1) + j, reverse ? m[i * w + j] ^ 0xFF : m[i * w + j]);
}

Picture logoPicture() {
    Picture p = blank();
    drawBitmap(p, 21, 16, 88, 48, logologo, false);
    return p;
}

class OledTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_EQ(vk_module_load("oledpanel"), 0);
        fd_ = open("/dev/oled");
        ASSERT_GE(fd_, 0);
    }
    long fill(unsigned long v) { return vk_ioctl(fd_, kOledFill, v); }
    long text(int x, int y, int large, const std::string& s) {
        auto t = userText(s);
        WordParam wp{{uint8_t(x), uint8_t(y)}, large, t->str()};
        auto rec = userRecord(wp);
        return vk_ioctl(fd_, kOledNum, rec->addr());
    }
    long bitmap(int x, int y, int w, int h, const std::vector<uint8_t>& m, int reverse = 0) {
        UserMem data(m.data(), m.size());
        MatrixParam mp{reverse, "test", {uint8_t(x), uint8_t(y)}, uint8_t(w), uint8_t(h),
                       m.empty() ? nullptr : data.data()};
        auto rec = userRecord(mp);
        return vk_ioctl(fd_, kOledMatrix, rec->addr());
    }
    int fd_ = -1;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t(seed + i * 37 + (i >> 3));
    return v;
}


// The fonts pinned byte by byte as the panel receives them: the two data
// transfers of a text (upper page, then lower page), each after the
// control byte 0x40. Written out, not computed from the driver's tables.
const std::vector<uint8_t> kNarrowUpper = {
    0xF8, 0x06, 0x86, 0x66, 0xF8, 0x00,  // '0'
    0x00, 0x18, 0xFE, 0x00, 0x00, 0x00,  // '1'
    0x18, 0x06, 0x06, 0x86, 0x78, 0x00,  // '2'
    0x06, 0x06, 0x66, 0x9E, 0x06, 0x00,  // '3'
    0x80, 0x60, 0x18, 0xFE, 0x00, 0x00,  // '4'
    0x7E, 0x66, 0x66, 0x66, 0x86, 0x00,  // '5'
    0xE0, 0x98, 0x86, 0x86, 0x00, 0x00,  // '6'
    0x06, 0x06, 0x86, 0x66, 0x1E, 0x00,  // '7'
    0x78, 0x86, 0x86, 0x86, 0x78, 0x00,  // '8'
    0x78, 0x86, 0x86, 0x86, 0xF8, 0x00,  // '9'
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // '.'
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // ' '
    0x00, 0x78, 0x78, 0x00, 0x00, 0x00,  // ':'
    0x00, 0x00, 0x80, 0x60, 0x1E, 0x00,  // '/'
    0xFE, 0x80, 0x60, 0x18, 0x06, 0x00,  // 'K'
    0xFE, 0x18, 0xE0, 0x18, 0xFE, 0x00,  // 'M'
    0xF8, 0x06, 0x86, 0x86, 0x98, 0x00,  // 'G'
};
const std::vector<uint8_t> kNarrowLower = {
    0x1F, 0x66, 0x61, 0x60, 0x1F, 0x00,  // '0'
    0x00, 0x60, 0x7F, 0x60, 0x00, 0x00,  // '1'
    0x60, 0x78, 0x66, 0x61, 0x60, 0x00,  // '2'
    0x18, 0x60, 0x60, 0x61, 0x1E, 0x00,  // '3'
    0x07, 0x06, 0x06, 0x7F, 0x06, 0x00,  // '4'
    0x18, 0x60, 0x60, 0x60, 0x1F, 0x00,  // '5'
    0x1F, 0x61, 0x61, 0x61, 0x1E, 0x00,  // '6'
    0x00, 0x7E, 0x01, 0x00, 0x00, 0x00,  // '7'
    0x1E, 0x61, 0x61, 0x61, 0x1E, 0x00,  // '8'
    0x00, 0x61, 0x61, 0x19, 0x07, 0x00,  // '9'
    0x00, 0x78, 0x78, 0x00, 0x00, 0x00,  // '.'
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // ' '
    0x00, 0x1E, 0x1E, 0x00, 0x00, 0x00,  // ':'
    0x78, 0x06, 0x01, 0x00, 0x00, 0x00,  // '/'
    0x7F, 0x01, 0x06, 0x18, 0x60, 0x00,  // 'K'
    0x7F, 0x00, 0x01, 0x00, 0x7F, 0x00,  // 'M'
    0x1F, 0x60, 0x61, 0x61, 0x7F, 0x00,  // 'G'
};
const std::vector<uint8_t> kWideUpper = {
    0xF8, 0xF8, 0x06, 0x86, 0x66, 0xF8, 0xF8, 0x00,  // '0'
    0x00, 0x00, 0x18, 0xFE, 0x00, 0x00, 0x00, 0x00,  // '1'
    0x18, 0x18, 0x06, 0x06, 0x86, 0x78, 0x78, 0x00,  // '2'
    0x06, 0x06, 0x06, 0x66, 0x9E, 0x06, 0x06, 0x00,  // '3'
    0x80, 0x80, 0x60, 0x18, 0xFE, 0x00, 0x00, 0x00,  // '4'
    0x7E, 0x7E, 0x66, 0x66, 0x66, 0x86, 0x86, 0x00,  // '5'
    0xE0, 0xE0, 0x98, 0x86, 0x86, 0x00, 0x00, 0x00,  // '6'
    0x06, 0x06, 0x06, 0x86, 0x66, 0x1E, 0x1E, 0x00,  // '7'
    0x78, 0x78, 0x86, 0x86, 0x86, 0x78, 0x78, 0x00,  // '8'
    0x78, 0x78, 0x86, 0x86, 0x86, 0xF8, 0xF8, 0x00,  // '9'
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // '.'
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // ' '
    0x00, 0x00, 0x78, 0x78, 0x00, 0x00, 0x00, 0x00,  // ':'
};
// Mode 1: the lowest pixel row (bit 7 of the lower page) dark.
const std::vector<uint8_t> kWideLower = {
    0x1F, 0x1F, 0x66, 0x61, 0x60, 0x1F, 0x1F, 0x00,  // '0'
    0x00, 0x00, 0x60, 0x7F, 0x60, 0x00, 0x00, 0x00,  // '1'
    0x60, 0x60, 0x78, 0x66, 0x61, 0x60, 0x60, 0x00,  // '2'
    0x18, 0x18, 0x60, 0x60, 0x61, 0x1E, 0x1E, 0x00,  // '3'
    0x07, 0x07, 0x06, 0x06, 0x7F, 0x06, 0x06, 0x00,  // '4'
    0x18, 0x18, 0x60, 0x60, 0x60, 0x1F, 0x1F, 0x00,  // '5'
    0x1F, 0x1F, 0x61, 0x61, 0x61, 0x1E, 0x1E, 0x00,  // '6'
    0x00, 0x00, 0x7E, 0x01, 0x00, 0x00, 0x00, 0x00,  // '7'
    0x1E, 0x1E, 0x61, 0x61, 0x61, 0x1E, 0x1E, 0x00,  // '8'
    0x00, 0x00, 0x61, 0x61, 0x19, 0x07, 0x07, 0x00,  // '9'
    0x00, 0x00, 0x78, 0x78, 0x00, 0x00, 0x00, 0x00,  // '.'
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // ' '
    0x00, 0x00, 0x1E, 0x1E, 0x00, 0x00, 0x00, 0x00,  // ':'
};
// Mode 2: "2:" with the lowest pixel row lit, an underline.
const std::vector<uint8_t> kWideUnderlinedLower = {
    0xE0, 0xE0, 0xF8, 0xE6, 0xE1, 0xE0, 0xE0, 0x80,  // '2'
    0x80, 0x80, 0x9E, 0x9E, 0x80, 0x80, 0x80, 0x80,  // ':'
};

// The bytes of every transfer since the bus log was cleared whose control
// byte is ctl (0x00 commands, 0x40 data), without the control byte.
std::vector<std::vector<uint8_t>> transfers(uint8_t ctl) {
    std::vector<std::vector<uint8_t>> out;
    for (const Txn& t : transactions(VK_BUS_OLED))
        if (!t.data.empty() && t.data[0] == ctl) out.emplace_back(t.data.begin() + 1, t.data.end());
    return out;
}

// Glyphs first..last (in the order of the literals) of a font's literal.
std::vector<uint8_t> glyphs(const std::vector<uint8_t>& font, int w, int first, int last) {
    return std::vector<uint8_t>(font.begin() + first * w, font.begin() + (last + 1) * w);
}

std::vector<uint8_t> join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
}  // namespace

// ---- start-up ----

TEST_F(BoardTest, LoadingDrawsTheLogoAndRegistersOled) {
    EXPECT_FALSE(vk_device_exists("/dev/oled"));
    ASSERT_EQ(vk_module_load("oledpanel"), 0);
    EXPECT_TRUE(vk_device_exists("/dev/oled"));
    EXPECT_TRUE(vk_panel_lit());
    Picture want = logoPicture();
    EXPECT_EQ(show(panel()), show(want));
    EXPECT_EQ(printkLog(), "oled\t\tinitialized\n");
    EXPECT_STREQ(vk_module_license("oledpanel"), "GPL");

    const char* label = nullptr;
    ASSERT_TRUE(vk_gpio_requested(49, &label));
    EXPECT_STREQ(label, "OLED_RST");
    ASSERT_TRUE(vk_gpio_requested(110, &label));
    EXPECT_STREQ(label, "SDA");
    ASSERT_TRUE(vk_gpio_requested(111, &label));
    EXPECT_STREQ(label, "SCL");
    EXPECT_TRUE(vk_gpio_is_output(49));
    EXPECT_TRUE(vk_gpio_line(49));
    // The bus rests with both lines high.
    EXPECT_TRUE(vk_gpio_line(110));
    EXPECT_TRUE(vk_gpio_line(111));
}

TEST_F(BoardTest, LogoIsDrawnBeforeTheDeviceIsRegistered) {
    // A failed registration leaves the logo on the panel: it came first.
    vk_misc_fail_register(-kEBUSY);
    EXPECT_EQ(vk_module_load("oledpanel"), -kEBUSY);
    EXPECT_FALSE(vk_module_loaded("oledpanel"));
    EXPECT_FALSE(vk_device_exists("/dev/oled"));
    EXPECT_EQ(show(panel()), show(logoPicture()));
    EXPECT_EQ(printkLog(), "oled\t\tinitialized\n");
    // The module is not kept, so it gives its pins back.
    EXPECT_FALSE(vk_gpio_requested(49, nullptr));
    EXPECT_FALSE(vk_gpio_requested(110, nullptr));
    EXPECT_FALSE(vk_gpio_requested(111, nullptr));
    vk_misc_fail_register(0);
    EXPECT_EQ(vk_module_load("oledpanel"), 0);
}

TEST_F(BoardTest, SetUpSequenceAsWritten) {
    ASSERT_EQ(vk_module_load("oledpanel"), 0);
    std::vector<uint8_t> want = {0xAE, 0x00, 0x10, 0x40, 0x81, 0xCF, 0xA1, 0xC8, 0xA6, 0xA8,
                                 0x3F, 0xD3, 0x00, 0xD5, 0x80, 0xD9, 0xF1, 0xDA, 0x12, 0xDB,
                                 0x40, 0x20, 0x02, 0x8D, 0x14, 0xA4, 0xA6, 0xAF};
    ASSERT_EQ(want.size(), 28u);
    for (int page = 0; page < 8; page++) {  // OLED_Fill(0)
        want.push_back(uint8_t(0xB0 + page));
        want.push_back(0x01);
        want.push_back(0x10);
    }
    want.insert(want.end(), {0xB0, 0x10, 0x01});  // OLED_Setxy(0, 0)
    for (int page = 2; page < 8; page++) {        // the logo at x 21
        want.push_back(uint8_t(0xB0 + page));
        want.push_back(0x11);
        want.push_back(0x05);
    }
    EXPECT_EQ(panelCommands(), want);
    EXPECT_EQ(vk_panel_data_bytes(), 8u * 128 + 6 * 88);

    // Framing: one command transfer for the set-up, then per page a
    // command transfer and a data transfer of 128 bytes.
    auto txns = transactions(VK_BUS_OLED);
    ASSERT_GE(txns.size(), 1u + 16 + 1 + 12);
    EXPECT_EQ(txns[0].addr, 0x78);
    EXPECT_TRUE(txns[0].addrAck);
    ASSERT_EQ(txns[0].data.size(), 29u);
    EXPECT_EQ(txns[0].data[0], 0x00);
    for (int page = 0; page < 8; page++) {
        const Txn& c = txns[1 + 2 * page];
        const Txn& d = txns[2 + 2 * page];
        EXPECT_EQ(c.data, (std::vector<uint8_t>{0x00, uint8_t(0xB0 + page), 0x01, 0x10}));
        ASSERT_EQ(d.data.size(), 129u);
        EXPECT_EQ(d.data[0], 0x40);
        for (size_t i = 1; i < d.data.size(); i++) EXPECT_EQ(d.data[i], 0x00);
    }
    for (const Txn& t : txns) {
        EXPECT_EQ(t.addr, 0x78);
        for (uint8_t a : t.ack) EXPECT_EQ(a, 1);
    }

    vk_panel_state st;
    vk_panel_get_state(&st);
    EXPECT_EQ(st.resets, 1);
    EXPECT_EQ(st.short_resets, 0);
    EXPECT_TRUE(st.display_on);
    EXPECT_TRUE(st.charge_pump);
    EXPECT_EQ(st.contrast, 0xCF);
    EXPECT_TRUE(st.seg_remap);
    EXPECT_TRUE(st.com_remap);
    EXPECT_EQ(st.mux, 0x3F);
    EXPECT_EQ(st.clock_div, 0x80);
    EXPECT_EQ(st.precharge, 0xF1);
    EXPECT_EQ(st.com_pins, 0x12);
    EXPECT_EQ(st.vcomh, 0x40);
    EXPECT_EQ(st.addr_mode, 2);
    EXPECT_EQ(st.unknown_cmds, 0u);
    vk_i2c_stats bs;
    vk_i2c_get_stats(VK_BUS_OLED, &bs);
    EXPECT_EQ(bs.broken_bytes, 0u);
}

// Expected waits of one command or data transfer of n bytes after the
// address: start, address and control byte, n bytes, stop.
static std::vector<unsigned long> transferWaits(size_t n) {
    std::vector<unsigned long> w = {kT4, kT4, kT4};
    for (size_t b = 0; b < n + 2; b++) {
        for (int i = 0; i < 24; i++) w.push_back(kT3);
        w.push_back(kT4);
        w.push_back(kT4);
    }
    w.push_back(kT4);
    w.push_back(kT4);
    return w;
}

TEST_F(BoardTest, DelayConstantsAsWritten) {
    ASSERT_EQ(vk_module_load("oledpanel"), 0);
    auto d = delays();
    ASSERT_FALSE(d.empty());
    // Reset pulse first, then the 28-byte set-up transfer.
    std::vector<unsigned long> want = {kT5};
    auto setup = transferWaits(28);
    want.insert(want.end(), setup.begin(), setup.end());
    ASSERT_GE(d.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(d[i].kind, VK_DELAY_UDELAY) << i;
        EXPECT_EQ(d[i].arg, want[i]) << i;
    }
    for (const vk_delay& x : d) EXPECT_EQ(x.kind, VK_DELAY_UDELAY);

    // On the virtual clock at HZ 200 the waits are 1, 2, 3, 4 and 5 us.
    uint64_t t0 = vk_clock_ns();
    vk_delays_clear();
    int fd = open("/dev/oled");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(vk_ioctl(fd, kOledFill, 0), 0);
    uint64_t ns = 0;
    for (const vk_delay& x : delays()) {
        ASSERT_TRUE(x.arg == kT3 || x.arg == kT4) << x.arg;
        ns += x.arg == kT3 ? 3000 : 4000;
    }
    EXPECT_EQ(vk_clock_ns() - t0, ns);
    // Fill: per page a 3-command transfer and a 128-byte data transfer.
    EXPECT_EQ(delays().size(), 8 * (transferWaits(3).size() + transferWaits(128).size()));
}

// ---- fill ----

TEST_F(OledTest, FillLightsAndClearsEveryPixel) {
    ASSERT_EQ(fill(1), 0);
    Picture all = blank();
    for (auto& row : all)
        for (auto& px : row) px = 1;
    EXPECT_EQ(show(panel()), show(all));
    ASSERT_EQ(fill(0), 0);
    EXPECT_EQ(show(panel()), show(blank()));
}

TEST_F(OledTest, FillWithOtherValueIsRefusedAndChangesNothing) {
    Picture before = panel();
    vk_panel_clear_log();
    vk_i2c_clear(VK_BUS_OLED);
    EXPECT_EQ(fill(2), -kEINVAL);
    EXPECT_EQ(fill(0xFF), -kEINVAL);
    EXPECT_EQ(show(panel()), show(before));
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 0u);
}

// ---- text ----

TEST_F(OledTest, NarrowTextDrawsFiveGlyphsInTwoPages) {
    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(text(10, 16, 0, "12:34"), 0);
    Picture want = blank();
    drawText(want, 10, 16, 0, "12:34");
    EXPECT_EQ(show(panel()), show(want));
    // Columns 11 .. 40 (x 10 addresses column 11), pages 2 and 3 only.
    Picture p = panel();
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 128; x++)
            if (p[y][x]) {
                EXPECT_GE(x, 11);
                EXPECT_LE(x, 40);
                EXPECT_GE(y, 16);
                EXPECT_LE(y, 31);
            }
}

TEST_F(OledTest, NarrowGlyphShapes) {
    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(text(0, 0, 0, "1"), 0);
    // The narrow '1' in columns 1-6, rows 0-15.
    const char* art[16] = {"......", "..#...", "..#...", ".##...", ".##...", "..#...",
                           "..#...", "..#...", "..#...", "..#...", "..#...", "..#...",
                           "..#...", ".###..", ".###..", "......"};
    Picture p = panel();
    for (int y = 0; y < 16; y++) {
        std::string row;
        for (int x = 1; x <= 6; x++) row += p[y][x] ? '#' : '.';
        EXPECT_EQ(row, art[y]) << "row " << y;
    }
}

TEST_F(OledTest, EachFontAndModeSendsItsWrittenBytes) {
    // Narrow font, mode 0: every glyph in index order, 6 columns each (two
    // texts: at most 15 characters go in one).
    vk_i2c_clear(VK_BUS_OLED);
    ASSERT_EQ(text(10, 16, 0, "0123456789"), 0);
    ASSERT_EQ(text(70, 16, 0, ". :/KMG"), 0);
    auto data = transfers(0x40);
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(join(data[0], data[2]), kNarrowUpper);
    EXPECT_EQ(join(data[1], data[3]), kNarrowLower);
    // Page 2 then 3, column 10 sent as 0x10, 0x0B (bit 0 of the low nibble
    // set), column 70 as 0x14, 0x07.
    auto cmds = transfers(0x00);
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0], (std::vector<uint8_t>{0xB2, 0x10, 0x0B}));
    EXPECT_EQ(cmds[1], (std::vector<uint8_t>{0xB3, 0x10, 0x0B}));
    EXPECT_EQ(cmds[2], (std::vector<uint8_t>{0xB2, 0x14, 0x07}));
    EXPECT_EQ(cmds[3], (std::vector<uint8_t>{0xB3, 0x14, 0x07}));

    // Lower-case units are the same glyphs; a character outside the set sends nothing.
    vk_i2c_clear(VK_BUS_OLED);
    ASSERT_EQ(text(0, 0, 0, "k%mg"), 0);
    data = transfers(0x40);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0], glyphs(kNarrowUpper, 6, 14, 16));
    EXPECT_EQ(data[1], glyphs(kNarrowLower, 6, 14, 16));

    // Wide font, mode 1: glyphs 0-12, 8 columns each, lowest row dark.
    vk_i2c_clear(VK_BUS_OLED);
    ASSERT_EQ(text(0, 0, 1, "0123456789. :"), 0);
    data = transfers(0x40);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0], kWideUpper);
    EXPECT_EQ(data[1], kWideLower);

    // Mode 2: the same upper page, the lower page underlined.
    vk_i2c_clear(VK_BUS_OLED);
    ASSERT_EQ(text(0, 40, 2, "2:"), 0);
    data = transfers(0x40);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0], join(glyphs(kWideUpper, 8, 2, 2), glyphs(kWideUpper, 8, 12, 12)));
    EXPECT_EQ(data[1], kWideUnderlinedLower);
    cmds = transfers(0x00);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], (std::vector<uint8_t>{0xB5, 0x10, 0x01}));
    EXPECT_EQ(cmds[1], (std::vector<uint8_t>{0xB6, 0x10, 0x01}));

    // Another non-zero mode: wide, the lower page as stored.
    vk_i2c_clear(VK_BUS_OLED);
    ASSERT_EQ(text(0, 0, 7, "2:"), 0);
    data = transfers(0x40);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1], join(glyphs(kWideLower, 8, 2, 2), glyphs(kWideLower, 8, 12, 12)));
}

TEST_F(OledTest, WideGlyphPictureWithAndWithoutUnderline) {
    // The wide '2' in columns 1-8, rows 0-15, as the panel shows it.
    const char* art[16] = {"........", "..###...", "..###...", "##...##.", "##...##.", ".....##.",
                           ".....##.", "....#...", "....#...", "...#....", "...#....", "..#.....",
                           "..#.....", "#######.", "#######.", "........"};
    for (int mode : {1, 2}) {
        ASSERT_EQ(fill(0), 0);
        ASSERT_EQ(text(0, 0, mode, "2"), 0);
        Picture p = panel();
        for (int y = 0; y < 16; y++) {
            std::string row;
            for (int x = 1; x <= 8; x++) row += p[y][x] ? '#' : '.';
            EXPECT_EQ(row, y == 15 && mode == 2 ? "########" : art[y]) << "mode " << mode << " row " << y;
        }
        for (int y = 0; y < 16; y++) EXPECT_FALSE(p[y][0] || p[y][9]) << "mode " << mode << " row " << y;
    }
}

TEST_F(OledTest, CharacterOutsideTheSetIsSkipped) {
    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(text(30, 8, 0, "1%2"), 0);
    Picture want = blank();
    drawText(want, 30, 8, 0, "12");
    EXPECT_EQ(show(panel()), show(want));
}

TEST_F(OledTest, NarrowFontHasSlashAndUnits) {
    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(text(0, 0, 0, "1/kMg"), 0);
    Picture want = blank();
    drawText(want, 0, 0, 0, "1/KMG");
    EXPECT_EQ(show(panel()), show(want));
    // Five glyphs: 30 columns in use, from column 1.
    Picture p = panel();
    int last = 0;
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 128; x++)
            if (p[y][x]) last = std::max(last, x);
    EXPECT_GE(last, 25);
    EXPECT_LE(last, 30);
}

TEST_F(OledTest, UnderlineModeLightsTheBottomRowAndModeOneDoesNot) {
    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(text(40, 32, 2, "12"), 0);
    Picture p = panel();
    for (int x = 41; x < 41 + 16; x++) EXPECT_TRUE(p[47][x]) << x;
    Picture want = blank();
    drawText(want, 40, 32, 2, "12");
    EXPECT_EQ(show(p), show(want));

    ASSERT_EQ(text(40, 32, 1, "12"), 0);
    p = panel();
    for (int x = 41; x < 41 + 16; x++) EXPECT_FALSE(p[47][x]) << x;
    want = blank();
    drawText(want, 40, 32, 1, "12");
    EXPECT_EQ(show(p), show(want));
    // The fonts themselves keep the lowest row dark.
    for (int g = 0; g < 13; g++)
        for (int i = 8; i < 16; i++) EXPECT_EQ(NUM8X16[g][i] & 0x80, 0) << g;
}

TEST_F(OledTest, WideFontSkipsCharactersItHasNoGlyphFor) {
    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(text(0, 0, 1, "1/K2MG"), 0);
    Picture want = blank();
    drawText(want, 0, 0, 1, "12");
    EXPECT_EQ(show(panel()), show(want));
    // Exactly two wide glyphs went out per page.
    ASSERT_EQ(text(0, 0, 1, "/KMG"), 0);
    auto txns = transactions(VK_BUS_OLED);
    ASSERT_GE(txns.size(), 4u);
    EXPECT_EQ(txns[txns.size() - 1].data, std::vector<uint8_t>{0x40});
    EXPECT_EQ(txns[txns.size() - 3].data, std::vector<uint8_t>{0x40});
}

TEST_F(OledTest, OtherNonZeroModeIsWideAsStored) {
    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(text(0, 0, 7, "08"), 0);
    Picture want = blank();
    drawText(want, 0, 0, 7, "08");
    EXPECT_EQ(show(panel()), show(want));
}

TEST_F(OledTest, TextLengthIsBounded) {
    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(text(0, 0, 0, "123456789012345"), 0);  // 15: the longest
    Picture want = blank();
    drawText(want, 0, 0, 0, "123456789012345");
    EXPECT_EQ(show(panel()), show(want));

    ASSERT_EQ(fill(0), 0);
    vk_i2c_clear(VK_BUS_OLED);
    EXPECT_EQ(text(0, 0, 0, "1234567890123456"), -kEINVAL);  // 16
    EXPECT_EQ(show(panel()), show(blank()));
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 0u);
}

TEST_F(OledTest, TextCopyFaults) {
    ASSERT_EQ(fill(0), 0);
    vk_i2c_clear(VK_BUS_OLED);
    // Record not in user memory.
    WordParam wp{{0, 0}, 0, nullptr};
    EXPECT_EQ(vk_ioctl(fd_, kOledNum, reinterpret_cast<unsigned long>(&wp)), -kEFAULT);
    // Text pointer not in user memory.
    static const char kernelText[] = "12";
    wp.num = kernelText;
    auto rec = userRecord(wp);
    EXPECT_EQ(vk_ioctl(fd_, kOledNum, rec->addr()), -kEFAULT);
    // Text without its NUL at the end of user memory.
    UserMem unterminated("123", 3);
    WordParam wp2{{0, 0}, 0, unterminated.str()};
    auto rec2 = userRecord(wp2);
    EXPECT_EQ(vk_ioctl(fd_, kOledNum, rec2->addr()), -kEFAULT);
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 0u);
    EXPECT_EQ(show(panel()), show(blank()));
}

TEST_F(OledTest, EmptyTextStillAddressesBothPages) {
    vk_panel_clear_log();
    ASSERT_EQ(text(5, 24, 0, ""), 0);
    EXPECT_EQ(panelCommands(), (std::vector<uint8_t>{0xB3, 0x10, 0x05, 0xB4, 0x10, 0x05}));
    EXPECT_EQ(vk_panel_data_bytes(), 0u);
}

TEST_F(OledTest, TextPastTheLastPageWrapsToTheTop) {
    ASSERT_EQ(fill(0), 0);
    vk_panel_clear_log();
    ASSERT_EQ(text(0, 56, 0, "5"), 0);
    auto cmds = panelCommands();
    ASSERT_EQ(cmds.size(), 6u);
    EXPECT_EQ(cmds[0], 0xB7);
    EXPECT_EQ(cmds[3], 0xB0);
    Picture want = blank();
    drawText(want, 0, 56, 0, "5");
    EXPECT_EQ(show(panel()), show(want));
}

// ---- bitmap ----

TEST_F(OledTest, BitmapIsDrawnPageByPage) {
    ASSERT_EQ(fill(0), 0);
    auto m = pattern(20 * 3);
    ASSERT_EQ(bitmap(7, 8, 20, 24, m), 0);
    Picture want = blank();
    drawBitmap(want, 7, 8, 20, 24, m.data(), false);
    EXPECT_EQ(show(panel()), show(want));

    ASSERT_EQ(fill(0), 0);
    ASSERT_EQ(bitmap(7, 8, 20, 24, m, 1), 0);
    want = blank();
    drawBitmap(want, 7, 8, 20, 24, m.data(), true);
    EXPECT_EQ(show(panel()), show(want));
}

TEST_F(OledTest, BitmapRightEdge) {
    ASSERT_EQ(fill(0), 0);
    vk_printk_clear();
    vk_i2c_clear(VK_BUS_OLED);
    auto m = pattern(28);
    EXPECT_EQ(bitmap(100, 0, 28, 8, m), 0);  // 100 + 28 = 128
    EXPECT_EQ(printkLog(), "oled\twarning: position out of bound\n");
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 0u);
    EXPECT_EQ(show(panel()), show(blank()));

    vk_printk_clear();
    auto m27 = pattern(27);
    EXPECT_EQ(bitmap(100, 0, 27, 8, m27), 0);  // 127: the largest accepted
    EXPECT_EQ(printkLog(), "");
    Picture want = blank();
    drawBitmap(want, 100, 0, 27, 8, m27.data(), false);
    EXPECT_EQ(show(panel()), show(want));
}

TEST_F(OledTest, BitmapHeightRoundsDownToPages) {
    ASSERT_EQ(fill(0), 0);
    auto m = pattern(10);
    ASSERT_EQ(bitmap(0, 0, 10, 12, m), 0);  // 12 rows: one page
    Picture want = blank();
    drawBitmap(want, 0, 0, 10, 8, m.data(), false);
    EXPECT_EQ(show(panel()), show(want));
}

TEST_F(OledTest, ZeroWidthBitmapStillAddressesEachPage) {
    ASSERT_EQ(fill(0), 0);
    vk_panel_clear_log();
    ASSERT_EQ(bitmap(9, 16, 0, 24, {}), 0);
    EXPECT_EQ(panelCommands(),
              (std::vector<uint8_t>{0xB2, 0x10, 0x09, 0xB3, 0x10, 0x09, 0xB4, 0x10, 0x09}));
    EXPECT_EQ(vk_panel_data_bytes(), 0u);
    EXPECT_EQ(show(panel()), show(blank()));
}

TEST_F(OledTest, FullHeightBitmapIsAccepted) {
    ASSERT_EQ(fill(0), 0);
    auto m = pattern(127 * 8);
    ASSERT_EQ(bitmap(0, 0, 127, 64, m), 0);
    Picture want = blank();
    drawBitmap(want, 0, 0, 127, 64, m.data(), false);
    EXPECT_EQ(show(panel()), show(want));
}

TEST_F(OledTest, BitmapLargerThanThePanelIsRefused) {
    ASSERT_EQ(fill(0), 0);
    vk_i2c_clear(VK_BUS_OLED);
    auto m = pattern(10 * 9);
    EXPECT_EQ(bitmap(0, 0, 10, 72, m), -kEINVAL);  // nine pages
    auto big = pattern(100 * 31);
    EXPECT_EQ(bitmap(0, 0, 100, 255, big), -kEINVAL);
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 0u);
    EXPECT_EQ(show(panel()), show(blank()));
}

TEST_F(OledTest, BitmapPastTheLastPageWrapsWithoutOtherCommands) {
    ASSERT_EQ(fill(0), 0);
    vk_panel_clear_log();
    auto m = pattern(16 * 4);
    ASSERT_EQ(bitmap(3, 48, 16, 32, m), 0);  // pages 6, 7, 8, 9
    Picture want = blank();
    drawBitmap(want, 3, 48, 16, 32, m.data(), false);
    EXPECT_EQ(show(panel()), show(want));
    auto cmds = panelCommands();
    ASSERT_EQ(cmds.size(), 12u);
    EXPECT_EQ(cmds[0], 0xB6);
    EXPECT_EQ(cmds[3], 0xB7);
    EXPECT_EQ(cmds[6], 0xB0);
    EXPECT_EQ(cmds[9], 0xB1);

    // Page 16 and on (y 128 and more) must not turn into 0xC0: the
    // display keeps its orientation.
    ASSERT_EQ(fill(0), 0);
    vk_panel_clear_log();
    auto m2 = pattern(8);
    ASSERT_EQ(bitmap(0, 128, 8, 8, m2), 0);
    EXPECT_EQ(panelCommands(), (std::vector<uint8_t>{0xB0, 0x10, 0x01}));
    vk_panel_state st;
    vk_panel_get_state(&st);
    EXPECT_TRUE(st.com_remap);
    EXPECT_EQ(st.unknown_cmds, 0u);
    want = blank();
    drawBitmap(want, 0, 0, 8, 8, m2.data(), false);
    EXPECT_EQ(show(panel()), show(want));
}

TEST_F(OledTest, BitmapCopyFaults) {
    ASSERT_EQ(fill(0), 0);
    vk_i2c_clear(VK_BUS_OLED);
    MatrixParam mp{0, "x", {0, 0}, 10, 16, nullptr};
    EXPECT_EQ(vk_ioctl(fd_, kOledMatrix, reinterpret_cast<unsigned long>(&mp)), -kEFAULT);
    auto rec = userRecord(mp);  // bitmap pointer NULL
    EXPECT_EQ(vk_ioctl(fd_, kOledMatrix, rec->addr()), -kEFAULT);
    UserMem shortData(19);  // one byte short of 2 pages x 10
    mp.matrix = shortData.data();
    auto rec2 = userRecord(mp);
    EXPECT_EQ(vk_ioctl(fd_, kOledMatrix, rec2->addr()), -kEFAULT);
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 0u);
    EXPECT_EQ(show(panel()), show(blank()));
}

// ---- ioctl numbers, open and release ----

TEST_F(OledTest, IoctlNumbersAndTypes) {
    Picture before = panel();
    vk_i2c_clear(VK_BUS_OLED);
    EXPECT_EQ(vk_ioctl(fd_, 0x40014F0B, 1), -kENOTTY);  // number 11
    EXPECT_EQ(vk_ioctl(fd_, 0x40015000, 1), -kENOTTY);  // type 'P'
    EXPECT_EQ(vk_ioctl(fd_, 0x40044F05, 0), 0);         // unknown, up to 10
    EXPECT_EQ(vk_ioctl(fd_, 0x40044F0A, 0), 0);
    EXPECT_EQ(vk_ioctl(fd_, 0x40084F01, 0), 0);         // number 1, other size
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 0u);
    EXPECT_EQ(show(panel()), show(before));
}

TEST_F(OledTest, OpenTwiceAndCloseMoreOftenThanOpened) {
    vk_printk_clear();
    int fd2 = vk_open("/dev/oled");
    ASSERT_GE(fd2, 0);
    EXPECT_EQ(printkLog(), "oled\tOLED already open\n");
    EXPECT_EQ(vk_release(fd2), 0);
    EXPECT_EQ(vk_release(fd_), 0);
    close(fd_);
    vk_printk_clear();
    EXPECT_EQ(vk_release_unmatched("/dev/oled"), -1);
    EXPECT_EQ(printkLog(), "oled\tOLED not opened\n");
}

TEST_F(OledTest, UnloadGivesThePinsBack) {
    EXPECT_EQ(vk_module_unload("oledpanel"), -kEBUSY);  // still open
    ASSERT_EQ(vk_release(fd_), 0);
    close(fd_);
    vk_printk_clear();
    ASSERT_EQ(vk_module_unload("oledpanel"), 0);
    EXPECT_EQ(printkLog(), "oled\t\tderegistered\n");
    EXPECT_FALSE(vk_device_exists("/dev/oled"));
    for (unsigned pin : {49u, 110u, 111u}) EXPECT_FALSE(vk_gpio_requested(pin, nullptr)) << pin;
    EXPECT_EQ(vk_warnings(), 0);
    // And it loads again.
    EXPECT_EQ(vk_module_load("oledpanel"), 0);
}

// ---- missed acknowledges ----

TEST_F(OledTest, MissedAcknowledgeIsReportedByTextAndBitmap) {
    vk_i2c_clear(VK_BUS_OLED);
    vk_panel_set_acking(0);
    EXPECT_EQ(text(0, 0, 0, "12"), -kEIO);
    EXPECT_EQ(bitmap(0, 0, 4, 8, pattern(4)), -kEIO);
    EXPECT_EQ(fill(1), 0);  // the fill reports no bus errors
    // The transfers went on: every address byte was clocked and refused.
    auto txns = transactions(VK_BUS_OLED);
    ASSERT_FALSE(txns.empty());
    for (const Txn& t : txns) EXPECT_FALSE(t.addrAck);

    vk_panel_set_acking(1);
    EXPECT_EQ(text(0, 0, 0, "12"), 0);
    EXPECT_EQ(bitmap(0, 0, 4, 8, pattern(4)), 0);
}

TEST_F(OledTest, PanelMissingAtLoadStillRegisters) {
    ASSERT_EQ(vk_release(fd_), 0);
    close(fd_);
    ASSERT_EQ(vk_module_unload("oledpanel"), 0);
    vk_panel_set_acking(0);
    EXPECT_EQ(vk_module_load("oledpanel"), 0);
    EXPECT_TRUE(vk_device_exists("/dev/oled"));
}

// ---- pin requests at load ----

TEST_F(BoardTest, ResetPinRequestFailureFailsTheLoad) {
    vk_gpio_fail_request(49, -kEBUSY);
    EXPECT_EQ(vk_module_load("oledpanel"), -kEBUSY);
    EXPECT_EQ(printkLog(), "oled\trequest GPIO 49 for OLED_RST failed, ret = -16\n");
    EXPECT_FALSE(vk_device_exists("/dev/oled"));
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 0u);
    for (unsigned pin : {49u, 110u, 111u}) EXPECT_FALSE(vk_gpio_requested(pin, nullptr)) << pin;
}

TEST_F(BoardTest, BusPinRequestFailuresAreLoggedAndLoadingGoesOn) {
    vk_gpio_fail_request(110, -kEBUSY);
    EXPECT_EQ(vk_module_load("oledpanel"), 0);
    EXPECT_EQ(printkLog(), "IIC: request GPIO SDA_PIN for SDA failed, ret = -16\noled\t\tinitialized\n");
    EXPECT_FALSE(vk_gpio_requested(111, nullptr));  // nothing more requested
    EXPECT_TRUE(vk_device_exists("/dev/oled"));
    ASSERT_EQ(vk_module_unload("oledpanel"), 0);
    vk_gpio_fail_request(110, 0);

    vk_printk_clear();
    vk_gpio_fail_request(111, -kEBUSY);
    EXPECT_EQ(vk_module_load("oledpanel"), 0);
    EXPECT_EQ(printkLog(), "IIC: request GPIO SCL_PIN for SCL failed, ret = -16\noled\t\tinitialized\n");
    EXPECT_TRUE(vk_gpio_requested(110, nullptr));
    EXPECT_FALSE(vk_gpio_requested(111, nullptr));
    vk_gpio_fail_request(111, 0);
}

// ---- two openers at once ----

TEST_F(OledTest, ConcurrentDrawersNeverInterleaveOnTheBus) {
    ASSERT_EQ(fill(0), 0);
    vk_i2c_clear(VK_BUS_OLED);
    vk_set_delay_yield(1);
    int fd2 = open("/dev/oled");
    ASSERT_GE(fd2, 0);
    auto m = pattern(40 * 2, 9);
    std::atomic<int> bad{0};
    auto textLoop = [&] {
        auto t = userText("12:34");
        WordParam wp{{0, 0}, 0, t->str()};
        auto rec = userRecord(wp);
        for (int i = 0; i < 20; i++)
            if (vk_ioctl(fd_, kOledNum, rec->addr()) != 0) bad++;
    };
    auto bitmapLoop = [&] {
        UserMem data(m.data(), m.size());
        MatrixParam mp{0, "b", {60, 40}, 40, 16, data.data()};
        auto rec = userRecord(mp);
        for (int i = 0; i < 20; i++)
            if (vk_ioctl(fd2, kOledMatrix, rec->addr()) != 0) bad++;
    };
    std::thread a(textLoop), b(bitmapLoop);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    vk_i2c_stats st;
    vk_i2c_get_stats(VK_BUS_OLED, &st);
    EXPECT_EQ(st.broken_bytes, 0u);
    EXPECT_EQ(st.stray_bits, 0u);
    for (const Txn& t : transactions(VK_BUS_OLED)) {
        EXPECT_TRUE(t.addrAck);
        for (uint8_t a : t.ack) ASSERT_EQ(a, 1);
    }
    Picture want = blank();
    drawText(want, 0, 0, 0, "12:34");
    drawBitmap(want, 60, 40, 40, 16, m.data(), false);
    EXPECT_EQ(show(panel()), show(want));
}

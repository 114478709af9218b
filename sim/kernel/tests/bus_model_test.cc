// The modelled board's wires: open-drain pins, the edge-driven bus decoder,
// the panel controller, the motion sensor and the panel's PNG picture.
#include <png.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kcalls.h"
#include "vkernel.h"

namespace {

constexpr unsigned kOut = 1, kIn = 0;

// A bus master bit-banging two pins, as a driver would.
class Master {
public:
    Master(unsigned scl, unsigned sda) : scl_(scl), sda_(sda) {
        gpio_set_value(scl_, 1);
        gpio_set_value(sda_, 1);
        s3c_gpio_cfgpin(scl_, kOut);
        s3c_gpio_cfgpin(sda_, kOut);
    }
    void scl(int v) { gpio_set_value(scl_, v); }
    void sda(int v) {
        gpio_set_value(sda_, v);
        s3c_gpio_cfgpin(sda_, kOut);
    }
    void release() { s3c_gpio_cfgpin(sda_, kIn); }
    int line() { return gpio_get_value(sda_); }
    void start() {
        sda(1);
        scl(1);
        sda(0);
        scl(0);
    }
    void stop() {
        sda(0);
        scl(1);
        sda(1);
    }
    bool write(uint8_t b) {
        for (int i = 7; i >= 0; i--) {
            sda((b >> i) & 1);
            scl(1);
            scl(0);
        }
        release();
        scl(1);
        bool ack = !line();
        scl(0);
        return ack;
    }
    uint8_t read(bool ack) {
        uint8_t v = 0;
        release();
        for (int i = 0; i < 8; i++) {
            scl(1);
            v = uint8_t((v << 1) | line());
            scl(0);
        }
        sda(ack ? 0 : 1);
        scl(1);
        scl(0);
        release();
        return v;
    }
    bool send(std::initializer_list<uint8_t> bytes) {
        bool all = true;
        start();
        for (uint8_t b : bytes) all = write(b) && all;
        stop();
        return all;
    }

private:
    unsigned scl_, sda_;
};

class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        vk_board_halt();
        ASSERT_EQ(vk_reset(), 0);
    }
    // The panel as the driver leaves it: display on, charge pump on,
    // remapped segments and COM scan, page addressing.
    void panelOn(Master& m) {
        ASSERT_TRUE(m.send({0x78, 0x00, 0x8D, 0x14, 0xA1, 0xC8, 0xAF}));
        vk_panel_clear_log();
    }
    void panelFill(Master& m, uint8_t v) {
        for (int p = 0; p < 8; p++) {
            ASSERT_TRUE(m.send({0x78, 0x00, uint8_t(0xB0 + p), 0x00, 0x10}));
            m.start();
            m.write(0x78);
            m.write(0x40);
            for (int c = 0; c < 128; c++) m.write(v);
            m.stop();
        }
    }
    static std::vector<uint8_t> commands() {
        std::vector<uint8_t> v(vk_panel_commands(nullptr, 0));
        vk_panel_commands(v.data(), v.size());
        return v;
    }
    static uint8_t ram(int page, int col) {
        uint8_t r[8][VK_PANEL_WIDTH];
        vk_panel_ram(r);
        return r[page][col];
    }
};

// ---- pins ----

TEST_F(BusTest, OpenDrainWireWithPullUp) {
    EXPECT_EQ(vk_gpio_line(110), 1);  // nobody drives: pulled up
    gpio_set_value(110, 0);
    EXPECT_EQ(vk_gpio_line(110), 1);  // an input does not drive
    s3c_gpio_cfgpin(110, kOut);
    EXPECT_EQ(vk_gpio_line(110), 0);
    gpio_set_value(110, 1);
    EXPECT_EQ(vk_gpio_line(110), 1);

    // The panel's acknowledge pulls SDA low although the CPU drives high.
    Master m(111, 110);
    m.start();
    for (int i = 7; i >= 0; i--) {
        m.sda((0x78 >> i) & 1);
        m.scl(1);
        m.scl(0);
    }
    m.sda(1);
    EXPECT_EQ(m.line(), 0);
    m.scl(1);
    m.scl(0);
    EXPECT_EQ(m.line(), 1);  // let go after the ninth clock
    m.stop();
}

TEST_F(BusTest, PinRequests) {
    EXPECT_EQ(gpio_request(110, "SDA"), 0);
    EXPECT_EQ(gpio_request(110, "again"), -16);
    const char* label = nullptr;
    ASSERT_TRUE(vk_gpio_requested(110, &label));
    EXPECT_STREQ(label, "SDA");
    gpio_free(110);
    EXPECT_FALSE(vk_gpio_requested(110, nullptr));
    vk_gpio_fail_request(7, -5);
    EXPECT_EQ(gpio_request(7, "x"), -5);
    vk_gpio_fail_request(7, 0);
    EXPECT_EQ(gpio_request(7, "x"), 0);
    gpio_free(7);
    EXPECT_EQ(s3c_gpio_cfgpin(7, 9), -22);
}

// ---- decoder ----

TEST_F(BusTest, DecoderFramesTransactionsAndAcknowledges) {
    Master m(111, 110);
    vk_i2c_clear(VK_BUS_OLED);
    EXPECT_TRUE(m.send({0x78, 0x00, 0xA5}));
    EXPECT_FALSE(m.send({0x7A, 0x00}));  // nobody at 0x3D
    vk_i2c_stats st;
    vk_i2c_get_stats(VK_BUS_OLED, &st);
    EXPECT_EQ(st.starts, 2u);
    EXPECT_EQ(st.stops, 2u);
    EXPECT_EQ(st.broken_bytes, 0u);
    ASSERT_EQ(vk_i2c_txn_count(VK_BUS_OLED), 2u);
    vk_i2c_txn t;
    ASSERT_EQ(vk_i2c_txn_get(VK_BUS_OLED, 0, &t), 0);
    EXPECT_EQ(t.addr, 0x78);
    EXPECT_TRUE(t.addr_ack);
    ASSERT_EQ(t.len, 2u);
    EXPECT_EQ(t.data[0], 0x00);
    EXPECT_EQ(t.data[1], 0xA5);
    ASSERT_EQ(vk_i2c_txn_get(VK_BUS_OLED, 1, &t), 0);
    EXPECT_EQ(t.addr, 0x7A);
    EXPECT_FALSE(t.addr_ack);
    EXPECT_EQ(t.len, 0u);  // bytes after a refused address go nowhere
    EXPECT_EQ(vk_i2c_txn_get(VK_BUS_OLED, 2, &t), -2);
    // Only the addressed panel took the command.
    EXPECT_EQ(commands(), std::vector<uint8_t>{0xA5});
}

TEST_F(BusTest, BitsAreTakenOnTheRisingEdge) {
    Master m(111, 110);
    m.start();
    // Each bit: set the opposite level, rise, then flip SDA while SCL is
    // low again: only the level at the rise counts.
    for (int i = 7; i >= 0; i--) {
        int bit = (0x78 >> i) & 1;
        m.sda(!bit);
        m.sda(bit);
        m.scl(1);
        m.scl(0);
        m.sda(!bit);
    }
    m.release();
    m.scl(1);
    EXPECT_EQ(m.line(), 0);  // acknowledged: the address was read right
    m.scl(0);
    m.stop();
}

TEST_F(BusTest, StartOrStopMidByteIsCounted) {
    Master m(111, 110);
    vk_i2c_clear(VK_BUS_OLED);
    m.start();
    m.write(0x78);
    for (int i = 0; i < 3; i++) {
        m.sda(1);
        m.scl(1);
        m.scl(0);
    }
    m.stop();
    vk_i2c_stats st;
    vk_i2c_get_stats(VK_BUS_OLED, &st);
    EXPECT_EQ(st.broken_bytes, 1u);
    // Clocks with no transaction open are stray.
    m.scl(0);
    m.scl(1);
    m.scl(0);
    vk_i2c_get_stats(VK_BUS_OLED, &st);
    EXPECT_GE(st.stray_bits, 1u);
}

// ---- panel ----

TEST_F(BusTest, PanelStartsDarkWithNoiseInItsRam) {
    EXPECT_FALSE(vk_panel_lit());
    vk_panel_state st;
    vk_panel_get_state(&st);
    EXPECT_FALSE(st.display_on);
    EXPECT_FALSE(st.charge_pump);
    EXPECT_EQ(st.addr_mode, 2);
    EXPECT_EQ(st.contrast, 0x7F);
    int set = 0;
    for (int p = 0; p < 8; p++)
        for (int c = 0; c < 128; c++) set += ram(p, c) != 0;
    EXPECT_GT(set, 500);
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 128; x++) ASSERT_EQ(vk_panel_pixel(x, y), 0);
}

TEST_F(BusTest, PageAddressingAndColumnCounter) {
    Master m(111, 110);
    panelOn(m);
    panelFill(m, 0x00);
    // Page 3, column 0x25; two bytes.
    ASSERT_TRUE(m.send({0x78, 0x00, 0xB3, 0x12, 0x05}));
    ASSERT_TRUE(m.send({0x78, 0x40, 0x81, 0x0F}));
    EXPECT_EQ(ram(3, 0x25), 0x81);
    EXPECT_EQ(ram(3, 0x26), 0x0F);
    EXPECT_EQ(vk_panel_pixel(0x25, 24), 1);
    EXPECT_EQ(vk_panel_pixel(0x25, 31), 1);
    EXPECT_EQ(vk_panel_pixel(0x25, 25), 0);
    // The column counter runs on across transfers and wraps in the page.
    ASSERT_TRUE(m.send({0x78, 0x00, 0xB5, 0x17, 0x0F}));  // column 127
    ASSERT_TRUE(m.send({0x78, 0x40, 0x11, 0x22}));
    EXPECT_EQ(ram(5, 127), 0x11);
    EXPECT_EQ(ram(5, 0), 0x22);
    EXPECT_EQ(ram(6, 0), 0x00);
    // Pages 8 to 15 are pages 0 to 7.
    ASSERT_TRUE(m.send({0x78, 0x00, 0xBA, 0x10, 0x00}));
    ASSERT_TRUE(m.send({0x78, 0x40, 0x33}));
    EXPECT_EQ(ram(2, 0), 0x33);
    vk_panel_state st;
    vk_panel_get_state(&st);
    EXPECT_EQ(st.page, 2);
    EXPECT_EQ(st.column, 1);
}

TEST_F(BusTest, HorizontalAndVerticalAddressing) {
    Master m(111, 110);
    panelOn(m);
    panelFill(m, 0x00);
    ASSERT_TRUE(m.send({0x78, 0x00, 0x20, 0x00, 0x21, 0x7E, 0x7F, 0x22, 0x01, 0x02}));
    ASSERT_TRUE(m.send({0x78, 0x40, 1, 2, 3, 4, 5}));
    EXPECT_EQ(ram(1, 127), 2);
    EXPECT_EQ(ram(2, 126), 3);
    EXPECT_EQ(ram(2, 127), 4);
    // The window is full after four bytes: the fifth wraps to its start.
    EXPECT_EQ(ram(1, 126), 5);
    EXPECT_EQ(ram(3, 126), 0);
    vk_panel_state st;
    vk_panel_get_state(&st);
    EXPECT_EQ(st.page, 1);
    EXPECT_EQ(st.column, 127);

    ASSERT_TRUE(m.send({0x78, 0x00, 0x20, 0x01, 0x21, 0x10, 0x11, 0x22, 0x06, 0x07}));
    ASSERT_TRUE(m.send({0x78, 0x40, 9, 8, 7}));
    EXPECT_EQ(ram(6, 0x10), 9);
    EXPECT_EQ(ram(7, 0x10), 8);
    EXPECT_EQ(ram(6, 0x11), 7);
}

TEST_F(BusTest, ControlByteContinuationBit) {
    Master m(111, 110);
    panelOn(m);
    panelFill(m, 0x00);
    vk_panel_clear_log();
    // Co set: one command, then a control byte for one data byte, then
    // commands to the end.
    ASSERT_TRUE(m.send({0x78, 0x80, 0xB4, 0xC0, 0x5A, 0x00, 0xA7, 0xA6}));
    EXPECT_EQ(commands(), (std::vector<uint8_t>{0xB4, 0xA7, 0xA6}));
    EXPECT_EQ(vk_panel_data_bytes(), 1u);
    EXPECT_EQ(ram(4, 0), 0x5A);
}

TEST_F(BusTest, PictureFollowsTheDisplaySettings) {
    Master m(111, 110);
    panelOn(m);
    panelFill(m, 0x00);
    ASSERT_TRUE(m.send({0x78, 0x00, 0xB0, 0x10, 0x00}));
    ASSERT_TRUE(m.send({0x78, 0x40, 0x01}));  // pixel (0, 0)
    EXPECT_EQ(vk_panel_pixel(0, 0), 1);

    ASSERT_TRUE(m.send({0x78, 0x00, 0xA0}));  // segments not remapped
    EXPECT_EQ(vk_panel_pixel(0, 0), 0);
    EXPECT_EQ(vk_panel_pixel(127, 0), 1);
    ASSERT_TRUE(m.send({0x78, 0x00, 0xA1, 0xC0}));  // COM scan not remapped
    EXPECT_EQ(vk_panel_pixel(0, 63), 1);
    ASSERT_TRUE(m.send({0x78, 0x00, 0xC8, 0x41}));  // start line 1
    EXPECT_EQ(vk_panel_pixel(0, 0), 0);
    EXPECT_EQ(vk_panel_pixel(0, 63), 1);
    ASSERT_TRUE(m.send({0x78, 0x00, 0x40, 0xA7}));  // inverse
    EXPECT_EQ(vk_panel_pixel(0, 0), 0);
    EXPECT_EQ(vk_panel_pixel(5, 5), 1);
    ASSERT_TRUE(m.send({0x78, 0x00, 0xA6, 0xA5}));  // entire display on
    EXPECT_EQ(vk_panel_pixel(5, 5), 1);
    ASSERT_TRUE(m.send({0x78, 0x00, 0xA4, 0xAE}));  // display off
    EXPECT_FALSE(vk_panel_lit());
    EXPECT_EQ(vk_panel_pixel(0, 0), 0);
    EXPECT_EQ(ram(0, 0), 0x01);  // the RAM keeps its content
    ASSERT_TRUE(m.send({0x78, 0x00, 0xAF, 0x8D, 0x10}));  // charge pump off
    EXPECT_FALSE(vk_panel_lit());
    ASSERT_TRUE(m.send({0x78, 0x00, 0x8D, 0x14}));
    EXPECT_TRUE(vk_panel_lit());
    EXPECT_EQ(vk_panel_pixel(0, 0), 1);
}

TEST_F(BusTest, ResetPulse) {
    Master m(111, 110);
    panelOn(m);
    ASSERT_TRUE(m.send({0x78, 0x00, 0xB2, 0x10, 0x03}));
    ASSERT_TRUE(m.send({0x78, 0x40, 0x77}));
    EXPECT_TRUE(vk_panel_lit());
    gpio_set_value(49, 0);
    s3c_gpio_cfgpin(49, kOut);
    // Held in reset: dark, and deaf on the bus.
    EXPECT_FALSE(vk_panel_lit());
    EXPECT_FALSE(m.send({0x78, 0x00, 0xAF}));
    kt_udelay(2);  // too short
    gpio_set_value(49, 1);
    vk_panel_state st;
    vk_panel_get_state(&st);
    EXPECT_EQ(st.short_resets, 1);
    EXPECT_EQ(st.resets, 0);
    EXPECT_TRUE(st.display_on);

    gpio_set_value(49, 0);
    kt_udelay(3);
    gpio_set_value(49, 1);
    vk_panel_get_state(&st);
    EXPECT_EQ(st.resets, 1);
    EXPECT_FALSE(st.display_on);
    EXPECT_FALSE(st.charge_pump);
    EXPECT_FALSE(st.seg_remap);
    EXPECT_EQ(ram(2, 3), 0x77);  // the RAM survives
    EXPECT_TRUE(m.send({0x78, 0x00, 0xAF}));
}

TEST_F(BusTest, PanelThatDoesNotAcknowledge) {
    Master m(111, 110);
    vk_panel_set_acking(0);
    EXPECT_FALSE(m.send({0x78, 0x00, 0xAF}));
    EXPECT_TRUE(commands().empty());
    vk_panel_set_acking(1);
    EXPECT_TRUE(m.send({0x78, 0x00, 0xAF}));
    EXPECT_FALSE(m.send({0x79}));  // no reads
}

// ---- sensor ----

TEST_F(BusTest, SensorRegistersAndSamples) {
    Master m(106, 105);
    auto readReg = [&](uint8_t reg) {
        m.start();
        EXPECT_TRUE(m.write(0xD0));
        EXPECT_TRUE(m.write(reg));
        m.start();
        EXPECT_TRUE(m.write(0xD1));
        uint8_t v = m.read(false);
        m.stop();
        return v;
    };
    EXPECT_EQ(readReg(0x75), 0x68);
    EXPECT_EQ(readReg(0x6B), 0x40);  // asleep after power-on
    vk_sensor_sample s{};
    s.accel[0] = -200;
    s.accel[2] = 16384;
    s.temp = 0x1234;
    s.gyro[1] = 0x7F01;
    vk_sensor_set_sample(&s);
    EXPECT_EQ(readReg(0x3B), 0x00);  // asleep: samples read 0
    ASSERT_TRUE(m.send({0xD0, 0x6B, 0x00}));
    EXPECT_TRUE(vk_sensor_awake());
    EXPECT_EQ(readReg(0x3B), 0xFF);
    EXPECT_EQ(readReg(0x3C), 0x38);
    EXPECT_EQ(readReg(0x3F), 0x40);
    EXPECT_EQ(readReg(0x41), 0x12);
    EXPECT_EQ(readReg(0x46), 0x01);

    // A burst read runs on while the master acknowledges.
    m.start();
    m.write(0xD0);
    m.write(0x45);
    m.start();
    m.write(0xD1);
    EXPECT_EQ(m.read(true), 0x7F);
    EXPECT_EQ(m.read(false), 0x01);
    m.stop();

    // Writes run on from the register pointer; sample registers are read-only.
    ASSERT_TRUE(m.send({0xD0, 0x19, 7, 6}));
    EXPECT_EQ(vk_sensor_reg(0x19), 7);
    EXPECT_EQ(vk_sensor_reg(0x1A), 6);
    ASSERT_TRUE(m.send({0xD0, 0x3B, 0x00}));
    EXPECT_EQ(vk_sensor_reg(0x3B), 0xFF);
    // Reset: back to sleep and defaults.
    ASSERT_TRUE(m.send({0xD0, 0x6B, 0x80}));
    EXPECT_FALSE(vk_sensor_awake());
    EXPECT_EQ(vk_sensor_reg(0x19), 0);
    std::vector<vk_sensor_write> w(8);
    size_t n = vk_sensor_writes(w.data(), w.size());
    ASSERT_EQ(n, 5u);
    EXPECT_EQ(w[0].reg, 0x6B);
    EXPECT_EQ(w[1].reg, 0x19);
    EXPECT_EQ(w[2].reg, 0x1A);
    EXPECT_EQ(w[4].value, 0x80);
}

TEST_F(BusTest, SensorThatDoesNotAcknowledge) {
    Master m(106, 105);
    vk_sensor_set_acking(0);
    EXPECT_FALSE(m.send({0xD0, 0x6B, 0x00}));
    EXPECT_FALSE(vk_sensor_awake());
    // The panel's bus and the sensor's are separate.
    EXPECT_FALSE(m.send({0x78, 0x00}));
}

// ---- PNG ----

TEST_F(BusTest, PanelPictureAsPng) {
    Master m(111, 110);
    panelOn(m);
    panelFill(m, 0x00);
    ASSERT_TRUE(m.send({0x78, 0x00, 0xB1, 0x10, 0x02}));
    ASSERT_TRUE(m.send({0x78, 0x40, 0x81}));  // (2, 8) and (2, 15)

    const std::string path = "/tmp/panel.png";
    ASSERT_EQ(vk_panel_write_png(path.c_str(), 2), 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    EXPECT_EQ(png_get_image_width(png, info), 256u);
    EXPECT_EQ(png_get_image_height(png, info), 128u);
    EXPECT_EQ(png_get_color_type(png, info), PNG_COLOR_TYPE_GRAY);
    EXPECT_EQ(png_get_bit_depth(png, info), 8);
    png_bytepp rows = png_get_rows(png, info);
    int lit = 0;
    for (int y = 0; y < 128; y++)
        for (int x = 0; x < 256; x++) {
            bool want = (x / 2 == 2) && (y / 2 == 8 || y / 2 == 15);
            EXPECT_EQ(rows[y][x], want ? 0xFF : 0x00) << x << "," << y;
            lit += rows[y][x] != 0;
        }
    EXPECT_EQ(lit, 8);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);

    EXPECT_EQ(vk_panel_write_png(path.c_str(), 0), -22);
    EXPECT_NE(vk_panel_write_png("/nonexistent/dir/p.png", 1), 0);

    // The same picture handed over in memory, piece by piece.
    std::string bytes;
    int pieces = 0;
    auto sink = [](void* ctx, const void* data, size_t len) {
        auto* out = static_cast<std::pair<std::string*, int*>*>(ctx);
        out->first->append(static_cast<const char*>(data), len);
        ++*out->second;
    };
    std::pair<std::string*, int*> ctx{&bytes, &pieces};
    ASSERT_EQ(vk_panel_png(sink, &ctx, 2), 0);
    EXPECT_GT(pieces, 1);
    FILE* g = std::fopen(path.c_str(), "rb");
    ASSERT_NE(g, nullptr);
    std::string file;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, g)) > 0;) file.append(buf, n);
    std::fclose(g);
    EXPECT_EQ(bytes, file);
    EXPECT_EQ(vk_panel_png(sink, &ctx, 17), -22);
    EXPECT_EQ(vk_panel_png(nullptr, nullptr, 1), -22);
}

TEST_F(BusTest, LogoPngAfterBoot) {
    ASSERT_EQ(vk_board_boot(), 0);
    ASSERT_EQ(vk_panel_write_png("/tmp/logo.png", 1), 0);
    FILE* f = std::fopen("/tmp/logo.png", "rb");
    ASSERT_NE(f, nullptr);
    unsigned char sig[8];
    ASSERT_EQ(std::fread(sig, 1, 8, f), 8u);
    EXPECT_EQ(png_sig_cmp(sig, 0, 8), 0);
    std::fclose(f);
    EXPECT_EQ(vk_board_halt(), 0);
}

}  // namespace

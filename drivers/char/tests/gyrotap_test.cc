// gyrotap on the modelled board: sensor set-up, samples, the read record
// and its result, bus timing, faults and unloading.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "driver_fixture.h"

using namespace drvtest;

namespace {

struct RawSample {
    int32_t x_accel, y_accel, z_accel, x_gyro, y_gyro, z_gyro;
};
static_assert(sizeof(RawSample) == 24, "GyroRawSample is 24 bytes");

vk_sensor_sample sample(int16_t ax, int16_t ay, int16_t az, int16_t gx, int16_t gy, int16_t gz) {
    vk_sensor_sample s{};
    s.accel[0] = ax;
    s.accel[1] = ay;
    s.accel[2] = az;
    s.gyro[0] = gx;
    s.gyro[1] = gy;
    s.gyro[2] = gz;
    s.temp = 1234;
    return s;
}

class GyroTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_EQ(vk_module_load("gyrotap"), 0);
        fd_ = open("/dev/gyrotap");
        ASSERT_GE(fd_, 0);
    }
    int fd_ = -1;
};

// The waits of one byte sent with its acknowledge.
void sendWaits(std::vector<unsigned long>& w) {
    for (int i = 0; i < 24; i++) w.push_back(kT3);
    w.push_back(kT4);
    w.push_back(kT4);
}

// The waits of one single-register read.
std::vector<unsigned long> registerReadWaits() {
    std::vector<unsigned long> w = {kT4, kT4, kT4};
    sendWaits(w);
    sendWaits(w);
    w.insert(w.end(), {kT4, kT4, kT4});
    sendWaits(w);
    for (int i = 0; i < 8; i++) {
        w.push_back(kT2);
        w.push_back(kT1);
    }
    w.push_back(kT4);
    w.push_back(kT4);
    return w;
}

}  // namespace

TEST_F(BoardTest, SensorSetUpAsWritten) {
    ASSERT_EQ(vk_module_load("gyrotap"), 0);
    EXPECT_TRUE(vk_device_exists("/dev/gyrotap"));
    EXPECT_STREQ(vk_module_license("gyrotap"), "GPL");
    EXPECT_EQ(printkLog(), "");  // loading logs nothing

    std::vector<vk_sensor_write> w(16);
    w.resize(vk_sensor_writes(w.data(), w.size()));
    std::vector<std::pair<int, int>> got;
    for (const auto& x : w) got.emplace_back(x.reg, x.value);
    std::vector<std::pair<int, int>> want = {{0x6B, 0x80}, {0x6B, 0x00}, {0x19, 7},
                                             {0x1A, 6},    {0x1C, 0x00}, {0x1B, 0x18}};
    EXPECT_EQ(got, want);
    ASSERT_EQ(w.size(), 6u);
    // 50 ms after the reset, and 50 ms more before the identity read.
    EXPECT_GE(w[1].t_ns - w[0].t_ns, 50000000u);
    EXPECT_LT(w[1].t_ns - w[0].t_ns, 51000000u);
    EXPECT_GE(w[2].t_ns - w[1].t_ns, 50000000u);
    int sleeps = 0;
    for (const auto& d : delays())
        if (d.kind == VK_DELAY_MSLEEP) {
            EXPECT_EQ(d.arg, 50u);
            sleeps++;
        }
    EXPECT_EQ(sleeps, 2);

    EXPECT_TRUE(vk_sensor_awake());
    EXPECT_EQ(vk_sensor_reg(0x19), 7);
    EXPECT_EQ(vk_sensor_reg(0x1A), 6);
    EXPECT_EQ(vk_sensor_reg(0x1C), 0x00);
    EXPECT_EQ(vk_sensor_reg(0x1B), 0x18);

    // The identity register is read once: register write 0x75, then a read
    // at 0xD1.
    auto txns = transactions(VK_BUS_SENSOR);
    int idReads = 0;
    for (size_t i = 0; i + 1 < txns.size(); i++)
        if (txns[i].addr == 0xD0 && txns[i].data == std::vector<uint8_t>{0x75} && txns[i + 1].addr == 0xD1) {
            EXPECT_EQ(txns[i + 1].data, std::vector<uint8_t>{0x68});
            idReads++;
        }
    EXPECT_EQ(idReads, 1);
    const char* label = nullptr;
    ASSERT_TRUE(vk_gpio_requested(105, &label));
    EXPECT_STREQ(label, "SDA");
    ASSERT_TRUE(vk_gpio_requested(106, &label));
    EXPECT_STREQ(label, "SCL");
}

TEST_F(GyroTest, ReadReturnsZeroAndExactlyTheSample) {
    auto s = sample(100, -2, 16384, -164, 7, 32767);
    vk_sensor_set_sample(&s);
    UserMem buf(32, 0xAA);
    EXPECT_EQ(vk_read(fd_, buf.data(), 32), 0);  // 0, not 24
    RawSample r;
    std::memcpy(&r, buf.data(), sizeof(r));
    EXPECT_EQ(r.x_accel, 100);
    EXPECT_EQ(r.y_accel, -2);
    EXPECT_EQ(r.z_accel, 16384);  // flat, at rest: 1 g
    EXPECT_EQ(r.x_gyro, -164);
    EXPECT_EQ(r.y_gyro, 7);
    EXPECT_EQ(r.z_gyro, 32767);
    for (int i = 24; i < 32; i++) EXPECT_EQ(buf.data()[i], 0xAA) << i;

    // A larger count reads the same 24 bytes.
    UserMem exact(24);
    EXPECT_EQ(vk_read(fd_, exact.data(), 4096), 0);
    EXPECT_EQ(std::memcmp(exact.data(), buf.data(), 24), 0);
}

TEST_F(GyroTest, RegisterPairIsSignExtended) {
    auto s = sample(-200, -32768, 0, 0, 0, -1);
    vk_sensor_set_sample(&s);
    EXPECT_EQ(vk_sensor_reg(0x3B), 0xFF);
    EXPECT_EQ(vk_sensor_reg(0x3C), 0x38);
    UserMem buf(24);
    ASSERT_EQ(vk_read(fd_, buf.data(), 24), 0);
    RawSample r;
    std::memcpy(&r, buf.data(), sizeof(r));
    EXPECT_EQ(r.x_accel, -200);
    EXPECT_EQ(r.y_accel, -32768);
    EXPECT_EQ(r.z_gyro, -1);
}

TEST_F(GyroTest, SampleIsTwelveSingleByteReadsHighByteFirst) {
    vk_i2c_clear(VK_BUS_SENSOR);
    auto s = sample(0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C);
    vk_sensor_set_sample(&s);
    UserMem buf(24);
    ASSERT_EQ(vk_read(fd_, buf.data(), 24), 0);
    auto txns = transactions(VK_BUS_SENSOR);
    ASSERT_EQ(txns.size(), 24u);
    const uint8_t regs[12] = {0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48};
    for (int i = 0; i < 12; i++) {
        const Txn& w = txns[2 * i];
        const Txn& r = txns[2 * i + 1];
        EXPECT_EQ(w.addr, 0xD0);
        EXPECT_EQ(w.data, std::vector<uint8_t>{regs[i]});
        EXPECT_EQ(r.addr, 0xD1);
        ASSERT_EQ(r.data.size(), 1u);
        EXPECT_EQ(r.data[0], i + 1);
    }
    vk_i2c_stats st;
    vk_i2c_get_stats(VK_BUS_SENSOR, &st);
    EXPECT_EQ(st.broken_bytes, 0u);
    // Repeated start between the register write and the read.
    EXPECT_EQ(st.starts, 24u);
    EXPECT_EQ(st.stops, 12u);
}

TEST_F(GyroTest, DelayConstantsAsWritten) {
    vk_delays_clear();
    UserMem buf(24);
    ASSERT_EQ(vk_read(fd_, buf.data(), 24), 0);
    std::vector<unsigned long> want;
    for (int i = 0; i < 12; i++) {
        auto one = registerReadWaits();
        want.insert(want.end(), one.begin(), one.end());
    }
    auto got = delays();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].kind, VK_DELAY_UDELAY);
        ASSERT_EQ(got[i].arg, want[i]) << i;
    }
}

TEST_F(GyroTest, ShortBufferIsRefused) {
    vk_i2c_clear(VK_BUS_SENSOR);
    UserMem buf(23, 0x55);
    EXPECT_EQ(vk_read(fd_, buf.data(), 23), -kEINVAL);
    EXPECT_EQ(vk_read(fd_, buf.data(), 0), -kEINVAL);
    for (size_t i = 0; i < buf.size(); i++) EXPECT_EQ(buf.data()[i], 0x55);
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_SENSOR), 0u);
}

TEST_F(GyroTest, UnwritableBufferFaultsAfterTheSample) {
    vk_i2c_clear(VK_BUS_SENSOR);
    RawSample notUser;
    EXPECT_EQ(vk_read(fd_, &notUser, 24), -kEFAULT);
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_SENSOR), 24u);  // the sample was taken
    UserMem tooSmall(20);
    EXPECT_EQ(vk_read(fd_, tooSmall.data(), 24), -kEFAULT);
}

TEST_F(BoardTest, SensorAbsentStillRegisters) {
    vk_sensor_set_acking(0);
    ASSERT_EQ(vk_module_load("gyrotap"), 0);
    EXPECT_TRUE(vk_device_exists("/dev/gyrotap"));
    int fd = open("/dev/gyrotap");
    ASSERT_GE(fd, 0);
    // Missed acknowledges fail the read; the all-ones bits are not handed out.
    UserMem buf(24, 0x55);
    EXPECT_EQ(vk_read(fd, buf.data(), 24), -kEIO);
    for (size_t i = 0; i < buf.size(); i++) EXPECT_EQ(buf.data()[i], 0x55) << i;
    for (const Txn& t : transactions(VK_BUS_SENSOR)) EXPECT_FALSE(t.addrAck);
}

TEST_F(GyroTest, SensorThatStopsAcknowledgingFailsUntilItAnswersAgain) {
    auto s = sample(100, -2, 16384, -164, 7, 32767);
    vk_sensor_set_sample(&s);
    vk_sensor_set_acking(0);
    vk_i2c_clear(VK_BUS_SENSOR);
    UserMem buf(24, 0x55);
    EXPECT_EQ(vk_read(fd_, buf.data(), 24), -kEIO);
    for (size_t i = 0; i < buf.size(); i++) EXPECT_EQ(buf.data()[i], 0x55) << i;
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_SENSOR), 24u);  // the whole sample was tried
    vk_sensor_set_acking(1);
    ASSERT_EQ(vk_read(fd_, buf.data(), 24), 0);
    RawSample r;
    std::memcpy(&r, buf.data(), sizeof(r));
    EXPECT_EQ(r.x_accel, 100);
    EXPECT_EQ(r.z_gyro, 32767);
}

TEST_F(GyroTest, UnloadDeletesAnInitialisedTimerAndFreesThePins) {
    EXPECT_EQ(vk_timers_pending(), 0);  // the diagnostic timer is never armed
    vk_clock_advance_ms(20000);
    EXPECT_EQ(printkLog(), "");
    ASSERT_EQ(vk_release(fd_), 0);
    close(fd_);
    ASSERT_EQ(vk_module_unload("gyrotap"), 0);
    EXPECT_EQ(printkLog(), "gyrotap_dev_exit ~~~~\n");
    EXPECT_EQ(vk_warnings(), 0);  // del_timer saw an initialised timer
    EXPECT_FALSE(vk_device_exists("/dev/gyrotap"));
    EXPECT_FALSE(vk_gpio_requested(105, nullptr));
    EXPECT_FALSE(vk_gpio_requested(106, nullptr));
    EXPECT_EQ(vk_module_load("gyrotap"), 0);
}

TEST_F(GyroTest, AnyNumberOfOpeners) {
    int fd2 = open("/dev/gyrotap");
    int fd3 = open("/dev/gyrotap");
    ASSERT_GE(fd2, 0);
    ASSERT_GE(fd3, 0);
    UserMem buf(24);
    EXPECT_EQ(vk_read(fd3, buf.data(), 24), 0);
    EXPECT_EQ(vk_ioctl(fd2, 0x40014F00, 0), -kENOTTY);  // no ioctl
    EXPECT_EQ(vk_write(fd2, buf.data(), 24), -kEINVAL);  // no write
}

TEST_F(BoardTest, SensorPinRequestFailuresAreLoggedAndLoadingGoesOn) {
    vk_gpio_fail_request(105, -kEBUSY);
    EXPECT_EQ(vk_module_load("gyrotap"), 0);
    EXPECT_EQ(printkLog(), "IIC: request GPIO MPU_SDA_PIN for SDA failed, ret = -16\n");
    EXPECT_FALSE(vk_gpio_requested(106, nullptr));
    EXPECT_TRUE(vk_device_exists("/dev/gyrotap"));
    ASSERT_EQ(vk_module_unload("gyrotap"), 0);
    vk_gpio_fail_request(105, 0);

    vk_printk_clear();
    vk_gpio_fail_request(106, -kEBUSY);
    EXPECT_EQ(vk_module_load("gyrotap"), 0);
    EXPECT_EQ(printkLog(), "IIC: request GPIO MPU_SCL_PIN for SCL failed, ret = -16\n");
    EXPECT_TRUE(vk_gpio_requested(105, nullptr));
    vk_gpio_fail_request(106, 0);
}

TEST_F(BoardTest, SensorRegistrationFailureGivesThePinsBack) {
    vk_misc_fail_register(-kEBUSY);
    EXPECT_EQ(vk_module_load("gyrotap"), -kEBUSY);
    vk_misc_fail_register(0);
    EXPECT_FALSE(vk_module_loaded("gyrotap"));
    EXPECT_FALSE(vk_gpio_requested(105, nullptr));
    EXPECT_FALSE(vk_gpio_requested(106, nullptr));
}

TEST_F(BoardTest, BoardBootLoadsBothModules) {
    ASSERT_EQ(vk_board_boot(), 0);
    EXPECT_TRUE(vk_module_loaded("oledpanel"));
    EXPECT_TRUE(vk_module_loaded("gyrotap"));
    EXPECT_TRUE(vk_panel_lit());
    EXPECT_EQ(vk_reset(), -kEBUSY);
    ASSERT_EQ(vk_board_halt(), 0);
    EXPECT_FALSE(vk_module_loaded("oledpanel"));
    EXPECT_FALSE(vk_module_loaded("gyrotap"));
    EXPECT_EQ(vk_warnings(), 0);
}

TEST_F(GyroTest, ConcurrentReadersNeverInterleaveOnTheBus) {
    vk_i2c_clear(VK_BUS_SENSOR);
    vk_set_delay_yield(1);
    auto s = sample(11, 22, 33, 44, 55, 66);
    vk_sensor_set_sample(&s);
    std::atomic<int> bad{0};
    auto reader = [&] {
        int fd = vk_open("/dev/gyrotap");
        UserMem buf(24);
        for (int i = 0; i < 15; i++) {
            RawSample r{};
            if (vk_read(fd, buf.data(), 24) != 0) bad++;
            std::memcpy(&r, buf.data(), sizeof(r));
            if (r.x_accel != 11 || r.z_accel != 33 || r.x_gyro != 44 || r.z_gyro != 66) bad++;
        }
        vk_release(fd);
    };
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    vk_i2c_stats st;
    vk_i2c_get_stats(VK_BUS_SENSOR, &st);
    EXPECT_EQ(st.broken_bytes, 0u);
    EXPECT_EQ(vk_i2c_txn_count(VK_BUS_SENSOR), 2u * 15 * 24);
}

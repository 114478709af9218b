// Kernel calls of the host layer: delays on the virtual clock, timers,
// mutexes, user copies, printk, device files and module bookkeeping.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kcalls.h"
#include "vkernel.h"

namespace {

std::string log() {
    std::string s(vk_printk_log(nullptr, 0) + 1, '\0');
    vk_printk_log(&s[0], s.size());
    s.resize(s.size() - 1);
    return s;
}

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        vk_board_halt();
        ASSERT_EQ(vk_reset(), 0);
    }
    void TearDown() override { vk_set_user_access(nullptr); }
};

TEST_F(KernelTest, UdelayScalesByHzAndMovesTheVirtualClock) {
    EXPECT_EQ(vk_clock_ns(), 0u);
    kt_udelay(3);
    kt_udelay(1);
    kt_udelay(5);
    std::vector<vk_delay> d(8);
    d.resize(vk_delays(d.data(), d.size()));
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].kind, VK_DELAY_UDELAY);
    EXPECT_EQ(d[0].arg, 644244u);
    EXPECT_EQ(d[1].arg, 214748u);
    EXPECT_EQ(d[2].arg, 1073740u);
    EXPECT_EQ(vk_clock_ns(), 9000u);
    kt_msleep(50);
    EXPECT_EQ(vk_clock_ns(), 50009000u);
    EXPECT_EQ(vk_delay_count(), 4u);
    vk_delays_clear();
    EXPECT_EQ(vk_delay_count(), 0u);
    // HZ is 200: one jiffy every 5 ms.
    EXPECT_EQ(kt_jiffies(), 10u);
    EXPECT_EQ(vk_jiffies(), 10u);
}

TEST_F(KernelTest, TimersRunWhenTheClockIsAdvanced) {
    kt_timers_start();
    EXPECT_EQ(vk_timers_pending(), 2);
    kt_msleep(2000);  // sleeping does not run timers
    EXPECT_EQ(kt_fired_repeat(), 0);
    vk_clock_advance_ms(5);
    EXPECT_EQ(kt_fired_repeat(), 1);  // 100 jiffies were due
    EXPECT_EQ(kt_fired_once(), 1);
    vk_clock_advance_ms(1000);  // 200 jiffies: the repeating one twice more
    EXPECT_EQ(kt_fired_repeat(), 3);
    EXPECT_EQ(kt_fired_once(), 1);
    EXPECT_EQ(kt_last_data(), 9u);  // the repeating timer's argument
    EXPECT_EQ(vk_timers_pending(), 1);
    EXPECT_EQ(kt_timers_stop(), 1);
    EXPECT_EQ(vk_timers_pending(), 0);
    EXPECT_EQ(vk_warnings(), 0);
}

TEST_F(KernelTest, DeletingAnUninitialisedTimerIsAWarning) {
    EXPECT_EQ(kt_del_uninitialised(), 0);
    EXPECT_EQ(vk_warnings(), 1);
    EXPECT_EQ(log(), "vkernel: del_timer of an uninitialised timer\n");
}

TEST_F(KernelTest, Mutexes) {
    EXPECT_TRUE(kt_mutex_cycle());
    EXPECT_EQ(vk_warnings(), 0);
    kt_mutex_unlock_unheld();
    EXPECT_EQ(vk_warnings(), 1);
}

TEST_F(KernelTest, UserCopiesFaultOutsideMappedMemory) {
    std::vector<char> user(16, 'u');
    char kbuf[32];
    ASSERT_EQ(vk_user_map(user.data(), user.size()), 0);
    EXPECT_EQ(copy_from_user(kbuf, user.data(), 16), 0u);
    EXPECT_EQ(copy_from_user(kbuf, user.data() + 4, 16), 4u);  // runs past the end
    EXPECT_EQ(kbuf[11], 'u');
    EXPECT_EQ(kbuf[12], 0);  // the rest is zeroed
    EXPECT_EQ(copy_from_user(kbuf, nullptr, 4), 4u);
    EXPECT_EQ(copy_from_user(kbuf, kbuf + 8, 4), 4u);  // kernel memory is not user memory
    EXPECT_EQ(copy_to_user(user.data(), "abcd", 4), 0u);
    EXPECT_EQ(user[0], 'a');
    EXPECT_EQ(copy_to_user(user.data() + 14, "abcd", 4), 2u);

    std::memcpy(user.data(), "12\0", 3);
    EXPECT_EQ(strncpy_from_user(kbuf, user.data(), 16), 2);
    EXPECT_STREQ(kbuf, "12");
    std::memset(user.data(), 'x', user.size());
    EXPECT_EQ(strncpy_from_user(kbuf, user.data(), 8), 8);    // no NUL within count
    EXPECT_EQ(strncpy_from_user(kbuf, user.data(), 20), -14);  // runs off the map
    EXPECT_EQ(vk_user_unmap(user.data()), 0);
    EXPECT_EQ(vk_user_unmap(user.data()), -2);
    EXPECT_EQ(copy_from_user(kbuf, user.data(), 1), 1u);
    EXPECT_EQ(vk_user_map(nullptr, 4), -22);
}

struct Peer {
    std::vector<char> mem = std::vector<char>(64, 'p');
    int calls = 0;
};

size_t peerIn(void* ctx, void* dst, const void* src, size_t n) {
    auto* p = static_cast<Peer*>(ctx);
    p->calls++;
    size_t off = reinterpret_cast<size_t>(src);  // offsets into the peer's memory
    if (off + n > p->mem.size()) return n;
    std::memcpy(dst, p->mem.data() + off, n);
    return 0;
}

size_t peerOut(void* ctx, void* dst, const void* src, size_t n) {
    auto* p = static_cast<Peer*>(ctx);
    p->calls++;
    size_t off = reinterpret_cast<size_t>(dst);
    if (off + n > p->mem.size()) return n;
    std::memcpy(p->mem.data() + off, src, n);
    return 0;
}

TEST_F(KernelTest, UserCopiesCanBeTakenOver) {
    Peer peer;
    vk_user_access ops{peerIn, peerOut, &peer};
    vk_set_user_access(&ops);
    char kbuf[8];
    EXPECT_EQ(copy_from_user(kbuf, reinterpret_cast<void*>(8), 8), 0u);
    EXPECT_EQ(kbuf[0], 'p');
    EXPECT_EQ(copy_to_user(reinterpret_cast<void*>(0), "zz", 2), 0u);
    EXPECT_EQ(peer.mem[1], 'z');
    EXPECT_EQ(copy_from_user(kbuf, reinterpret_cast<void*>(60), 8), 8u);
    EXPECT_EQ(peer.calls, 3);
    vk_set_user_access(nullptr);
    EXPECT_EQ(copy_from_user(kbuf, reinterpret_cast<void*>(8), 8), 8u);
}

TEST_F(KernelTest, PrintkIsCaptured) {
    EXPECT_EQ(printk("a %d\n", 5), 4);
    printk("<0>b\n");
    EXPECT_EQ(log(), "a 5\n<0>b\n");
    vk_printk_clear();
    EXPECT_EQ(log(), "");
}

TEST_F(KernelTest, DeviceFilesAndModules) {
    EXPECT_EQ(vk_open("/dev/oled"), -2);
    EXPECT_EQ(vk_ioctl(3, 0, 0), -9);
    EXPECT_EQ(vk_read(-1, nullptr, 0), -9);
    EXPECT_EQ(vk_release(60), -9);
    EXPECT_EQ(vk_module_load("nosuch"), -2);
    EXPECT_EQ(vk_module_unload("oledpanel"), -2);
    EXPECT_EQ(vk_module_license("nosuch"), nullptr);

    ASSERT_EQ(vk_module_load("oledpanel"), 0);
    EXPECT_EQ(vk_module_load("oledpanel"), -17);
    EXPECT_EQ(vk_reset(), -16);
    int minor = vk_device_minor("/dev/oled");
    EXPECT_GE(minor, 0);
    EXPECT_LT(minor, 64);
    int fd = vk_open("/dev/oled");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vk_read(fd, nullptr, 0), -22);  // no read operation
    EXPECT_EQ(vk_module_unload("oledpanel"), -16);
    EXPECT_EQ(vk_release(fd), 0);
    EXPECT_EQ(vk_release(fd), -9);
    EXPECT_EQ(vk_module_unload("oledpanel"), 0);
    EXPECT_EQ(vk_device_minor("/dev/oled"), -2);
    EXPECT_EQ(vk_reset(), 0);
}

}  // namespace

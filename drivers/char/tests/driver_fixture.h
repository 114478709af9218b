// Test helpers: the modelled board with the camera's modules, user memory
// for the drivers, the ioctl records as the user side lays them out, and
// expected panel pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vkernel.h"

namespace drvtest {

constexpr unsigned kOledFill = 0x40014F00;
constexpr unsigned kOledNum = 0x40044F01;
constexpr unsigned kOledMatrix = 0x40044F02;

constexpr int kEFAULT = 14;
constexpr int kEINVAL = 22;
constexpr int kENOTTY = 25;
constexpr int kEIO = 5;
constexpr int kEBUSY = 16;

// The bus waits, as __const_udelay() arguments.
constexpr unsigned long kT1 = 214748, kT2 = 429496, kT3 = 644244, kT4 = 858992, kT5 = 1073740;

struct PosParam {
    uint8_t x, y;
};
struct WordParam {
    PosParam pos;
    int32_t large;
    const char* num;
};
struct MatrixParam {
    int32_t reverse;
    const char* name;
    PosParam pos;
    uint8_t width, height;
    const uint8_t* matrix;
};
static_assert(offsetof(WordParam, large) == 4, "wordParam layout");
static_assert(offsetof(WordParam, num) == 8, "wordParam layout");
static_assert(offsetof(MatrixParam, pos) == 2 * sizeof(void*), "matrixParam layout");
static_assert(offsetof(MatrixParam, width) == 2 * sizeof(void*) + 2, "matrixParam layout");

// Memory handed to the drivers as user memory for the object's life.
class UserMem {
public:
    explicit UserMem(size_t n, uint8_t fill = 0) : buf_(n ? n : 1, fill), len_(n) {
        if (len_) {
            EXPECT_EQ(vk_user_map(buf_.data(), len_), 0);
        }
    }
    UserMem(const void* src, size_t n) : UserMem(n) {
        if (n) std::memcpy(buf_.data(), src, n);
    }
    ~UserMem() {
        if (len_) vk_user_unmap(buf_.data());
    }
    UserMem(const UserMem&) = delete;
    UserMem& operator=(const UserMem&) = delete;
    uint8_t* data() { return buf_.data(); }
    const char* str() const { return reinterpret_cast<const char*>(buf_.data()); }
    unsigned long addr() const { return reinterpret_cast<unsigned long>(buf_.data()); }
    size_t size() const { return len_; }

private:
    std::vector<uint8_t> buf_;
    size_t len_;
};

inline std::unique_ptr<UserMem> userText(const std::string& s) {
    return std::make_unique<UserMem>(s.c_str(), s.size() + 1);
}

template <class T>
std::unique_ptr<UserMem> userRecord(const T& rec) {
    return std::make_unique<UserMem>(&rec, sizeof(rec));
}

using Picture = std::vector<std::vector<uint8_t>>;  // [y][x]

inline Picture blank() { return Picture(VK_PANEL_HEIGHT, std::vector<uint8_t>(VK_PANEL_WIDTH, 0)); }

inline Picture panel() {
    uint8_t pic[VK_PANEL_HEIGHT][VK_PANEL_WIDTH];
    vk_panel_picture(pic);
    Picture p = blank();
    for (int y = 0; y < VK_PANEL_HEIGHT; y++)
        for (int x = 0; x < VK_PANEL_WIDTH; x++) p[y][x] = pic[y][x];
    return p;
}

// Puts one page byte (bit 0 on top) at column col of page.
inline void putByte(Picture& p, int page, int col, uint8_t b) {
    page &= 7;
    col &= 127;
    for (int bit = 0; bit < 8; bit++) p[page * 8 + bit][col] = (b >> bit) & 1;
}

inline std::string show(const Picture& p, int y0 = 0, int y1 = VK_PANEL_HEIGHT) {
    std::string s;
    for (int y = y0; y < y1; y++) {
        for (int x = 0; x < VK_PANEL_WIDTH; x++) s += p[y][x] ? '#' : '.';
        s += '\n';
    }
    return s;
}

inline std::string printkLog() {
    size_t n = vk_printk_log(nullptr, 0);
    std::string s(n + 1, '\0');
    vk_printk_log(&s[0], s.size());
    s.resize(n);
    return s;
}

inline std::vector<uint8_t> panelCommands() {
    size_t n = vk_panel_commands(nullptr, 0);
    std::vector<uint8_t> v(n);
    vk_panel_commands(v.data(), v.size());
    return v;
}

inline std::vector<vk_delay> delays() {
    std::vector<vk_delay> v(vk_delay_count());
    v.resize(vk_delays(v.data(), v.size()));
    return v;
}

struct Txn {
    uint8_t addr;
    bool addrAck;
    std::vector<uint8_t> data;
    std::vector<uint8_t> ack;
};

inline std::vector<Txn> transactions(int bus) {
    std::vector<Txn> out;
    size_t n = vk_i2c_txn_count(bus);
    for (size_t i = 0; i < n; i++) {
        vk_i2c_txn t;
        if (vk_i2c_txn_get(bus, i, &t) != 0) break;
        Txn x{t.addr, t.addr_ack != 0, {}, {}};
        if (t.len) {
            x.data.assign(t.data, t.data + t.len);
            x.ack.assign(t.ack, t.ack + t.len);
        }
        out.push_back(std::move(x));
    }
    return out;
}

// A fresh board for every test; whatever a test leaves loaded is unloaded.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        vk_board_halt();
        ASSERT_EQ(vk_reset(), 0);
    }
    void TearDown() override {
        for (int fd : fds_) vk_release(fd);
        fds_.clear();
        vk_set_delay_yield(0);
        EXPECT_EQ(vk_board_halt(), 0);
    }
    int open(const char* path) {
        int fd = vk_open(path);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    void close(int fd) {
        for (auto it = fds_.begin(); it != fds_.end(); ++it)
            if (*it == fd) {
                fds_.erase(it);
                break;
            }
    }

private:
    std::vector<int> fds_;
};

}  // namespace drvtest

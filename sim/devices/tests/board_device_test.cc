// The panel and the motion sensor as programs inside the camera see them:
// /dev/oled and /dev/gyrotap served by the device server through the
// camera's own drivers on the modelled board.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "char/oledfont.h"
#include "support/camtest.h"
#include "support/vcam_screen.h"
#include "vcam_devctl.h"

namespace {

constexpr unsigned long kFill = 0x40014F00;
constexpr unsigned long kNum = 0x40044F01;
constexpr unsigned long kMatrix = 0x40044F02;

// The records in the host's layout, as the controller lays them out.
struct WordParam {
    uint8_t x, y;
    uint8_t pad[2];
    int32_t large;
    const char* num;
};
struct MatrixParam {
    int32_t reverse;
    const char* name;
    uint8_t x, y, width, height;
    const uint8_t* matrix;
};

struct Fd {
    int fd;
    explicit Fd(const char* path) : fd(::open(path, O_RDWR | O_CLOEXEC)) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// ioctl result, or -errno.
long call(int fd, unsigned long req, unsigned long arg) {
    errno = 0;
    int r = ::ioctl(fd, req, arg);
    return r < 0 ? -errno : r;
}

long text(int fd, int x, int y, int large, const char* s) {
    WordParam wp{uint8_t(x), uint8_t(y), {0, 0}, large, s};
    return call(fd, kNum, reinterpret_cast<unsigned long>(&wp));
}

long bitmap(int fd, int x, int y, int w, int h, const uint8_t* bits, int reverse = 0) {
    MatrixParam mp{reverse, "test", uint8_t(x), uint8_t(y), uint8_t(w), uint8_t(h), bits};
    return call(fd, kMatrix, reinterpret_cast<unsigned long>(&mp));
}

using Picture = std::vector<uint8_t>;  // [y * 128 + x]

Picture blank() { return Picture(128 * 64, 0); }

void putByte(Picture& p, int page, int col, uint8_t b) {
    for (int bit = 0; bit < 8; ++bit) p[size_t(((page & 7) * 8 + bit) * 128 + (col & 127))] = (b >> bit) & 1;
}

std::string show(const Picture& p) {
    std::string s;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 128; ++x) s += p[size_t(y * 128 + x)] ? '#' : '.';
        s += '\n';
    }
    return s;
}

Picture glass() {
    camtest::Panel p = camtest::readPanel();
    EXPECT_TRUE(p.ok);
    return p.ok ? p.px : Picture();
}

// The narrow font's glyphs of s from column x | 1 of page y / 8.
void narrowText(Picture& p, int x, int y, const char* s) {
    int col = x | 1;
    for (const char* c = s; *c; ++c) {
        int g = *c == ':' ? 12 : *c - '0';
        for (int i = 0; i < 6; ++i) {
            putByte(p, y / 8, col + i, NUM6X16[g][i]);
            putByte(p, y / 8 + 1, col + i, NUM6X16[g][6 + i]);
        }
        col += 6;
    }
}

std::string dmesg(bool clear = false) {
    vcam::DevCtl ctl;
    return ctl.command(clear ? "dmesg clear" : "dmesg");
}

class BoardDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        vcam::DevCtl ctl;
        ctl.command("ack panel on");
        ctl.command("ack sensor on");
        ctl.command("sensor 0 0 16384 0 0 0");
    }
};

TEST_F(BoardDevice, StartUpLogoIsOnThePanelBeforeAnyoneDraws) {
    // the first test of the run: nothing has drawn yet
    camtest::Panel p = camtest::readPanel();
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.lit);
    Picture want = blank();
    for (int page = 0; page < 6; ++page)
        for (int i = 0; i < 88; ++i) putByte(want, 2 + page, 21 + i, logologo[page * 88 + i]);
    EXPECT_EQ(show(p.px), show(want));
    EXPECT_NE(dmesg().find("oled\t\tinitialized"), std::string::npos);
}

TEST_F(BoardDevice, FillTextAndBitmapReachTheGlass) {
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0) << strerror(errno);
    ASSERT_EQ(call(oled.fd, kFill, 1), 0);
    EXPECT_EQ(show(glass()), show(Picture(128 * 64, 1)));
    ASSERT_EQ(call(oled.fd, kFill, 0), 0);
    EXPECT_EQ(show(glass()), show(blank()));
    EXPECT_EQ(call(oled.fd, kFill, 2), -EINVAL);

    ASSERT_EQ(text(oled.fd, 46, 0, 0, "12:34"), 0);
    Picture want = blank();
    narrowText(want, 46, 0, "12:34");
    EXPECT_EQ(show(glass()), show(want));

    std::vector<uint8_t> bits(16 * 2);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = uint8_t(0x81 + i * 7);
    ASSERT_EQ(bitmap(oled.fd, 64, 40, 16, 16, bits.data()), 0);
    for (int page = 0; page < 2; ++page)
        for (int i = 0; i < 16; ++i) putByte(want, 5 + page, 65 + i, bits[size_t(page * 16 + i)]);
    EXPECT_EQ(show(glass()), show(want));
    ASSERT_EQ(bitmap(oled.fd, 64, 40, 16, 16, bits.data(), 1), 0);
    for (int page = 0; page < 2; ++page)
        for (int i = 0; i < 16; ++i) putByte(want, 5 + page, 65 + i, uint8_t(~bits[size_t(page * 16 + i)]));
    EXPECT_EQ(show(glass()), show(want));
}

TEST_F(BoardDevice, RefusedRecordsLeaveThePanelAlone) {
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0);
    ASSERT_EQ(call(oled.fd, kFill, 0), 0);
    EXPECT_EQ(text(oled.fd, 0, 0, 0, "1234567890123456"), -EINVAL);  // 16 characters
    std::vector<uint8_t> bits(128 * 9, 0xFF);
    EXPECT_EQ(bitmap(oled.fd, 0, 0, 10, 72, bits.data()), -EINVAL);  // nine pages
    EXPECT_EQ(bitmap(oled.fd, 100, 0, 28, 8, bits.data()), 0);       // past the right edge
    EXPECT_EQ(call(oled.fd, 0x40014F0B, 1), -ENOTTY);
    EXPECT_EQ(call(oled.fd, 0x40044F05, 0), 0);
    EXPECT_EQ(show(glass()), show(blank()));
    EXPECT_NE(dmesg().find("oled\twarning: position out of bound"), std::string::npos);
}

TEST_F(BoardDevice, BadPointersFaultWithoutHarmingTheCaller) {
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0);
    ASSERT_EQ(call(oled.fd, kFill, 0), 0);
    EXPECT_EQ(call(oled.fd, kNum, 0), -EFAULT);
    EXPECT_EQ(text(oled.fd, 0, 0, 0, nullptr), -EFAULT);
    EXPECT_EQ(bitmap(oled.fd, 0, 0, 8, 8, nullptr), -EFAULT);
    // addresses that are never user memory
    EXPECT_EQ(text(oled.fd, 0, 0, 0, reinterpret_cast<const char*>(0x10)), -EFAULT);
    EXPECT_EQ(bitmap(oled.fd, 0, 0, 8, 8, reinterpret_cast<const uint8_t*>(0x1000)), -EFAULT);
    EXPECT_EQ(call(oled.fd, kNum, 0x2000), -EFAULT);
    EXPECT_EQ(call(oled.fd, kMatrix, 0xffff800000001000UL), -EFAULT);
    // A text that ends exactly at the end of a page of memory is read
    // without touching the next one.
    long page = sysconf(_SC_PAGESIZE);
    void* mem = nullptr;
    ASSERT_EQ(posix_memalign(&mem, size_t(page), size_t(page)), 0);
    char* end = static_cast<char*>(mem) + page;
    std::memcpy(end - 3, "12", 3);
    EXPECT_EQ(text(oled.fd, 0, 0, 0, end - 3), 0);
    std::free(mem);
    Picture want = blank();
    narrowText(want, 0, 0, "12");
    EXPECT_EQ(show(glass()), show(want));
    // still usable afterwards
    EXPECT_EQ(call(oled.fd, kFill, 1), 0);
}

TEST_F(BoardDevice, MissedAcknowledgeIsAnIoError) {
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0);
    vcam::DevCtl ctl;
    ctl.command("ack panel off");
    EXPECT_EQ(text(oled.fd, 0, 0, 0, "1"), -EIO);
    EXPECT_EQ(call(oled.fd, kFill, 1), 0);  // the fill reports no bus errors
    ctl.command("ack panel on");
    EXPECT_EQ(text(oled.fd, 0, 0, 0, "1"), 0);
}

long openFiles() {
    vcam::DevCtl ctl;
    return std::stol(ctl.command("files"));
}

TEST_F(BoardDevice, OpenersAreCountedAndEveryCloseReachesTheDriver) {
    ASSERT_TRUE(camtest::waitFor([] { return openFiles() == 0; }));
    dmesg(true);
    {
        Fd a("/dev/oled");
        Fd b("/dev/oled");
        ASSERT_GE(a.fd, 0);
        ASSERT_GE(b.fd, 0);
        EXPECT_EQ(call(a.fd, kFill, 0), 0);
        EXPECT_EQ(call(b.fd, kFill, 0), 0);
        EXPECT_EQ(openFiles(), 2);
        EXPECT_EQ(dmesg(), "oled\tOLED already open");
    }
    EXPECT_TRUE(camtest::waitFor([] { return openFiles() == 0; }));
    for (int i = 0; i < 20; ++i) {
        Fd c("/dev/oled");
        ASSERT_GE(c.fd, 0);
        ASSERT_EQ(call(c.fd, kFill, 0), 0);
    }
    EXPECT_TRUE(camtest::waitFor([] { return openFiles() == 0; }));
    EXPECT_EQ(dmesg().find("not opened"), std::string::npos);
}

TEST_F(BoardDevice, SeveralProcessesDrawInTurn) {
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0);
    ASSERT_EQ(call(oled.fd, kFill, 0), 0);
    std::vector<pid_t> kids;
    for (int k = 0; k < 4; ++k) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int fd = ::open("/dev/oled", O_RDWR);
            int bad = fd < 0;
            std::string s(1, char('1' + k));
            for (int i = 0; i < 10 && !bad; ++i) bad = text(fd, 2 + 24 * k, 16, 0, s.c_str()) != 0;
            _exit(bad);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Picture want = blank();
    for (int k = 0; k < 4; ++k) narrowText(want, 2 + 24 * k, 16, std::string(1, char('1' + k)).c_str());
    EXPECT_EQ(show(glass()), show(want));
}

struct RawSample {
    int32_t v[6];
};

TEST_F(BoardDevice, SensorReadReturnsTheSampleSetInTheRun) {
    vcam::DevCtl ctl;
    ctl.command("sensor 100 -2 16384 -164 7 32767");
    Fd g("/dev/gyrotap");
    ASSERT_GE(g.fd, 0) << strerror(errno);
    uint8_t buf[32];
    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(::read(g.fd, buf, sizeof buf), 0);  // 0, not 24
    RawSample s;
    std::memcpy(&s, buf, sizeof s);
    EXPECT_EQ(s.v[0], 100);
    EXPECT_EQ(s.v[1], -2);
    EXPECT_EQ(s.v[2], 16384);
    EXPECT_EQ(s.v[3], -164);
    EXPECT_EQ(s.v[4], 7);
    EXPECT_EQ(s.v[5], 32767);
    for (size_t i = 24; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0xAA) << i;

    ctl.command("sensor -200 0 0 0 0 -1");
    ASSERT_EQ(::read(g.fd, &s, sizeof s), 0);
    EXPECT_EQ(s.v[0], -200);
    EXPECT_EQ(s.v[5], -1);
    EXPECT_EQ(ctl.command("sensor"), "ax=-200 ay=0 az=0 temp=0 gx=0 gy=0 gz=-1");
    EXPECT_EQ(ctl.request("sensor 1 2 3 4 5 40000").compare(0, 3, "err"), 0);
}

TEST_F(BoardDevice, SensorRefusesShortBuffersAndOtherCalls) {
    Fd g("/dev/gyrotap");
    ASSERT_GE(g.fd, 0);
    uint8_t buf[23];
    std::memset(buf, 0x55, sizeof buf);
    errno = 0;
    EXPECT_EQ(::read(g.fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINVAL);
    for (uint8_t b : buf) EXPECT_EQ(b, 0x55);
    EXPECT_EQ(call(g.fd, kFill, 0), -ENOTTY);
    errno = 0;
    EXPECT_EQ(::write(g.fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(BoardDevice, AbsentSensorFailsTheRead) {
    vcam::DevCtl ctl;
    ctl.command("ack sensor off");
    Fd g("/dev/gyrotap");
    ASSERT_GE(g.fd, 0);
    RawSample s;
    std::memset(&s, 0x55, sizeof s);
    errno = 0;
    EXPECT_EQ(::read(g.fd, &s, sizeof s), -1);
    EXPECT_EQ(errno, EIO);
    for (int32_t v : s.v) EXPECT_EQ(v, 0x55555555);
    ctl.command("ack sensor on");
    ASSERT_EQ(::read(g.fd, &s, sizeof s), 0);
    EXPECT_NE(s.v[2], -1);
}

TEST_F(BoardDevice, UnpluggedNodesAreGoneUntilPluggedBack) {
    ASSERT_TRUE(camtest::unplugDevice("oled"));
    EXPECT_FALSE(camtest::unplugDevice("oled"));
    errno = 0;
    EXPECT_LT(::open("/dev/oled", O_RDWR), 0);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_TRUE(camtest::unplugDevice("gyrotap"));
    EXPECT_LT(::open("/dev/gyrotap", O_RDWR), 0);
    EXPECT_FALSE(camtest::unplugDevice("video0"));

    ASSERT_TRUE(camtest::plugDevice("oled"));
    ASSERT_TRUE(camtest::plugDevice("gyrotap"));
    EXPECT_FALSE(camtest::plugDevice("oled"));
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0);
    EXPECT_EQ(call(oled.fd, kFill, 1), 0);
    EXPECT_EQ(show(glass()), show(Picture(128 * 64, 1)));
    Fd g("/dev/gyrotap");
    ASSERT_GE(g.fd, 0);
    RawSample s;
    EXPECT_EQ(::read(g.fd, &s, sizeof s), 0);
    EXPECT_EQ(s.v[2], 16384);
}

TEST_F(BoardDevice, ScreenCommandWritesAPng) {
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0);
    ASSERT_EQ(call(oled.fd, kFill, 1), 0);
    camtest::removeFile("/tmp/panel.png");
    std::string cmd = "vcam-screen /tmp/panel.png 2";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string png = camtest::readFile("/tmp/panel.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto be32 = [&](size_t at) {
        return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
               uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
    };
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(be32(16), 256u);
    EXPECT_EQ(be32(20), 128u);
    EXPECT_NE(std::system("vcam-screen 3 2>/dev/null"), 0);
}

// popen of a command inside the camera: its output, "" when it failed
std::string output(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    return pclose(p) == 0 ? out : "";
}

TEST_F(BoardDevice, CommandsInsideTheCamera) {
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0);
    ASSERT_EQ(call(oled.fd, kFill, 0), 0);
    ASSERT_EQ(text(oled.fd, 0, 8, 0, "1"), 0);
    std::string raw = output("vcam-screen --raw");
    ASSERT_EQ(raw.size(), 6 + 64 * 129u) << raw;
    EXPECT_EQ(raw.substr(0, 6), "lit 1\n");
    Picture want = blank();
    narrowText(want, 0, 8, "1");
    std::string rows;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 128; ++x) rows += want[size_t(y * 128 + x)] ? '#' : '.';
        rows += '\n';
    }
    EXPECT_EQ(raw.substr(6), rows);

    EXPECT_EQ(output("vcam-sensor 1 -2 3 -4 5 -6"), "");
    EXPECT_EQ(output("vcam-sensor"), "ax=1\nay=-2\naz=3\ntemp=0\ngx=-4\ngy=5\ngz=-6\n");
    Fd g("/dev/gyrotap");
    RawSample s;
    ASSERT_EQ(::read(g.fd, &s, sizeof s), 0);
    EXPECT_EQ(s.v[1], -2);
    EXPECT_EQ(s.v[5], -6);
    EXPECT_NE(std::system("vcam-sensor 1 2 3 2>/dev/null"), 0);
    EXPECT_NE(output("vcam-devctl help").find("unplug|plug oled|gyrotap"), std::string::npos);
}

TEST_F(BoardDevice, IconTableHelpersFollowTheDriver) {
    // icon 14 of the table, drawn as the controller draws it
    Fd oled("/dev/oled");
    ASSERT_GE(oled.fd, 0);
    std::string f = camtest::readFile("/lib/resource/EnglishVer.bin");
    size_t at = 4;
    uint8_t x = 0, y = 0, w = 0, h = 0;
    std::string bits;
    for (int i = 0; i <= 14; ++i) {
        at += 1 + uint8_t(f[at]);
        x = uint8_t(f[at]), y = uint8_t(f[at + 1]), w = uint8_t(f[at + 2]), h = uint8_t(f[at + 3]);
        at += 4;
        bits = f.substr(at, size_t(w) * h / 8);
        at += bits.size();
    }
    ASSERT_EQ(call(oled.fd, kFill, 0), 0);
    EXPECT_FALSE(camtest::panelShowsIcon(camtest::readPanel(), 14));
    ASSERT_EQ(bitmap(oled.fd, x, y, w, h, reinterpret_cast<const uint8_t*>(bits.data())), 0);
    EXPECT_TRUE(camtest::panelShowsIcon(camtest::readPanel(), 14));
    EXPECT_TRUE(camtest::waitForIcon(14, std::chrono::milliseconds(100)));
    // one pixel off is not the icon
    std::string off = bits;
    off[0] = char(off[0] ^ 1);
    ASSERT_EQ(bitmap(oled.fd, x, y, w, h, reinterpret_cast<const uint8_t*>(off.data())), 0);
    EXPECT_FALSE(camtest::panelShowsIcon(camtest::readPanel(), 14));
    EXPECT_FALSE(camtest::panelShowsIcon(camtest::readPanel(), 100000));
    // a dark glass shows nothing
    ASSERT_EQ(bitmap(oled.fd, x, y, w, h, reinterpret_cast<const uint8_t*>(bits.data())), 0);
    camtest::Panel p = camtest::readPanel();
    p.lit = false;
    EXPECT_FALSE(camtest::panelShowsIcon(p, 14));
}

}  // namespace

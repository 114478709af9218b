// The virtual camera's board as its programs meet it: seeded files, mounts,
// sysfs values, buttons and LEDs, and the stand-in outside programs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/dameon_util.h"
#include "common/process_util.h"
#include "config/config_paths.h"
#include "config/tests/seeded_app_config.h"
#include "fifo_ipc/cmd_msg.h"
#include "fifo_ipc/fifo_paths.h"
#include "fifo_ipc/server_fifo.h"
#include "support/camtest.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string output(const std::string& cmd) { return readCmdOutput(cmd); }

// Runs argv and gives its exit status (-1 when it did not exit).
int status(const std::vector<std::string>& argv) {
    int st = pnocamera::runProcess(argv);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Reads one line from a non-blocking descriptor, waiting up to timeout_ms.
std::string readLine(int fd, int timeout_ms = 5000) {
    std::string line;
    char c;
    while (true) {
        ssize_t n = read(fd, &c, 1);
        if (n == 1) {
            if (c == '\n') return line;
            line += c;
            continue;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return line;
    }
}

TEST(Board, SeededFilesAreTheCamerasOwn) {
    expectSeededAppConfig();

    std::string ap = camtest::readFile(camera_paths::kApConf);
    EXPECT_TRUE(contains(ap, "\nssid=")) << ap;
    EXPECT_TRUE(contains(ap, "\nwpa_passphrase=")) << ap;
    for (const char* f :
         {camera_paths::kOffsetConf, camera_paths::kIdConf, camera_paths::kVersionTxt, camera_paths::kCounterConf})
        EXPECT_FALSE(camtest::readFile(f).empty()) << f;
    for (const char* f : {"/lib/resource/ChineseVer.bin", "/lib/resource/EnglishVer.bin"}) {
        struct stat st {};
        ASSERT_EQ(stat(f, &st), 0) << f;
        EXPECT_GT(st.st_size, 1024) << f;
    }
}

TEST(Board, MountsNodesAndKernel) {
    std::string mounts = camtest::readFile("/proc/mounts");
    EXPECT_TRUE(contains(mounts, " /sdcard ")) << mounts;
    camtest::writeFile("/sdcard/probe", "x");
    EXPECT_EQ(camtest::readFile("/sdcard/probe"), "x");
    for (const char* node : {"/dev/mmcblk1p1", "/dev/mmcblk1"}) {
        int fd = open(node, O_RDONLY);
        EXPECT_GE(fd, 0) << node;
        if (fd >= 0) close(fd);
    }
    EXPECT_TRUE(contains(camtest::readFile("/proc/version"), " #386 "));
    for (const char* dir : {"/log", "/preview", "/var/run", "/tmp"}) {
        std::string probe = std::string(dir) + "/probe";
        camtest::writeFile(probe, "y");
        EXPECT_EQ(camtest::readFile(probe), "y") << dir;
    }
    // Nothing of the host is writable.
    EXPECT_LT(open("/usr/vcam_probe", O_WRONLY | O_CREAT, 0644), 0);
}

TEST(Board, SysfsValuesCanBeChanged) {
    const std::string bat = "/sys/class/power_supply/battery/";
    EXPECT_EQ(camtest::readFile(bat + "capacity"), "80\n");
    EXPECT_EQ(camtest::readFile(bat + "voltage_now"), "3900000\n");
    EXPECT_EQ(camtest::readFile(bat + "status"), "Discharging\n");
    EXPECT_EQ(camtest::readFile("/sys/devices/platform/exynos-dwc3.0/vbus"), "0\n");
    EXPECT_EQ(camtest::readFile("/sys/devices/platform/exynos-dwc3.0/exynos-ss-udc.0/gadget/lun0/file"), "");
    EXPECT_EQ(camtest::readFile("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), "ondemand\n");

    EXPECT_EQ(status({"vcam-battery", "--capacity", "7", "--vbus", "1"}), 0);
    EXPECT_EQ(camtest::readFile(bat + "capacity"), "7\n");
    EXPECT_EQ(camtest::readFile("/sys/devices/platform/exynos-dwc3.0/vbus"), "1\n");
    EXPECT_NE(status({"vcam-battery", "--capacity", "many"}), 0);
    camtest::writeFile(bat + "status", "Full\n");
    EXPECT_EQ(camtest::readFile(bat + "status"), "Full\n");
}

TEST(Board, KeyBytesReachTheButtonDevice) {
    int fd = open("/dev/button", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(status({"vcam-key", "select", "next", "prev", "0x11"}), 0);
    unsigned char bytes[8] = {};
    ssize_t n = 0;
    ASSERT_TRUE(camtest::waitFor([&] {
        ssize_t r = read(fd, bytes + n, sizeof bytes - size_t(n));
        if (r > 0) n += r;
        return n >= 4;
    }));
    EXPECT_EQ(n, 4);
    EXPECT_EQ(bytes[0], 0x10);
    EXPECT_EQ(bytes[1], 0x20);
    EXPECT_EQ(bytes[2], 0x40);
    EXPECT_EQ(bytes[3], 0x11);
    EXPECT_NE(status({"vcam-key", "sideways"}), 0);
    close(fd);
}

TEST(Board, LedBytesAreReadBack) {
    EXPECT_EQ(output("vcam-led"), "led0 -\nled1 -\n");
    int fd = open("/dev/gpioLed", O_WRONLY);
    ASSERT_GE(fd, 0);
    const unsigned char bytes[] = {0x13, 0x22, 0x10};
    ASSERT_EQ(write(fd, bytes, sizeof bytes), ssize_t(sizeof bytes));
    close(fd);
    EXPECT_EQ(output("vcam-led"), "led0 0\nled1 2\n");
    EXPECT_EQ(output("vcam-led --raw"), "13\n22\n10\n");
}

TEST(StandIns, StreamingWorkerSpeaksTheFifoProtocol) {
    int read_fd = -1, write_fd = -1;
    ASSERT_TRUE(pnocamera::SetupServerCommunicate(pnocamera::kServerReadFifo, &read_fd, pnocamera::kServerWriteFifo,
                                                  &write_fd));
    std::vector<std::string> argv = {
        "realTimeStillGrab", "2", "false", "1440", "1440", "rtmp://x/live", "0", "0", "h", "1", "100", "100", "100"};
    pid_t pid = pnocamera::spawnProcess(argv);
    ASSERT_GT(pid, 0);
    std::string prepare = readLine(read_fd);
    EXPECT_EQ(prepare, R"({"cmd":"prepare","data":{"process":"realTimeStillGrab"}})");

    CmdMessage snap("snapshot");
    snap.AddDataMember<std::string>("filepath", "/sdcard/IMG_000009@3K.pnop");
    ASSERT_TRUE(pnocamera::WriteServerFifo(write_fd, snap.GetString()));
    std::string result = readLine(read_fd);
    EXPECT_TRUE(contains(result, R"("cmd":"snapshotResult")")) << result;
    EXPECT_TRUE(contains(result, R"("code":true)")) << result;
    std::string jpeg = camtest::readFile("/sdcard/IMG_000009@3K.pnop");
    ASSERT_GT(jpeg.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(jpeg[0]), 0xff);
    EXPECT_EQ(static_cast<unsigned char>(jpeg[1]), 0xd8);

    ASSERT_EQ(kill(pid, SIGINT), 0);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);

    std::string calls = camtest::readFile("/.vcam/calls.log");
    EXPECT_TRUE(contains(calls, "realTimeStillGrab 2 false 1440 1440 rtmp://x/live 0 0 h 1 100 100 100\n")) << calls;
    EXPECT_TRUE(contains(camtest::readFile("/.vcam/fifo.log"), "realTimeStillGrab " + snap.GetString()));

    // A control makes the next run end otherwise.
    ASSERT_EQ(status({"vcam-standin", "realTimeStillGrab", "exit_code=4"}), 0);
    pid = pnocamera::spawnProcess(argv);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(contains(readLine(read_fd), "prepare"));
    kill(pid, SIGINT);
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 4);
    EXPECT_EQ(status({"vcam-standin", "--clear", "realTimeStillGrab"}), 0);
    close(read_fd);
    close(write_fd);
}

TEST(StandIns, SystemToolsTouchNothingReal) {
    time_t before = time(nullptr);
    EXPECT_EQ(status({"date", "-s", "2001-02-03 04:05:06"}), 0);
    EXPECT_LT(std::labs(long(time(nullptr) - before)), 60L);
    EXPECT_TRUE(contains(camtest::readFile("/var/run/date.set"), "2001"));
    EXPECT_NE(status({"date", "-s", "not a date"}), 0);
    for (std::vector<std::string> argv : std::vector<std::vector<std::string>>{{"hwclock", "-w"},
                                                                               {"shutdown", "-h", "now"},
                                                                               {"mount", "/dev/mmcblk1p1", "/sdcard"},
                                                                               {"umount", "/sdcard"}}) {
        EXPECT_EQ(status(argv), 0) << argv[0];
        std::string line = argv[0];
        for (size_t i = 1; i < argv.size(); ++i) line += " " + argv[i];
        EXPECT_TRUE(contains(camtest::readFile("/.vcam/calls.log"), line + "\n")) << line;
    }
    // The card is still mounted and the sandbox still up.
    EXPECT_TRUE(contains(camtest::readFile("/proc/mounts"), " /sdcard "));
}

// Every icon the controller's screens draw is in both tables, inside the
// panel (the driver refuses a bitmap that reaches column 127).
TEST(Board, IconTablesHoldEveryIconTheScreensUse) {
    const std::vector<int> used = {0,  1,  3,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 22,
                                   23, 24, 25, 26, 27, 29, 30, 32, 33, 34, 35, 36, 37, 39, 45, 46, 47, 48, 50,
                                   52, 54, 58, 59, 60, 61, 63, 64, 65, 66, 68, 69, 70, 74, 75, 80, 81, 82, 83};
    for (const char* path : {"/lib/resource/ChineseVer.bin", "/lib/resource/EnglishVer.bin"}) {
        std::string t = camtest::readFile(path);
        ASSERT_GE(t.size(), 4u) << path;
        auto byte = [&](size_t i) { return static_cast<unsigned char>(t[i]); };
        uint32_t count = byte(0) | byte(1) << 8 | byte(2) << 16 | uint32_t(byte(3)) << 24;
        ASSERT_GT(count, 83u) << path;
        std::vector<std::string> names;
        size_t pos = 4;
        for (uint32_t i = 0; i < count; ++i) {
            ASSERT_LT(pos, t.size()) << path << " icon " << i;
            size_t n = byte(pos);
            ASSERT_LE(pos + 1 + n + 4, t.size()) << path << " icon " << i;
            std::string name = t.substr(pos + 1, n);
            pos += 1 + n;
            int x = byte(pos), y = byte(pos + 1), w = byte(pos + 2), h = byte(pos + 3);
            pos += 4 + size_t(w * h / 8);
            EXPECT_LE(x + w, 127) << path << " icon " << i;
            EXPECT_LE(y + h, 64) << path << " icon " << i;
            names.push_back(name);
        }
        EXPECT_EQ(pos, t.size()) << path;
        for (int icon : used) {
            ASSERT_LT(size_t(icon), names.size());
            EXPECT_NE(names[size_t(icon)].rfind("spare", 0), 0u) << path << " icon " << icon << " is a blank";
        }
    }
}

// A stand-in worker's FIFO end: no controller reads /tmp/server_read.fifo, so
// the worker keeps retrying its open (sleeping) until it is stopped.
pid_t startWorkerWithoutReader(const std::vector<std::string>& argv) {
    unlink(pnocamera::kServerReadFifo);
    if (mkfifo(pnocamera::kServerReadFifo, 0664) != 0) return -1;
    pid_t pid = pnocamera::spawnProcess(argv);
    if (pid <= 0) return pid;
    std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    if (!camtest::waitFor([&] { return contains(camtest::readFile(wchan), "nanosleep"); })) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

TEST(StandIns, WorkersStoppedWhileStartingEndWithZero) {
    for (const char* prog : {"mp4Spool", "realTimeStillGrab"}) status({"vcam-standin", "--clear", prog});
    for (std::vector<std::string> argv : std::vector<std::vector<std::string>>{
             {"mp4Spool", "2", "1440", "1440", "20000000", "0", "/sdcard/VID_000007@3K.pnov", "h", "100", "100", "100"},
             {"realTimeStillGrab", "2", "true", "960", "960", "rtmp://127.0.0.1/live/panorbit", "4000000", "0", "h",
              "1", "100", "100", "100"}}) {
        pid_t pid = startWorkerWithoutReader(argv);
        ASSERT_GT(pid, 0) << argv[0];
        ASSERT_EQ(kill(pid, SIGINT), 0);
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << argv[0] << " status " << st;
    }
    unlink(pnocamera::kServerReadFifo);
}

TEST(StandIns, RecorderSpeaksTheFifoProtocol) {
    int read_fd = -1, write_fd = -1;
    ASSERT_TRUE(pnocamera::SetupServerCommunicate(pnocamera::kServerReadFifo, &read_fd, pnocamera::kServerWriteFifo,
                                                  &write_fd));
    const std::string video = "/sdcard/VID_000003@3K.pnov";
    pid_t pid =
        pnocamera::spawnProcess({"mp4Spool", "2", "1440", "1440", "20000000", "0", video, "h", "100", "100", "100"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(readLine(read_fd), R"({"cmd":"prepare","data":{"process":"mp4Spool","filename":")" + video + "\"}}");
    EXPECT_TRUE(camtest::exists(video));
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_EQ(readLine(read_fd),
              R"({"cmd":"segmentFinish","data":{"process":"mp4Spool","filename":")" + video + "\"}}");
    close(read_fd);
    close(write_fd);
}

TEST(StandIns, BoardToolsAnswerAsTheControllerReadsThem) {
    // One camera bridge (vendor 114d, product 858a) per lens.
    std::string usb = output("lsusb");
    size_t bridges = 0;
    for (size_t at = usb.find("ID 114d:858a "); at != std::string::npos; at = usb.find("ID 114d:858a ", at + 1))
        ++bridges;
    EXPECT_EQ(bridges, 2u) << usb;

    // Extension-unit registers as name:value lines; a set value is kept; a lens
    // that is not there fails.
    EXPECT_EQ(status({"xuProbe", "-d", "/dev/video1", "-c", "gain=40"}), 0);
    std::string regs = output("xuProbe -d /dev/video1");
    EXPECT_TRUE(contains(regs, "\ngain:40\n")) << regs;
    EXPECT_TRUE(contains(regs, "\nshutter:")) << regs;
    EXPECT_FALSE(contains(output("xuProbe -d /dev/video0"), "gain:40"));
    EXPECT_NE(status({"xuProbe", "-d", "/dev/video2"}), 0);
    EXPECT_NE(status({"xuProbe", "-d", "/dev/video2", "-c", "gain=1"}), 0);

    // The time texts of a phone app, as the board's date takes them.
    for (const char* text : {"2016-05-12 10:20:30", "2016.05.12-10:20", "05.12-10:20:30", "0512102016.30"}) {
        EXPECT_EQ(status({"date", text}), 0) << text;
        EXPECT_TRUE(contains(camtest::readFile("/var/run/date.set"), std::string(text) + "\n")) << text;
    }
    for (const char* text : {"2016-13-12 10:20:30", "12:61", "soon", "not a time", "2026-13-45 99:99"}) {
        EXPECT_NE(status({"date", text}), 0) << text;
        EXPECT_FALSE(contains(camtest::readFile("/var/run/date.set"), std::string(text) + "\n")) << text;
    }

    // Pins and the access point leave their state where a test can read it.
    EXPECT_EQ(status({"gpioPoke", "5"}), 0);
    EXPECT_EQ(status({"gpioPoke", "7"}), 0);
    EXPECT_EQ(camtest::readFile("/var/run/gpio.state"), "fan=on\nusb=host\n");
    EXPECT_NE(status({"gpioPoke", "9"}), 0);
    EXPECT_EQ(status({"apSwitch", "up"}), 0);
    EXPECT_EQ(camtest::readFile("/var/run/apSwitch.state"), "up\n");
    EXPECT_EQ(status({"apSwitch", "down"}), 0);
    EXPECT_EQ(camtest::readFile("/var/run/apSwitch.state"), "down\n");
}

// Run with: --battery-capacity 5 --battery-status Charging --vbus 1
// --kernel-build none --sdcard none --lenses 1
TEST(Options, RunOptionsSetTheBoard) {
    if (!getenv("VCAM_OPTIONS_RUN")) GTEST_SKIP() << "runs with the options run";
    const std::string bat = "/sys/class/power_supply/battery/";
    EXPECT_EQ(camtest::readFile(bat + "capacity"), "5\n");
    EXPECT_EQ(camtest::readFile(bat + "status"), "Charging\n");
    EXPECT_EQ(camtest::readFile("/sys/devices/platform/exynos-dwc3.0/vbus"), "1\n");
    EXPECT_FALSE(contains(camtest::readFile("/proc/version"), "#"));
    EXPECT_FALSE(contains(camtest::readFile("/proc/mounts"), " /sdcard "));
    EXPECT_FALSE(camtest::exists("/dev/mmcblk1p1"));
    // Without a card the card's mount commands fail as on the board.
    EXPECT_EQ(status({"umount", "/sdcard"}), 32);
    EXPECT_EQ(status({"mount", "-o", "rw", "/dev/mmcblk1p1", "/sdcard"}), 32);
    EXPECT_TRUE(camtest::exists("/dev/video0"));
    EXPECT_FALSE(camtest::exists("/dev/video1"));
}

}  // namespace

// The real controller in the virtual camera, driven as the phone app and the
// board would: TCP lines, pushes to several clients, button bytes, SD card
// signals, battery values, worker lines on the FIFO and SIGINT.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fifo_ipc/fifo_paths.h"
#include "support/vcam_session.h"
#include "support/camtest.h"
#include "support/vcam_screen.h"

using camtest::readFile;
using camtest::waitFor;
using camtest::writeFile;
using camtest::Client;
using camtest::Process;

namespace {

void sh(const std::string& cmd) { ASSERT_EQ(system(cmd.c_str()), 0) << cmd; }

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        unlink("/var/run/shutdown.requested");
        camtest::clearCalls();
    }
    void startController(Process& p, const std::string& out = "/tmp/controller.out") {
        writeFile("/dev/gpioLed", "");
        camtest::start(p, {"controller", "-d"}, out);
        ASSERT_TRUE(camtest::waitForPort()) << p.output();
        ASSERT_TRUE(camtest::waitForStartUp(p.pid)) << p.output();
    }
    void stop(Process& p) {
        kill(p.pid, SIGINT);
        EXPECT_EQ(p.wait(), 0) << p.output();
    }
};

const char* kHeart = "{\"cmd\":\"heartTest\"}\n";
const char* kHeartReply = "{\"type\":\"heartTestResult\",\"code\":true}";

TEST_F(ControllerTest, ServesLinesAndPushesToEveryClient) {
    Process ctl;
    startController(ctl);
    Client a, b, c;
    ASSERT_TRUE(a.connected() && b.connected() && c.connected());
    ASSERT_TRUE(waitFor([&] { return ctl.output().find("new client connected3") != std::string::npos; }));
    // two commands in one segment, a CR before the LF, an empty line, noise
    ASSERT_TRUE(a.send(std::string(kHeart) + "{\"cmd\":\"queryState\"}\n\n{\"cmd\":\"heartTest\"}\r\nnot json\n"
                       "{\"cmd\":\"HeartTest\"}\n"));
    EXPECT_EQ(a.readLine(), kHeartReply);
    std::string state = "{\"type\":\"state\",\"code\":true,\"data\":{\"battery\":80,\"voltage\":3.9,"
                        "\"onCharge\":false,\"sdcardInsert\":true,\"sdcardSupported\":true,\"mode\":0}}";
    EXPECT_EQ(a.readLine(), state);
    EXPECT_EQ(b.readLine(), state);
    EXPECT_EQ(c.readLine(), state);
    EXPECT_EQ(a.readLine(), kHeartReply);
    EXPECT_TRUE(a.quiet());
    EXPECT_TRUE(b.quiet());

    sh("vcam-sdcard remove " + std::to_string(ctl.pid));
    for (Client* cl : {&a, &b, &c})
        EXPECT_EQ(cl->readLine(), "{\"type\":\"SDCardIsInsert\",\"code\":true,\"data\":{\"isInsert\":false,\"isSupported\":true}}");
    unlink("/sdcard/.panorbit");
    sh("vcam-sdcard insert " + std::to_string(ctl.pid));
    for (Client* cl : {&a, &b, &c})
        EXPECT_EQ(cl->readLine(), "{\"type\":\"SDCardIsInsert\",\"code\":true,\"data\":{\"isInsert\":true,\"isSupported\":true}}");
    EXPECT_TRUE(waitFor([] { return camtest::exists("/sdcard/.panorbit"); }));

    // a battery change shows in the next state push
    sh("vcam-battery --capacity 85 --voltage 3950000 --status Charging");
    ASSERT_TRUE(c.send("{\"cmd\":\"queryState\"}\n"));
    EXPECT_EQ(c.readLine(), "{\"type\":\"state\",\"code\":true,\"data\":{\"battery\":85,\"voltage\":3.95,"
                            "\"onCharge\":true,\"sdcardInsert\":true,\"sdcardSupported\":true,\"mode\":0}}");

    EXPECT_FALSE(camtest::exists("/var/run/camera.pid"));  // no pid file in the foreground
    stop(ctl);
    std::string log = ctl.output();
    EXPECT_NE(log.find("socket msg {\"cmd\":\"heartTest\"}"), std::string::npos);
    EXPECT_NE(log.find("cmd parse err"), std::string::npos);
    EXPECT_NE(log.find("new client connected3"), std::string::npos);
    EXPECT_NE(log.find("sdcard reject"), std::string::npos);
    EXPECT_NE(log.find("#######################Camera Startup######################"), std::string::npos);
    EXPECT_TRUE(camtest::called("gpioPoke 8"));
    EXPECT_TRUE(camtest::called("gpioPoke 6"));
}

TEST_F(ControllerTest, ClientLeavingIsLogged) {
    Process ctl;
    startController(ctl);
    {
        Client a;
        ASSERT_TRUE(a.send(kHeart));
        EXPECT_EQ(a.readLine(), kHeartReply);
    }
    EXPECT_TRUE(waitFor([&] { return ctl.output().find("client disconnected ..") != std::string::npos; }));
    Client b;
    ASSERT_TRUE(b.send(kHeart));
    EXPECT_EQ(b.readLine(), kHeartReply);
    stop(ctl);
}

TEST_F(ControllerTest, ButtonsAndWorkerLines) {
    Process ctl;
    startController(ctl);
    sh("vcam-key 0x11 0x21 prev next prev 0x30");
    EXPECT_TRUE(waitFor([&] {
        std::string out = ctl.output();
        size_t n = 0;
        for (size_t at = 0; (at = out.find("button pressed", at)) != std::string::npos; ++at) ++n;
        return n == 4;  // 0x11 and 0x21 are ignored, 0x30 is logged and does nothing
    })) << ctl.output();

    int fd = open(pnocamera::kServerReadFifo, O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::string lines = "{\"cmd\":\"prepare\",\"data\":{\"process\":\"stillGrab\"}}\n\n[1,2]\n";
    ASSERT_EQ(write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    close(fd);
    EXPECT_TRUE(waitFor([&] {
        std::string out = ctl.output();
        return out.find("fifo msg {\"cmd\":\"prepare\",\"data\":{\"process\":\"stillGrab\"}}") != std::string::npos &&
               out.find("parse_err No error.") != std::string::npos;
    })) << ctl.output();
    // a worker stand-in writes its line and ends; the controller keeps serving
    sh("sh -c 'sleep 0.1; echo \"{\\\"cmd\\\":\\\"prepare\\\",\\\"data\\\":{\\\"process\\\":\\\"mp4Spool\\\"}}\" > /tmp/server_read.fifo' &");
    EXPECT_TRUE(waitFor([&] { return ctl.output().find("\"process\":\"mp4Spool\"") != std::string::npos; }));
    Client a;
    ASSERT_TRUE(a.send(kHeart));
    EXPECT_EQ(a.readLine(), kHeartReply);
    stop(ctl);
}

TEST_F(ControllerTest, BatteryLed) {
    Process ctl;
    sh("vcam-battery --capacity 15 --status Discharging");
    startController(ctl);
    // LED 1: slow blink in colour 1 (0x21 lit, 0x20 dark)
    EXPECT_TRUE(waitFor([] { return readFile("/dev/gpioLed").find('\x21') != std::string::npos; },
                        std::chrono::seconds(5)));
    sh("vcam-battery --capacity 99 --status Charging");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    size_t mark = readFile("/dev/gpioLed").size();
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    std::string tail = readFile("/dev/gpioLed").substr(mark);
    // steady colour 2 on LED 1, LED 0 steady dark
    EXPECT_NE(tail.find('\x22'), std::string::npos);
    EXPECT_EQ(tail.find('\x20'), std::string::npos);
    EXPECT_EQ(tail.find('\x21'), std::string::npos);
    EXPECT_NE(tail.find('\x10'), std::string::npos);
    stop(ctl);
}

TEST_F(ControllerTest, LowPowerShutdown) {
    Process ctl;
    startController(ctl);
    sh("vcam-battery --capacity 2 --status Discharging");
    EXPECT_EQ(ctl.wait(std::chrono::seconds(10)), 0) << ctl.output();
    EXPECT_TRUE(camtest::exists("/var/run/shutdown.requested"));
    EXPECT_NE(ctl.output().find("auto shutdown due to low power 2 voltage3.9"), std::string::npos);
}

TEST_F(ControllerTest, UnreadableBatteryNeverShutsDown) {
    Process ctl;
    startController(ctl);
    unlink("/sys/class/power_supply/battery/capacity");
    unlink("/sys/class/power_supply/battery/voltage_now");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    Client a;
    ASSERT_TRUE(a.send("{\"cmd\":\"queryState\"}\n"));
    EXPECT_NE(a.readLine().find("\"battery\":0,\"voltage\":0.0"), std::string::npos);
    EXPECT_FALSE(camtest::exists("/var/run/shutdown.requested"));
    stop(ctl);
    writeFile("/sys/class/power_supply/battery/capacity", "80\n");
    writeFile("/sys/class/power_supply/battery/voltage_now", "3900000\n");
}

struct Snapshot {
    ino_t fifo_ino;
    time_t marker_mtime;
    size_t calls;
};

Snapshot snapshot() {
    struct stat f, m;
    stat(pnocamera::kServerReadFifo, &f);
    stat("/sdcard/.panorbit", &m);
    return {f.st_ino, m.st_mtime, camtest::calls().size()};
}

void ageMarker() {
    struct utimbuf old = {1000000, 1000000};
    utime("/sdcard/.panorbit", &old);
}

TEST_F(ControllerTest, SecondForegroundCopyChangesNothing) {
    Process first;
    startController(first);
    ageMarker();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Snapshot before = snapshot();
    Process second;
    camtest::start(second, {"controller", "-d"}, "/tmp/second.out");
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.output().find("bind"), std::string::npos) << second.output();
    Snapshot after = snapshot();
    EXPECT_EQ(after.fifo_ino, before.fifo_ino);
    EXPECT_EQ(after.marker_mtime, before.marker_mtime);
    EXPECT_EQ(after.calls, before.calls);  // no gpioPoke of the second copy
    Client a;
    ASSERT_TRUE(a.send(kHeart));
    EXPECT_EQ(a.readLine(), kHeartReply);
    stop(first);
}

std::string todayLog() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char path[64];
    snprintf(path, sizeof path, "/log/%d%02d%02d.log", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return path;
}

TEST_F(ControllerTest, DaemonModeAndSecondDaemon) {
    unlink(todayLog().c_str());
    Process launcher;
    camtest::start(launcher, {"controller"}, "/tmp/daemon.out");
    EXPECT_EQ(launcher.wait(), 0);
    ASSERT_TRUE(camtest::waitForPort());
    ASSERT_TRUE(waitFor([] { return camtest::exists("/var/run/camera.pid"); }));
    std::string pidText = readFile("/var/run/camera.pid");
    ASSERT_FALSE(pidText.empty());
    EXPECT_EQ(pidText.back(), '\0');
    pid_t daemon = std::stoi(pidText);
    ASSERT_TRUE(camtest::waitForStartUp(daemon));
    EXPECT_TRUE(waitFor([] { return readFile(todayLog()).find("Camera Startup") != std::string::npos; }));

    ageMarker();
    Snapshot before = snapshot();
    Process again;
    camtest::start(again, {"controller"}, "/tmp/daemon2.out");
    EXPECT_EQ(again.wait(), 0);
    EXPECT_TRUE(waitFor([] { return readFile(todayLog()).find("already running ....") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Snapshot after = snapshot();
    EXPECT_EQ(after.fifo_ino, before.fifo_ino);
    EXPECT_EQ(after.marker_mtime, before.marker_mtime);
    EXPECT_EQ(after.calls, before.calls);
    EXPECT_EQ(readFile("/var/run/camera.pid"), pidText);

    Client a;
    ASSERT_TRUE(a.send(kHeart));
    EXPECT_EQ(a.readLine(), kHeartReply);
    kill(daemon, SIGINT);
    EXPECT_TRUE(waitFor([daemon] { return kill(daemon, 0) != 0; }));
}

TEST_F(ControllerTest, MissingScreenStopsStartUp) {
    ASSERT_TRUE(camtest::unplugDevice("oled"));
    Process ctl;
    camtest::start(ctl, {"controller", "-d"}, "/tmp/noscreen.out");
    EXPECT_EQ(ctl.wait(), 1);
    EXPECT_NE(ctl.output().find("open screen err .."), std::string::npos);
    EXPECT_NE(ctl.output().find("[ oled_open ] ERR: open device failed"), std::string::npos);
    EXPECT_TRUE(camtest::plugDevice("oled"));
}

TEST_F(ControllerTest, PeerLimits) {
    Process ctl;
    startController(ctl);
    Client good;
    // a long but complete line is served
    std::string big = "{\"cmd\":\"heartTest\",\"data\":{\"pad\":\"" + std::string(60000, 'p') + "\"}}\n";
    ASSERT_TRUE(good.send(big));
    EXPECT_EQ(good.readLine(), kHeartReply);

    Client endless;
    ASSERT_TRUE(endless.send(std::string(70 * 1024, 'x')));
    EXPECT_TRUE(endless.closedByPeer());

    // a client that never reads its replies
    Client deaf;
    int small = 4096;
    setsockopt(deaf.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string burst;
    for (int i = 0; i < 20000; i++) burst += kHeart;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ctl.output().find("client output overflow") == std::string::npos &&
           std::chrono::steady_clock::now() < end) {
        ssize_t n = ::send(deaf.fd(), burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(ctl.output().find("client output overflow"), std::string::npos);
    EXPECT_TRUE(deaf.closedByPeer(std::chrono::seconds(10)));

    ASSERT_TRUE(good.send(kHeart));
    EXPECT_EQ(good.readLine(), kHeartReply);
    stop(ctl);
}

}  // namespace

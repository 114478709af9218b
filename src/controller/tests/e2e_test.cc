// The real controller in the virtual camera, driven as the phone app and the
// board would: TCP lines, pushes to several clients, button bytes, SD card
// signals, battery values, worker lines on the FIFO and SIGINT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_paths.h"
#include "fifo_ipc/fifo_paths.h"
#include "support/camtest.h"
#include "support/vcam_screen.h"
#include "support/vcam_session.h"

using camtest::Client;
using camtest::ledWrites;
using camtest::Process;
using camtest::readFile;
using camtest::sh;
using camtest::todayLog;
using camtest::waitFor;
using camtest::writeFile;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const char* kHeart = "{\"cmd\":\"heartTest\"}\n";
const char* kHeartReply = "{\"type\":\"heartTestResult\",\"code\":true}";

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        unlink("/var/run/shutdown.requested");
        camtest::clearCalls();
    }
    void startController(Process& p, const std::string& out = "/tmp/controller.out") {
        ASSERT_TRUE(camtest::startController(p, out)) << p.output();
    }
    void stop(Process& p) { EXPECT_EQ(camtest::stopController(p), 0) << p.output(); }
};

// One heartTest round trip on the client.
bool served(Client& c) { return c.send(kHeart) && c.readLine() == kHeartReply; }

// Starts the controller as a daemon; its pid once its start-up is done.
pid_t startDaemon() {
    Process launcher;
    camtest::start(launcher, {"controller"}, "/tmp/daemon.out");
    EXPECT_EQ(launcher.wait(), 0);
    if (!camtest::waitForPort() || !waitFor([] { return camtest::exists("/var/run/camera.pid"); })) return -1;
    pid_t daemon = std::stoi(readFile("/var/run/camera.pid"));
    return camtest::waitForStartUp(daemon) ? daemon : -1;
}

TEST_F(ControllerTest, ServesLinesAndPushesToEveryClient) {
    Process ctl;
    startController(ctl);
    Client a, b, c;
    ASSERT_TRUE(a.connected() && b.connected() && c.connected());
    ASSERT_TRUE(waitFor([&] { return ctl.output().find("new client connected3") != std::string::npos; }));
    // two commands in one segment, a CR before the LF, an empty line, noise
    camtest::expectErrorLine("parse_err Invalid value.");
    ASSERT_TRUE(a.send(std::string(kHeart) + "{\"cmd\":\"queryState\"}\n\n{\"cmd\":\"heartTest\"}\r\nnot json\n"
                                             "{\"cmd\":\"HeartTest\"}\n"));
    EXPECT_EQ(a.readLine(), kHeartReply);
    std::string state =
        "{\"type\":\"state\",\"code\":true,\"data\":{\"battery\":80,\"voltage\":3.9,"
        "\"onCharge\":false,\"sdcardInsert\":true,\"sdcardSupported\":true,\"mode\":0}}";
    EXPECT_EQ(a.readLine(), state);
    EXPECT_EQ(b.readLine(), state);
    EXPECT_EQ(c.readLine(), state);
    EXPECT_EQ(a.readLine(), kHeartReply);
    EXPECT_TRUE(a.quiet());
    EXPECT_TRUE(b.quiet());

    sh("vcam-sdcard remove " + std::to_string(ctl.pid));
    for (Client* cl : {&a, &b, &c})
        EXPECT_EQ(cl->readLine(),
                  "{\"type\":\"SDCardIsInsert\",\"code\":true,\"data\":{\"isInsert\":false,\"isSupported\":true}}");
    unlink("/sdcard/.panorbit");
    sh("vcam-sdcard insert " + std::to_string(ctl.pid));
    for (Client* cl : {&a, &b, &c})
        EXPECT_EQ(cl->readLine(),
                  "{\"type\":\"SDCardIsInsert\",\"code\":true,\"data\":{\"isInsert\":true,\"isSupported\":true}}");
    EXPECT_TRUE(waitFor([] { return camtest::exists("/sdcard/.panorbit"); }));

    // a battery change shows in the next state push
    sh("vcam-battery --capacity 85 --voltage 3950000 --status Charging");
    ASSERT_TRUE(c.send("{\"cmd\":\"queryState\"}\n"));
    EXPECT_EQ(c.readLine(),
              "{\"type\":\"state\",\"code\":true,\"data\":{\"battery\":85,\"voltage\":3.95,"
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
        EXPECT_TRUE(served(a));
    }
    EXPECT_TRUE(waitFor([&] { return ctl.output().find("client disconnected ..") != std::string::npos; }));
    Client b;
    EXPECT_TRUE(served(b));
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
    camtest::expectErrorLine("parse_err No error.");
    ASSERT_EQ(write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    close(fd);
    EXPECT_TRUE(waitFor([&] {
        std::string out = ctl.output();
        return out.find("fifo msg {\"cmd\":\"prepare\",\"data\":{\"process\":\"stillGrab\"}}") != std::string::npos &&
               out.find("parse_err No error.") != std::string::npos;
    })) << ctl.output();
    // a worker stand-in writes its line and ends; the controller keeps serving
    sh("sh -c 'echo \"{\\\"cmd\\\":\\\"prepare\\\",\\\"data\\\":{\\\"process\\\":\\\"mp4Spool\\\"}}\" > "
       "/tmp/server_read.fifo' &");
    EXPECT_TRUE(waitFor([&] { return ctl.output().find("\"process\":\"mp4Spool\"") != std::string::npos; }));

    // a line past the bound is dropped up to its end, the next one is taken
    camtest::expectErrorLine("fifo line too long, dropped");
    fd = open(pnocamera::kServerReadFifo, O_WRONLY);
    ASSERT_GE(fd, 0);
    auto writeAll = [fd](const std::string& text) {
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    };
    ASSERT_TRUE(writeAll(std::string(70 * 1024, ' ')));
    EXPECT_TRUE(ctl.waitForOutput("fifo line too long, dropped")) << ctl.output();
    ASSERT_TRUE(
        writeAll("{\"cmd\":\"prepare\",\"data\":{\"process\":\"tail\"}}\n"
                 "{\"cmd\":\"prepare\",\"data\":{\"process\":\"good\"}}\n"));
    close(fd);
    EXPECT_TRUE(ctl.waitForOutput("fifo msg {\"cmd\":\"prepare\",\"data\":{\"process\":\"good\"}}\n")) << ctl.output();
    EXPECT_EQ(camtest::countOf(ctl.output(), "\"process\":\"tail\""), 0u);
    EXPECT_EQ(camtest::countOf(ctl.output(), "fifo line too long, dropped"), 1u);
    Client a;
    EXPECT_TRUE(served(a));
    stop(ctl);
}

TEST_F(ControllerTest, BatteryLed) {
    Process ctl;
    sh("vcam-battery --capacity 15 --status Discharging");
    startController(ctl);
    // LED 1: slow blink in colour 1 (0x21 lit, 0x20 dark)
    EXPECT_TRUE(
        waitFor([] { return readFile("/dev/gpioLed").find('\x21') != std::string::npos; }, std::chrono::seconds(5)));
    sh("vcam-battery --capacity 99 --status Charging");
    ASSERT_TRUE(waitFor(
        [] {
            std::string w = ledWrites(1);
            return !w.empty() && w.back() == '\x22';
        },
        std::chrono::seconds(10)));
    // from then on steady colour 2 on LED 1 (no dark phase), LED 0 steady dark
    size_t mark = camtest::ledLogSize();
    ASSERT_TRUE(waitFor([&] { return !ledWrites(1, mark).empty() && !ledWrites(0, mark).empty(); }));
    EXPECT_EQ(ledWrites(1, mark).find_first_not_of('\x22'), std::string::npos);
    EXPECT_EQ(ledWrites(0, mark).find_first_not_of('\x10'), std::string::npos);
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
    // two periods of the 1-second timers: a tick has run in between
    size_t mark = camtest::ledLogSize();
    ASSERT_TRUE(waitFor([&] { return ledWrites(1, mark).size() >= 2; }));
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
    ASSERT_TRUE(waitFor([] { return camtest::called("gpioPoke 6"); }));  // its last start-up call
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
    EXPECT_TRUE(served(a));
    stop(first);
}

TEST_F(ControllerTest, DaemonModeAndSecondDaemon) {
    unlink(todayLog().c_str());
    pid_t daemon = startDaemon();
    ASSERT_GT(daemon, 0);
    std::string pidText = readFile("/var/run/camera.pid");
    EXPECT_EQ(pidText, std::to_string(daemon) + std::string(1, '\0'));
    EXPECT_TRUE(waitFor([] { return readFile(todayLog()).find("Camera Startup") != std::string::npos; }));

    ageMarker();
    Snapshot before = snapshot();
    Process again;
    camtest::expectErrorLine("can't lock /var/run/camera.pid :Resource temporarily unavailable");
    camtest::expectErrorLine("already running ....");
    camtest::start(again, {"controller"}, "/tmp/daemon2.out");
    EXPECT_EQ(again.wait(), 0);
    EXPECT_TRUE(waitFor([] { return readFile(todayLog()).find("already running ....") != std::string::npos; }));
    EXPECT_TRUE(waitFor([] { return camtest::countProcesses("controller") == 1; }));
    Snapshot after = snapshot();
    EXPECT_EQ(after.fifo_ino, before.fifo_ino);
    EXPECT_EQ(after.marker_mtime, before.marker_mtime);
    EXPECT_EQ(after.calls, before.calls);
    EXPECT_EQ(readFile("/var/run/camera.pid"), pidText);

    Client a;
    EXPECT_TRUE(served(a));
    kill(daemon, SIGINT);
    EXPECT_TRUE(waitFor([daemon] { return kill(daemon, 0) != 0; }));
}

TEST_F(ControllerTest, MissingScreenStopsStartUp) {
    ASSERT_TRUE(camtest::unplugDevice("oled"));
    camtest::expectErrorLine("open screen err ..");
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
    camtest::expectErrorLine("client line too long, dropping client");
    ASSERT_TRUE(endless.send(std::string(70 * 1024, 'x')));
    EXPECT_TRUE(endless.closedByPeer());

    // a line past the bound is refused the same behind other lines: those
    // before it are answered in order, then the client is dropped
    std::string over = "{\"cmd\":\"heartTest\",\"data\":{\"pad\":\"" + std::string(120000, 'p') + "\"}}\n";
    for (bool queued : {false, true}) {
        Client sender;
        std::string lines;
        for (int i = 0; queued && i < 200; i++) lines += kHeart;
        ASSERT_TRUE(sender.send(lines + over + kHeart));
        for (int i = 0; queued && i < 200; i++) ASSERT_EQ(sender.readLine(), kHeartReply) << i;
        EXPECT_TRUE(sender.closedByPeer()) << queued;
    }
    EXPECT_EQ(camtest::countOf(ctl.output(), "client line too long, dropping client"), 3u);

    // a client that never reads its replies
    Client deaf;
    camtest::expectErrorLine("client output overflow, dropping client");
    // (its receive buffer is left as it is: one shrunk after the connect
    // makes loopback TCP drop and back off for minutes under load)
    // each request asks for the whole configuration, so that its replies
    // pass the output bound after few requests however slowly they are
    // served; the sending goes on until the drop, with a margin no load
    // uses up
    std::string burst;
    for (int i = 0; i < 2000; i++) burst += "{\"cmd\":\"queryAppConfig\"}\n";
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kSanitized ? 600 : 300);
    while (ctl.output().find("client output overflow") == std::string::npos && std::chrono::steady_clock::now() < end) {
        ssize_t n = ::send(deaf.fd(), burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) continue;
        pollfd p{deaf.fd(), POLLOUT, 0};
        poll(&p, 1, 100);
    }
    EXPECT_NE(ctl.output().find("client output overflow"), std::string::npos);
    EXPECT_TRUE(deaf.closedByPeer(std::chrono::seconds(10)));

    // a phone that reads nothing meanwhile is not dropped for the 100,000
    // state pushes another client asks for: a newer state replaces one it
    // was not sent yet, and its own replies keep their order around them
    {
        Client slow("127.0.0.1", 64 * 1024);
        Client flood;
        ASSERT_TRUE(slow.send("{\"cmd\":\"queryID\"}\n"));
        std::string many;
        for (int i = 0; i < 100000; i++) many += "{\"cmd\":\"queryState\"}\n";
        size_t at = 0;
        char sink[65536];
        while (at < many.size()) {
            ssize_t n = ::send(flood.fd(), many.data() + at, many.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) at += static_cast<size_t>(n);
            pollfd p{flood.fd(), POLLIN, 100};
            if (poll(&p, 1, 100) > 0) {
                ASSERT_GT(recv(flood.fd(), sink, sizeof sink, 0), 0);
            }
        }
        ASSERT_TRUE(flood.send(kHeart));
        ASSERT_EQ(flood.readUntil(kHeartReply, std::chrono::seconds(kSanitized ? 600 : 300)), kHeartReply);
        ASSERT_TRUE(slow.send(kHeart));
        ASSERT_EQ(slow.readUntil(kHeartReply, std::chrono::seconds(60)), kHeartReply);
        const auto& got = slow.skipped();
        ASSERT_GE(got.size(), 2u);
        EXPECT_NE(got[0].find("\"type\":\"queryIDResult\""), std::string::npos);
        for (size_t i = 1; i < got.size(); i++) EXPECT_EQ(got[i].rfind("{\"type\":\"state\"", 0), 0u) << got[i];
        EXPECT_LT(got.size(), 100000u);
        EXPECT_EQ(camtest::countOf(ctl.output(), "client output overflow"), 1u);
    }

    // the other phone got the pushes too, then its answer
    ASSERT_TRUE(good.send(kHeart));
    EXPECT_EQ(good.readUntil(kHeartReply, std::chrono::seconds(60)), kHeartReply);
    EXPECT_TRUE(served(good));
    stop(ctl);
}

// The peer has closed the connection (nothing more to read).
bool closedNow(Client& c) {
    pollfd p{c.fd(), POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char byte;
    return recv(c.fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

bool closedFd(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

// Connections waiting in the accept queue of the camera's port 8888 (the
// receive queue of the listening socket in /proc/net/tcp).
int acceptQueue() {
    std::istringstream in(readFile("/proc/net/tcp"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, st, queues;
        f >> slot >> local >> remote >> st >> queues;
        if (st == "0A" && local.size() > 5 && local.substr(local.size() - 5) == ":22B8")
            return static_cast<int>(std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16));
    }
    return -1;
}

// A heartTest line of size bytes without its end ("\"}}\n").
std::string unfinishedHeart(size_t size) {
    std::string head = "{\"cmd\":\"heartTest\",\"data\":{\"pad\":\"";
    return head + std::string(size - head.size(), 'p');
}

// A connection to the camera from another loopback address, that sends
// nothing; -1 when it could not connect.
int silentFrom(const char* address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, address, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(8888);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(ControllerTest, FullHouseMakesRoomAndKeepsTheListener) {
    Process ctl;
    startController(ctl);
    // a phone that only listens for pushes: it never sends a byte
    Client listener;
    ASSERT_TRUE(ctl.waitForOutput("new client connected1"));
    // another host fills every other place with connections that send
    // nothing, and keeps opening more; they hang up with pushes unread
    camtest::expectErrorLine("too many clients, connection closed");
    std::vector<int> hostile;
    for (int i = 0; i < 63 + 20; i++) {
        if (i % 8 == 0) {
            ASSERT_TRUE(waitFor([] { return acceptQueue() == 0; }));
        }
        int fd = silentFrom("127.0.0.2");
        ASSERT_GE(fd, 0) << i;
        hostile.push_back(fd);
    }
    ASSERT_TRUE(waitFor([&] { return camtest::countOf(ctl.output(), "client disconnected ..") >= 20; }))
        << ctl.output();
    EXPECT_NE(ctl.output().find("too many clients, connection closed"), std::string::npos);
    // the oldest of the other host's went, the newest are in
    EXPECT_TRUE(waitFor([&] { return closedFd(hostile[0]); }));
    // a phone always gets in, and the listener still hears the pushes
    Client phone;
    EXPECT_TRUE(served(phone));
    ASSERT_TRUE(phone.send("{\"cmd\":\"queryState\"}\n"));
    EXPECT_NE(phone.readLine().find("\"type\":\"state\""), std::string::npos);
    EXPECT_NE(listener.readLine().find("\"type\":\"state\""), std::string::npos);
    EXPECT_TRUE(served(listener));
    EXPECT_EQ(camtest::countOf(ctl.output(), "new client connected65"), 0u);
    for (int fd : hostile) close(fd);
    stop(ctl);
}

// Newcomers from many addresses, as a station on the access point can have:
// a phone that talks keeps its place, a newcomer goes when every place is
// held by a connection that talks (one a peer address), and connections
// that never sent a line make room for a new phone.
TEST_F(ControllerTest, TalkingPhoneKeepsItsPlaceAgainstNewcomers) {
    Process ctl;
    startController(ctl);
    camtest::expectErrorLine("too many clients, connection closed");
    Client phone("127.0.0.2");
    ASSERT_TRUE(served(phone));
    std::vector<std::unique_ptr<Client>> comers;
    int next = 0;
    for (int round = 0; round < 6; round++) {
        // the phone talks once a round, the newcomers after it
        ASSERT_TRUE(served(phone)) << round;
        for (int i = 0; i < 20; i++, next++) {
            ASSERT_TRUE(waitFor([] { return acceptQueue() == 0; }));
            auto c = std::make_unique<Client>(("127.0.1." + std::to_string(next % 100 + 1)).c_str());
            if (served(*c)) comers.push_back(std::move(c));
            if (comers.size() > 62) comers.erase(comers.begin());
        }
        for (auto& c : comers) ASSERT_TRUE(served(*c)) << round;
    }
    ASSERT_TRUE(served(phone));
    // 63 talking of their own addresses and the phone: a newcomer goes
    while (comers.size() < 63) {
        ASSERT_TRUE(waitFor([] { return acceptQueue() == 0; }));
        auto c = std::make_unique<Client>(("127.0.2." + std::to_string(comers.size() + 1)).c_str());
        if (served(*c)) comers.push_back(std::move(c));
    }
    for (auto& c : comers) ASSERT_TRUE(served(*c));
    ASSERT_TRUE(served(phone));
    {
        Client late("127.0.0.5");
        EXPECT_TRUE(late.closedByPeer());
    }
    EXPECT_TRUE(served(phone));

    // connections that never sent a line, each of its own address, make
    // room for a new phone; so do talking ones of one address
    size_t gone = camtest::countOf(ctl.output(), "client disconnected ..");
    size_t leaving = comers.size();
    comers.clear();
    ASSERT_TRUE(waitFor([&] { return camtest::countOf(ctl.output(), "client disconnected ..") >= gone + leaving; }));
    std::vector<int> silent;
    for (int i = 0; i < 63 + 5; i++) {
        if (i % 8 == 0) {
            ASSERT_TRUE(waitFor([] { return acceptQueue() == 0; }));
        }
        int fd = silentFrom(("127.0.3." + std::to_string(i + 1)).c_str());
        ASSERT_GE(fd, 0) << i;
        silent.push_back(fd);
    }
    Client phone2("127.0.0.3");
    EXPECT_TRUE(served(phone2));
    for (int i = 0; i < 63; i++) {
        if (i % 8 == 0) {
            ASSERT_TRUE(waitFor([] { return acceptQueue() == 0; }));
        }
        comers.push_back(std::make_unique<Client>("127.0.0.4"));
        ASSERT_TRUE(served(*comers.back())) << i;
    }
    Client phone3("127.0.0.6");
    EXPECT_TRUE(served(phone3));
    EXPECT_TRUE(served(phone2));
    EXPECT_TRUE(served(phone));
    for (int fd : silent) close(fd);
    stop(ctl);
}

// Position of the n-th (from 1) occurrence of part in text, npos if fewer.
size_t nthOf(const std::string& text, const std::string& part, size_t n) {
    size_t at = std::string::npos;
    for (size_t from = 0; n > 0; --n, from = at + 1) {
        at = text.find(part, from);
        if (at == std::string::npos) return at;
    }
    return at;
}

// Runs of the lens listing tool so far.
size_t xuProbeRuns() { return camtest::callsStartingWith("xuProbe -d /dev/video"); }

TEST_F(ControllerTest, FloodOfLensQueriesIsServedFairly) {
    // the first lens listing waits at a gate the test opens, so the flood is
    // surely under way while the other client asks
    camtest::usePrivateBin();
    unlink("/tmp/lens.gate");
    unlink("/tmp/lens.asked");
    camtest::writeScript("v4l2-ctl",
                         "touch /tmp/lens.asked\ni=0\n"
                         "while [ ! -e /tmp/lens.gate ] && [ $i -lt 6000 ]; do sleep 0.01; i=$((i+1)); done\n"
                         "exec /usr/bin/v4l2-ctl \"$@\"");
    Process ctl;
    startController(ctl);
    Client flood, other;
    ASSERT_TRUE(served(flood) && served(other));
    std::string hundred;
    for (int i = 0; i < 100; i++) hundred += "{\"cmd\":\"queryCamera2\"}\n";
    ASSERT_TRUE(flood.send(hundred));
    ASSERT_TRUE(waitFor([] { return camtest::exists("/tmp/lens.asked"); }, std::chrono::seconds(30)));
    ASSERT_TRUE(other.send(std::string(kHeart) + "{\"cmd\":\"queryState\"}\n"));
    camtest::writeFile("/tmp/lens.gate", "");
    EXPECT_EQ(other.readLine(std::chrono::seconds(30)), kHeartReply);
    // the state push the other asked for reaches the flooding client before
    // its 100th answer, and the log shows the heartTest handled before it
    std::string last = flood.readUntil("\"type\":\"state\"", std::chrono::seconds(30));
    ASSERT_NE(last, "");
    size_t before = flood.skipped().size();
    EXPECT_LT(before, 100u);
    for (size_t i = before; i < 100; i++)
        EXPECT_NE(flood.readLine(std::chrono::seconds(30)).find("queryCamera2Result"), std::string::npos);
    std::string log = ctl.output();
    size_t heart_at =
        log.find("socket msg {\"cmd\":\"heartTest\"}", nthOf(log, "socket msg {\"cmd\":\"queryCamera2\"}", 1));
    // at most the gated line and two turns of the flood's lines (four a
    // turn) come first
    EXPECT_LT(heart_at, nthOf(log, "socket msg {\"cmd\":\"queryCamera2\"}", 10)) << log;
    // never more than one program per lens and request (two lenses); how
    // often an answer is given again depends on the reuse window, which the
    // in-process lens query test sets
    size_t runs = xuProbeRuns();
    EXPECT_GE(runs, 2u);
    EXPECT_LE(runs, 200u);
    // a command that may change the lenses asks them again at once
    ASSERT_TRUE(
        flood.send("{\"cmd\":\"setCamera\",\"data\":{\"index\":0,\"property\":\"brightness\",\"value\":3}}\n"
                   "{\"cmd\":\"queryCamera2\"}\n"));
    EXPECT_EQ(flood.readLine(), camtest::reply("setCameraResult", true));
    EXPECT_NE(flood.readLine().find("queryCamera2Result"), std::string::npos);
    EXPECT_EQ(xuProbeRuns(), runs + 2);

    // a client that leaves with lines waiting: every one of them is run,
    // in order, in the normal turns beside the other client's
    unlink("/tmp/lens.gate");
    unlink("/tmp/lens.asked");
    ASSERT_TRUE(flood.send("{\"cmd\":\"setAudioDenoise\",\"data\":{\"open\":true}}\n"));
    EXPECT_EQ(flood.readLine(), camtest::reply("setAudioDenoiseResult", true));
    size_t asked = camtest::countOf(ctl.output(), "socket msg {\"cmd\":\"queryCamera2\"}");
    {
        Client leaving;
        ASSERT_TRUE(leaving.send(hundred + "{\"cmd\":\"heartTest\",\"data\":{\"last\":1}}\n"));
        ASSERT_TRUE(waitFor([] { return camtest::exists("/tmp/lens.asked"); }, std::chrono::seconds(30)));
    }
    ASSERT_TRUE(other.send(kHeart));
    camtest::writeFile("/tmp/lens.gate", "");
    EXPECT_EQ(other.readUntil(kHeartReply), kHeartReply);
    ASSERT_TRUE(ctl.waitForOutput("socket msg {\"cmd\":\"heartTest\",\"data\":{\"last\":1}}"));
    EXPECT_TRUE(ctl.waitForOutput("client disconnected .."));
    std::string after = ctl.output();
    EXPECT_EQ(camtest::countOf(after, "socket msg {\"cmd\":\"queryCamera2\"}"), asked + 100);
    EXPECT_GT(after.find("socket msg {\"cmd\":\"heartTest\",\"data\":{\"last\":1}}"),
              nthOf(after, "socket msg {\"cmd\":\"queryCamera2\"}", asked + 100));
    EXPECT_TRUE(served(other));

    // a client that is gone (a reset) while its lines wait: those that only
    // read and answer it are not run, those with effects are, in order
    unlink("/tmp/lens.gate");
    unlink("/tmp/lens.asked");
    size_t runs_before = xuProbeRuns();
    {
        Client gone;
        std::string lines;
        // each setting makes the next lens query ask the lenses again
        for (int i = 1; i <= 30; i++)
            lines +=
                "{\"cmd\":\"queryCamera2\"}\n{\"cmd\":\"setUserProperty\",\"data\":{\"key\":\"gone\",\"value\":\"" +
                std::to_string(i) + "\"}}\n";
        ASSERT_TRUE(gone.send(lines));
        ASSERT_TRUE(waitFor([] { return camtest::exists("/tmp/lens.asked"); }, std::chrono::seconds(30)));
        linger abort{1, 0};
        ASSERT_EQ(setsockopt(gone.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    }
    camtest::writeFile("/tmp/lens.gate", "");
    ASSERT_TRUE(
        ctl.waitForOutput("socket msg {\"cmd\":\"setUserProperty\",\"data\":{\"key\":\"gone\",\"value\":\"30\"}}"));
    ASSERT_TRUE(other.send("{\"cmd\":\"queryUserProperty\",\"data\":{\"key\":\"gone\"}}\n"));
    EXPECT_NE(other.readUntil("queryUserPropertyResult").find("\"value\":\"30\""), std::string::npos);
    // the reset is seen at the latest after the turn of the gated line (at
    // most four lines, two lens queries, of two lenses each); before, every
    // one of the 30 asked the lenses
    EXPECT_LE(xuProbeRuns(), runs_before + 4);
    EXPECT_TRUE(served(other));
    stop(ctl);
    unlink("/tmp/bin/v4l2-ctl");
}

// Clients that send and leave at once, as a shell's /dev/tcp redirection
// or "nc -N" does: every complete line they sent is run, and one that only
// shut its sending side reads all its replies before the controller closes.
TEST_F(ControllerTest, ClientsThatLeaveAtOnceHaveEveryLineRun) {
    Process ctl;
    startController(ctl);
    camtest::expectErrorLine("error on read event");
    writeFile("/tmp/send.sh",
              "for i in 0 1 2 3 4 5 6 7 8 9; do\n"
              "  echo '{\"cmd\":\"setUserProperty\",\"data\":{\"key\":\"k'$i'\",\"value\":\"v'$i'\"}}' "
              "> /dev/tcp/127.0.0.1/8888\n"
              "done\n");
    sh("bash /tmp/send.sh");
    EXPECT_TRUE(waitFor([&] { return camtest::countOf(ctl.output(), "client disconnected ..") >= 10; }))
        << ctl.output();
    Client phone;
    for (int i = 0; i < 10; i++) {
        std::string k = std::to_string(i);
        ASSERT_TRUE(phone.send("{\"cmd\":\"queryUserProperty\",\"data\":{\"key\":\"k" + k + "\"}}\n"));
        EXPECT_NE(phone.readLine().find("\"value\":\"v" + k + "\""), std::string::npos) << k;
    }

    // a photo asked for by a client that is gone by then
    writeFile("/tmp/send.sh", "echo '{\"cmd\":\"takePhoto\",\"data\":{}}' > /dev/tcp/127.0.0.1/8888\n");
    sh("bash /tmp/send.sh");
    EXPECT_EQ(phone.readLine(), camtest::stateChanged(0));
    EXPECT_EQ(phone.readLine(), camtest::stateChanged(1));
    EXPECT_EQ(phone.readLine(std::chrono::seconds(60)), camtest::stateChanged(0));
    EXPECT_NE(ctl.output().find(" exit from takephoto success"), std::string::npos);
    EXPECT_TRUE(camtest::exists("/sdcard/IMG_000001@3K.pnop"));

    // a half-closed client: every reply, in order, then the end
    for (int round = 0; round < 10; round++) {
        Client half;
        ASSERT_TRUE(half.send(std::string(kHeart) + "{\"cmd\":\"queryID\"}\n" + kHeart));
        ASSERT_EQ(shutdown(half.fd(), SHUT_WR), 0);
        EXPECT_EQ(half.readLine(), kHeartReply) << round;
        EXPECT_NE(half.readLine().find("\"type\":\"queryIDResult\""), std::string::npos) << round;
        EXPECT_EQ(half.readLine(), kHeartReply) << round;
        EXPECT_TRUE(half.closedByPeer()) << round;
    }

    // more than the controller reads ahead, then the end: the end is seen
    // once the turns have made room, and every reply comes
    {
        Client many;
        std::string lines;
        for (int i = 0; i < 8000; i++) lines += kHeart;
        ASSERT_GT(lines.size(), 128u * 1024);
        ASSERT_TRUE(many.send(lines));
        ASSERT_EQ(shutdown(many.fd(), SHUT_WR), 0);
        for (int i = 0; i < 8000; i++) ASSERT_EQ(many.readLine(), kHeartReply) << i;
        EXPECT_TRUE(many.closedByPeer());
    }

    // a reset right behind the lines: they reached the camera, so they run
    size_t gone = camtest::countOf(ctl.output(), "client disconnected ..");
    {
        Client reset;
        ASSERT_TRUE(
            reset.send("{\"cmd\":\"setUserProperty\",\"data\":{\"key\":\"reset\",\"value\":\"1\"}}\n"
                       "{\"cmd\":\"setUserProperty\",\"data\":{\"key\":\"reset\",\"value\":\"2\"}}\n"));
        linger abort{1, 0};
        ASSERT_EQ(setsockopt(reset.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    }
    ASSERT_TRUE(waitFor([&] { return camtest::countOf(ctl.output(), "client disconnected ..") > gone; }));
    ASSERT_TRUE(phone.send("{\"cmd\":\"queryUserProperty\",\"data\":{\"key\":\"reset\"}}\n"));
    EXPECT_NE(phone.readLine().find("\"value\":\"2\""), std::string::npos);

    // a last line without its end is not run; the lines before it are
    gone = camtest::countOf(ctl.output(), "client disconnected ..");
    {
        Client cut;
        ASSERT_TRUE(
            cut.send("{\"cmd\":\"setUserProperty\",\"data\":{\"key\":\"cut\",\"value\":\"1\"}}\n"
                     "{\"cmd\":\"setUserProperty\",\"data\":{\"key\":\"cut\",\"value\":\"2\"}}"));
    }
    ASSERT_TRUE(waitFor([&] { return camtest::countOf(ctl.output(), "client disconnected ..") > gone; }));
    ASSERT_TRUE(phone.send("{\"cmd\":\"queryUserProperty\",\"data\":{\"key\":\"cut\"}}\n"));
    EXPECT_NE(phone.readLine().find("\"value\":\"1\""), std::string::npos);
    EXPECT_TRUE(served(phone));
    // the ten, the reset client's two, and of the cut client only its
    // complete line
    EXPECT_EQ(camtest::countOf(ctl.output(), "socket msg {\"cmd\":\"setUserProperty\""), 13u);
    stop(ctl);
}

TEST_F(ControllerTest, FloodOfUnfinishedLines) {
    Process ctl;
    startController(ctl);
    Client good;
    ASSERT_TRUE(served(good));
    long before = camtest::residentKiB(ctl.pid);
    ASSERT_GT(before, 0);

    // 200 peers each with an unfinished 65000-byte line: past the bound on
    // all unfinished input the peers holding the most are dropped
    camtest::expectErrorLine("client input over the bound, dropping client");
    std::vector<std::unique_ptr<Client>> flood;
    for (int i = 0; i < 200; i++) {
        // the listener's backlog holds 10: a connection past it would wait
        // for the client's SYN retry
        if (i % 8 == 0) {
            ASSERT_TRUE(waitFor([] { return acceptQueue() == 0; }));
        }
        flood.push_back(std::make_unique<Client>());
        flood.back()->send(unfinishedHeart(65000));
    }
    EXPECT_TRUE(served(good));
    EXPECT_TRUE(ctl.waitForOutput("client input over the bound, dropping client"));
    long peak = camtest::residentKiB(ctl.pid);
    // the sanitizers' allocator keeps freed memory for itself: the bounds
    // are those of the C library's
    if (!kSanitized) {
        EXPECT_LT(peak, before + 16 * 1024);
    }

    // each peer still connected finishes its line and is answered
    int answered = 0, closed = 0;
    for (auto& c : flood) {
        if (closedNow(*c) || !c->send("\"}}\n")) {
            ++closed;
            continue;
        }
        std::string line = c->readLine();
        if (line.empty())
            ++closed;
        else if (line == kHeartReply)
            ++answered;
        else
            ADD_FAILURE() << line;
    }
    EXPECT_GE(answered, 20);
    EXPECT_GE(closed, 1);
    EXPECT_EQ(answered + closed, 200);

    // with the flood gone the memory goes back
    flood.clear();
    if (!kSanitized) {
        EXPECT_TRUE(waitFor([&] { return camtest::residentKiB(ctl.pid) <= before + 2048; }))
            << "before " << before << " KiB, peak " << peak << " KiB, now " << camtest::residentKiB(ctl.pid) << " KiB";
    }
    EXPECT_TRUE(served(good));
    stop(ctl);
}

// Texts of clients, workers and files reach the log escaped: none of them
// can write a log record of its own or a terminal control.
TEST_F(ControllerTest, ReceivedLinesAreLoggedEscapedAndCut) {
    const std::string forged = "E20261209 00:00:00.000000 4 fake.cc:1] forged line";
    const std::string version = readFile(camera_paths::kVersionTxt);
    const std::string config = readFile(camera_paths::kAppConfig);
    writeFile(camera_paths::kVersionTxt, "V1\x1b[2J build\n");
    std::string odd = config;
    size_t at = odd.find("\"orientation\": \"h\"");
    ASSERT_NE(at, std::string::npos) << config;
    odd.insert(at + 17, "\\n" + forged);
    writeFile(camera_paths::kAppConfig, odd);
    Process ctl;
    startController(ctl);
    Client a;
    std::string binary = std::string("\x01\xff\x1b[2J\xc3\xa9", 8) + std::string(300, 'z');
    camtest::expectErrorLine("parse_err Invalid value.");
    ASSERT_TRUE(a.send(binary + "\n" + std::string("{\"cmd\":\"heartTest\"}\n")));
    EXPECT_EQ(a.readLine(), kHeartReply);
    EXPECT_TRUE(
        ctl.waitForOutput("socket msg \\x01\\xFF\\x1B[2J\xc3\xa9" + std::string(248, 'z') + "... (308 bytes)\n"))
        << ctl.output();
    EXPECT_NE(ctl.output().find("socket msg {\"cmd\":\"heartTest\"}\n"), std::string::npos);
    EXPECT_NE(ctl.output().find("module version V1\\x1B[2J\n"), std::string::npos) << ctl.output();

    // a refused time text holds a line end
    camtest::expectErrorLine("refused time text ");
    ASSERT_TRUE(a.send("{\"cmd\":\"syncTime\",\"data\":{\"time\":\"x\\n" + forged + "\"}}\n"));
    EXPECT_EQ(a.readLine(), camtest::refusal("syncTimeResult", "invalid time"));
    EXPECT_TRUE(ctl.waitForOutput("] refused time text x\\x0A" + forged + "\n")) << ctl.output();

    // a worker's line with control bytes, the configured orientation in a
    // worker's arguments, the file name a worker reports
    int fd = open(pnocamera::kServerReadFifo, O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::string line = "{\"cmd\":\"prepare\",\r\t\"data\":{\"process\":\"stillGrab\"}}\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    EXPECT_TRUE(ctl.waitForOutput("fifo msg {\"cmd\":\"prepare\",\\x0D\\x09\"data\":{\"process\":\"stillGrab\"}}\n"))
        << ctl.output();
    sh("vcam-standin mp4Spool prepare=0");
    ASSERT_TRUE(a.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(a.readUntil("startRecordResult"), camtest::reply("startRecordResult", true));
    EXPECT_TRUE(ctl.waitForOutput(" h\\x0A" + forged + " 100 100 100 pid ")) << ctl.output();
    line = "{\"cmd\":\"prepare\",\"data\":{\"process\":\"mp4Spool\",\"filename\":\"/sdcard/x\\n" + forged + "\"}}\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
    EXPECT_TRUE(ctl.waitForOutput(" cur file name :/sdcard/x\\x0A" + forged + "\n")) << ctl.output();
    ASSERT_TRUE(a.send("{\"cmd\":\"stopRecord\"}\n"));
    EXPECT_EQ(a.readUntil("stopRecordResult"), camtest::reply("stopRecordResult", true));
    stop(ctl);
    sh("vcam-standin --clear mp4Spool");
    writeFile(camera_paths::kVersionTxt, version);
    writeFile(camera_paths::kAppConfig, config);
    EXPECT_EQ(camtest::countOf(ctl.output(), "\x1b"), 0u);  // no raw control byte reaches the log
    EXPECT_EQ(camtest::countOf(ctl.output(), "\r"), 0u);
    EXPECT_EQ(camtest::countOf(ctl.output(), "\n" + forged), 0u) << ctl.output();
}

TEST_F(ControllerTest, DaemonLogFileStaysBounded) {
    unlink(todayLog().c_str());
    pid_t daemon = startDaemon();
    ASSERT_GT(daemon, 0);

    // 6 MB of garbage lines, each logged in at most 256 bytes and its length
    camtest::expectErrorLine("parse_err Invalid value.");
    Client a;
    std::string garbage;
    for (int i = 0; i < 1000; i++) garbage += std::string(1000, '\x07') + "\n";
    for (int i = 0; i < 6; i++) ASSERT_TRUE(a.send(garbage));
    ASSERT_TRUE(a.send("{\"cmd\":\"heartTest\",\"data\":{\"last\":1}}\n"));
    EXPECT_EQ(a.readLine(), kHeartReply);
    const size_t limit = 4u << 20;
    EXPECT_TRUE(waitFor([&] {
        std::string log = readFile(todayLog());
        return log.size() <= limit && log.find("\"last\":1") != std::string::npos;
    })) << readFile(todayLog()).size();
    std::string log = readFile(todayLog());
    EXPECT_NE(log.find("... (1000 bytes)"), std::string::npos);
    EXPECT_EQ(log.find('\x07'), std::string::npos);
    // the daemon goes on writing the same file
    ASSERT_TRUE(a.send("{\"cmd\":\"heartTest\",\"data\":{\"after\":1}}\n"));
    EXPECT_EQ(a.readLine(), kHeartReply);
    EXPECT_TRUE(waitFor([] { return readFile(todayLog()).find("\"after\":1") != std::string::npos; }));
    kill(daemon, SIGINT);
    EXPECT_TRUE(waitFor([daemon] { return kill(daemon, 0) != 0; }));
}

}  // namespace

// The controller's context in one process: client protocol and pushes over
// socket pairs, the tick's battery, LED, low-power and USB rules, button
// dispatch and the stop of the current job.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <gtest/gtest.h>

#include "controller/controller_context.h"
#include "controller/state/CameraState.h"
#include "controller/tick.h"
#include "device/oled.h"
#include "in_process.h"
#include "support/camtest.h"
#include "support/vcam_session.h"

using camtest::readFile;
using camtest::writeFile;

namespace {

// A state that records what the loop asked of it.
class FakeState : public CameraState {
public:
    FakeState(std::vector<std::string>& log, int type) : log_(log), type_(type) {}
    void show() override { log_.push_back("show"); }
    void clear() override { log_.push_back("clear"); }
    void handCmdInput(CmdMessage const&) override { log_.push_back("cmd"); }
    void handleSigChild() override { log_.push_back("child"); }
    int type() const override { return type_; }
    void handleButton0() override { log_.push_back("b0"); }
    void handleButton1() override {
        log_.push_back("b1");
        if (on_select_) on_select_();
    }
    void handleButton2() override { log_.push_back("b2"); }

    std::function<void()> on_select_;

private:
    std::vector<std::string>& log_;
    int type_;
};

const std::string kBattery = "/sys/class/power_supply/battery/";

void battery(const std::string& capacity, const std::string& microvolts, const std::string& status) {
    writeFile(kBattery + "capacity", capacity + "\n");
    writeFile(kBattery + "voltage_now", microvolts + "\n");
    writeFile(kBattery + "status", status + "\n");
}

class LoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        camtest::usePrivateBin();
        camtest::writeFile("/dev/oled", "");
        ASSERT_GE(oled_open("/lib/resource/EnglishVer.bin"), 0);
        ctl_ = std::make_unique<InProcessController>();
        ctx_ = &ctl_->ctx();
        setState(0);
        battery("80", "3900000", "Discharging");
        camtest::clearCalls();
        unlink("/var/run/shutdown.requested");
    }
    void TearDown() override {
        ctl_.reset();
        oled_close();
    }

    void setState(int type) {
        calls_.clear();
        ctx_->state_ = std::make_shared<FakeState>(calls_, type);
    }

    // A connected client; returns the peer's descriptor.
    int addClient() {
        bufferevent* bev = nullptr;
        int fd = ctl_->addClient(&bev);
        bevs_.push_back(bev);
        return fd;
    }
    void spin() { ctl_->spin(); }
    std::string received(int fd) { return ctl_->received(fd); }

    std::unique_ptr<InProcessController> ctl_;
    Context* ctx_ = nullptr;
    std::vector<std::string> calls_;
    std::vector<bufferevent*> bevs_;
};

TEST_F(LoopTest, CommandTable) {
    const auto& map = ClientHandler::cmd_function_map_;
    EXPECT_EQ(map.size(), 35u);
    for (const char* name : {"listFile",
                             "queryState",
                             "takePhoto",
                             "startRecord",
                             "stopRecord",
                             "startLive",
                             "stopLive",
                             "deleteFile",
                             "queryCamera",
                             "setCamera",
                             "startPreview",
                             "stopPreview",
                             "realtimeSnapshot",
                             "querySDCard",
                             "queryCamera2",
                             "queryKernelVersion",
                             "listLog",
                             "queryStatistic",
                             "changeAPPassword",
                             "heartTest",
                             "bulkDelete",
                             "setOffset",
                             "queryOffset",
                             "setID",
                             "queryID",
                             "syncTime",
                             "startRecordPreview",
                             "stopRecordPreview",
                             "queryVersion",
                             "takeGainPhoto",
                             "queryAppConfig",
                             "setUserProperty",
                             "queryUserProperty",
                             "setAutoExposureParam",
                             "setAudioDenoise"})
        EXPECT_EQ(map.count(name), 1u) << name;
}

TEST_F(LoopTest, HeartTestAndSilentLines) {
    int peer = addClient();
    ClientHandler& h = ctx_->client_handler_;
    h.handle("{\"cmd\":\"heartTest\"}", bevs_[0]);
    EXPECT_EQ(received(peer), "{\"type\":\"heartTestResult\",\"code\":true}\n");
    camtest::LogCapture log;
    EXPECT_FALSE(h.handle("{\"cmd\":\"HeartTest\"}", bevs_[0]));
    EXPECT_FALSE(h.handle("{\"cmd\":\"nothing\"}", bevs_[0]));
    EXPECT_EQ(log.count(google::GLOG_INFO, "cmd parse err "), 0);
    EXPECT_TRUE(h.handle("plain text", bevs_[0]));
    EXPECT_TRUE(h.handle("[1,2]", bevs_[0]));
    EXPECT_TRUE(h.handle("{\"data\":{}}", bevs_[0]));
    EXPECT_EQ(log.count(google::GLOG_INFO, "cmd parse err "), 3);
    // arguments that are not an object answer nothing
    EXPECT_FALSE(h.handle("{\"cmd\":\"deleteFile\",\"data\":5}", bevs_[0]));
    EXPECT_FALSE(h.handle("{\"cmd\":\"deleteFile\"}", bevs_[0]));
    EXPECT_EQ(received(peer), "");
    h.handle("{\"cmd\":\"heartTest\",\"data\":5}", bevs_[0]);
    EXPECT_EQ(received(peer), "{\"type\":\"heartTestResult\",\"code\":true}\n");
}

TEST_F(LoopTest, PushesReachEveryClient) {
    ClientHandler& h = ctx_->client_handler_;
    EXPECT_TRUE(h.broadcastStateChanged());  // no clients: nothing to do
    int a = addClient(), b = addClient(), c = addClient();
    setState(2);
    EXPECT_TRUE(h.broadcastPrepareOK());
    for (int fd : {a, b, c}) EXPECT_EQ(received(fd), "{\"type\":\"prepareOK\",\"data\":{\"mode\":2}}\n");
    h.broadcastStateChanged();
    h.broadcastRecordState(4000000000u, 12);
    h.broadcastVRState(7);
    h.broadcastRecordSnapshot("/sdcard/a.jpg");
    h.broadcastRealtimeSnapshot("/sdcard/IMG_000001@2K.pnop", true);
    h.broadcastRealtimeSnapshot("no \"room\"", false);
    ctx_->sdcard_.supported_ = false;
    h.broadSDCardIsInsert(true);
    std::string expect =
        "{\"type\":\"stateChanged\",\"code\":true,\"data\":{\"mode\":2}}\n"
        "{\"type\":\"recordState\",\"code\":true,\"data\":{\"size\":4000000000,\"duration\":12}}\n"
        "{\"type\":\"VRState\",\"code\":true,\"data\":{\"duration\":7}}\n"
        "{\"type\":\"snapshot\",\"code\":true,\"data\":{\"path\":\"/sdcard/a.jpg\"}}\n"
        "{\"type\":\"realtimeSnapshotResult\",\"code\":true,\"data\":{\"path\":\"/sdcard/IMG_000001@2K.pnop\"}}\n"
        "{\"type\":\"realtimeSnapshotResult\",\"code\":false,\"what\":\"no \\\"room\\\"\"}\n"
        "{\"type\":\"SDCardIsInsert\",\"code\":true,\"data\":{\"isInsert\":true,\"isSupported\":false}}\n";
    for (int fd : {a, b, c}) EXPECT_EQ(received(fd), expect);
}

TEST_F(LoopTest, StatePush) {
    int a = addClient();
    ClientHandler& h = ctx_->client_handler_;
    ctx_->sdcard_.inserted_ = true;
    ctx_->sdcard_.supported_ = true;
    battery("85", "3950000", "Discharging");
    h.handle("{\"cmd\":\"queryState\"}", bevs_[0]);
    EXPECT_EQ(received(a),
              "{\"type\":\"state\",\"code\":true,\"data\":{\"battery\":85,\"voltage\":3.95,"
              "\"onCharge\":false,\"sdcardInsert\":true,\"sdcardSupported\":true,\"mode\":0}}\n");
    battery("85", "3950000", "Charging");
    h.broadcastState();
    EXPECT_NE(received(a).find("\"onCharge\":true"), std::string::npos);
    battery("85", "3950000", "Not charging");
    h.broadcastState();
    EXPECT_NE(received(a).find("\"onCharge\":false"), std::string::npos);
    unlink((kBattery + "capacity").c_str());
    unlink((kBattery + "voltage_now").c_str());
    unlink((kBattery + "status").c_str());
    h.broadcastState();
    EXPECT_NE(received(a).find("\"battery\":0,\"voltage\":0.0,\"onCharge\":false"), std::string::npos);
}

TEST_F(LoopTest, CardPrecondition) {
    int a = addClient();
    ClientHandler& h = ctx_->client_handler_;
    ctx_->sdcard_.mounts_file_ = "/tmp/mounts";
    ctx_->sdcard_.inserted_ = false;
    writeFile("/tmp/mounts", "/dev/mmcblk1p1 /sdcard vfat rw 0 0\n");
    EXPECT_FALSE(h.checkSDCard(bevs_[0], "takePhotoResult"));
    EXPECT_EQ(received(a), "{\"type\":\"takePhotoResult\",\"code\":false,\"what\":\"sdcard not insert\"}\n");
    ctx_->sdcard_.inserted_ = true;
    writeFile("/tmp/mounts", "/dev/mmcblk1p1 /sdcard vfat ro 0 0\n");
    EXPECT_FALSE(h.checkSDCard(bevs_[0], "takePhotoResult"));
    EXPECT_FALSE(ctx_->sdcard_.supported_);
    EXPECT_EQ(received(a), "{\"type\":\"takePhotoResult\",\"code\":false,\"what\":\"sdcard not supported\"}\n");
    writeFile("/tmp/mounts", "/dev/mmcblk1p1 /sdcard vfat rw 0 0\n");
    EXPECT_TRUE(h.checkSDCard(bevs_[0], "takePhotoResult"));
    EXPECT_EQ(received(a), "");
}

TEST_F(LoopTest, AClientThatStopsReadingIsDroppedAndOthersStillGetPushes) {
    int slow = addClient();
    int b = addClient();
    ClientHandler& h = ctx_->client_handler_;
    bufferevent* slow_bev = bevs_[0];
    std::string big(200000, 'x');
    // nothing leaves the output while the loop does not run
    // (the socket itself takes what fits in its buffer first)
    int accepted = 0;
    while (accepted < 100 && h.sendMsg(slow_bev, big)) ++accepted;
    EXPECT_GE(accepted, 5);
    EXPECT_LT(accepted, 100);
    EXPECT_TRUE(h.clients_.isDropping(slow_bev));
    // at most one message beyond the limit waits
    EXPECT_LE(evbuffer_get_length(bufferevent_get_output(slow_bev)),
              ClientConnections::kMaxQueuedOutput + big.size() + 1);
    EXPECT_FALSE(h.broadcastMsg("{\"type\":\"x\"}"));  // one client failed
    spin();
    EXPECT_EQ(h.clients_.size(), 1u);
    std::string got = received(b);
    EXPECT_EQ(got, "{\"type\":\"x\"}\n");
    // the dropped client's socket is closed
    char buf[65536];
    ssize_t n;
    size_t total = 0;
    while ((n = read(slow, buf, sizeof buf)) > 0) total += static_cast<size_t>(n);
    EXPECT_EQ(n, 0);
    EXPECT_LT(total, static_cast<size_t>(accepted + 1) * big.size());
    bevs_.erase(bevs_.begin());
}

void put(int fd, const std::string& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// The handler closed the client's socket.
bool closedByHandler(int fd) {
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

const std::string kHeartReply = "{\"type\":\"heartTestResult\",\"code\":true}\n";

// A heartTest line of about size bytes, without its end ("\"}}\n").
std::string paddedHeart(size_t size) {
    std::string head = "{\"cmd\":\"heartTest\",\"data\":{\"pad\":\"";
    return head + std::string(size - head.size(), 'p');
}

TEST_F(LoopTest, ClientLinePath) {
    int a = addClient();
    camtest::LogCapture log;
    // two lines in one segment, a CR kept in the line, an empty line, and
    // an unfinished line that waits for its end
    put(a, "{\"cmd\":\"heartTest\"}\n{\"cmd\":\"heartTest\"}\r\n\n{\"cmd\":\"heart");
    EXPECT_EQ(received(a), kHeartReply + kHeartReply);
    put(a, "Test\"}\n");
    EXPECT_EQ(received(a), kHeartReply);
    EXPECT_EQ(log.count(google::GLOG_INFO, "socket msg {\"cmd\":\"heartTest\"}"), 2);
    EXPECT_EQ(log.count(google::GLOG_INFO, "socket msg {\"cmd\":\"heartTest\"}\\x0D"), 1);
    EXPECT_EQ(log.count(google::GLOG_INFO, "socket msg "), 0);  // the empty line is skipped

    // the log shows control bytes and broken text escaped, text kept, and
    // of a long line its first 256 bytes and its length
    std::string binary = std::string("\x01\xff\xc3\xa9\xe4\xb8\xad\xc3") + std::string(300, 'z');
    put(a, binary + "\n");
    EXPECT_EQ(received(a), "");
    EXPECT_EQ(log.count(google::GLOG_INFO,
                        "socket msg \\x01\\xFF\xc3\xa9\xe4\xb8\xad\\xC3" + std::string(248, 'z') + "... (308 bytes)"),
              1);
    EXPECT_EQ(log.count(google::GLOG_INFO, "cmd parse err "), 1);
    EXPECT_EQ(ClientHandler::loggedLine(std::string("a\0b\x7f\xc0\xaf\xed\xa0\x80", 9)),
              "a\\x00b\\x7F\\xC0\\xAF\\xED\\xA0\\x80");
    EXPECT_EQ(ClientHandler::loggedLine(std::string(256, 'q')), std::string(256, 'q'));

    // a line that grows past the bound drops its client only
    int b = addClient();
    put(b, std::string(70 * 1024, 'x'));
    EXPECT_EQ(received(b), "");
    EXPECT_TRUE(log.contains("client line too long, dropping client"));
    EXPECT_TRUE(closedByHandler(b));
    EXPECT_EQ(ctx_->client_handler_.clients_.size(), 1u);
    put(a, "{\"cmd\":\"heartTest\"}\n");
    EXPECT_EQ(received(a), kHeartReply);
}

TEST_F(LoopTest, ClientBounds) {
    ClientHandler& h = ctx_->client_handler_;
    camtest::LogCapture log;
    std::vector<int> peers;
    for (size_t i = 0; i < ClientConnections::kMaxClients; i++) peers.push_back(addClient());
    EXPECT_EQ(h.clients_.size(), 64u);
    // all but the eighth have spoken since it connected: a 65th makes room by
    // closing it, the one silent longest, and is served
    for (size_t i = 0; i < peers.size(); i++) {
        if (i == 7) continue;
        put(peers[i], "{\"cmd\":\"heartTest\"}\n");
    }
    for (size_t i = 0; i < peers.size(); i++) {
        if (i == 7) continue;
        EXPECT_EQ(received(peers[i]), kHeartReply);
    }
    int extra = addClient();
    ASSERT_NE(bevs_.back(), nullptr);
    ctl_->spin();
    EXPECT_TRUE(closedByHandler(peers[7]));
    EXPECT_EQ(h.clients_.size(), 64u);
    put(extra, "{\"cmd\":\"heartTest\"}\n");
    EXPECT_EQ(received(extra), kHeartReply);
    // the next newcomer closes the one heard of first, apart from the one
    // there longest that talks (the kept place of their address); the log
    // says it once a second
    int extra2 = addClient();
    ASSERT_NE(bevs_.back(), nullptr);
    ctl_->spin();
    EXPECT_FALSE(closedByHandler(peers[0]));
    EXPECT_TRUE(closedByHandler(peers[1]));
    EXPECT_EQ(log.count(google::GLOG_ERROR, "too many clients, connection closed"), 1);
    for (int fd : {extra, extra2}) put(fd, "{\"cmd\":\"heartTest\"}\n");
    for (int fd : {extra, extra2}) EXPECT_EQ(received(fd), kHeartReply);
    for (size_t i = 0; i < peers.size(); i++) {
        if (i == 7 || i == 1) continue;
        put(peers[i], "{\"cmd\":\"heartTest\"}\n");
        EXPECT_EQ(received(peers[i]), kHeartReply) << i;
    }
    EXPECT_EQ(h.clients_.size(), 64u);
    // past the window no place is kept: the one heard of first goes
    h.clients_.active_window_ = std::chrono::milliseconds(-1);
    addClient();
    ASSERT_NE(bevs_.back(), nullptr);
    ctl_->spin();
    EXPECT_TRUE(closedByHandler(extra));
    EXPECT_FALSE(closedByHandler(peers[0]));
    h.clients_.active_window_ = ClientConnections::kActiveWindow;

    // the input bounds on a fresh set of clients
    ctl_->dropClients();
    bevs_.clear();
    peers.clear();
    for (size_t i = 0; i < ClientConnections::kMaxClients; i++) peers.push_back(addClient());

    // unfinished lines of all clients together: 41 hold 50000 bytes each,
    // just below the bound; a newcomer's 49000 pass it, and one of those
    // holding the most goes, not the newcomer
    ASSERT_LT(41u * 50000u, ClientConnections::kMaxUnfinishedInput);
    ASSERT_GT(41u * 50000u + 49000u, ClientConnections::kMaxUnfinishedInput);
    std::vector<int> holders(peers.begin() + 1, peers.begin() + 42);
    for (int fd : holders) put(fd, paddedHeart(50000));
    ctl_->spin();
    EXPECT_FALSE(log.contains("client input over the bound"));
    int newcomer = peers[42];
    put(newcomer, paddedHeart(49000));
    EXPECT_EQ(received(newcomer), "");
    EXPECT_EQ(log.count(google::GLOG_ERROR, "client input over the bound, dropping client"), 1);
    EXPECT_EQ(h.clients_.size(), 63u);
    int dropped = 0;
    for (int fd : holders) {
        if (closedByHandler(fd)) {
            ++dropped;
            continue;
        }
        put(fd, "\"}}\n");
        EXPECT_EQ(received(fd), kHeartReply);
    }
    EXPECT_EQ(dropped, 1);
    put(newcomer, "\"}}\n");
    EXPECT_EQ(received(newcomer), kHeartReply);
    put(peers[0], "{\"cmd\":\"heartTest\"}\n");
    EXPECT_EQ(received(peers[0]), kHeartReply);
}

// One turn of the loop without the client lines' own turn: what is ready
// is read, and the lines are queued.
void readOnce(event_base* base) { event_base_loop(base, EVLOOP_ONCE | EVLOOP_NONBLOCK); }

size_t countOf(const std::string& text, const std::string& part) { return camtest::countOf(text, part); }

// The loop broken (SIGINT) in a client's read that filled its input to the
// watermark: a client over TCP cannot choose that pass, so it is set up here.
// The controller's end still frees the client and closes its socket; without
// the last pass the buffered event stays, its socket open (LeakSanitizer
// reports it in the sanitized build).
TEST_F(LoopTest, TeardownFinishesEveryClient) {
    int a = addClient();
    int kept = dup(a);
    ASSERT_GE(kept, 0);
    struct Breaker {
        bufferevent_data_cb read, write;
        bufferevent_event_cb event;
        void* arg;
        event_base* base;
        bool broke;
    } breaker{};
    bufferevent* bev = bevs_[0];
    bufferevent_getcb(bev, &breaker.read, &breaker.write, &breaker.event, &breaker.arg);
    breaker.base = ctl_->base();
    bufferevent_setcb(
        bev,
        [](bufferevent* b, void* arg) {
            auto& k = *static_cast<Breaker*>(arg);
            k.read(b, k.arg);
            if (evbuffer_get_length(bufferevent_get_input(b)) < ClientConnections::kMaxWaitingInput) return;
            k.broke = true;
            event_base_loopbreak(k.base);
        },
        [](bufferevent* b, void* arg) {
            auto& k = *static_cast<Breaker*>(arg);
            k.write(b, k.arg);
        },
        [](bufferevent* b, short what, void* arg) {
            auto& k = *static_cast<Breaker*>(arg);
            k.event(b, what, k.arg);
        },
        &breaker);
    std::string lines;
    while (lines.size() < ClientConnections::kMaxWaitingInput + 60000) lines += "{\"cmd\":\"heartTest\"}\n";
    put(a, lines);
    for (int i = 0; i < 1000 && !breaker.broke; i++) readOnce(ctl_->base());
    ASSERT_TRUE(breaker.broke);
    ctl_.reset();
    char buf[65536];
    ssize_t n;
    while ((n = recv(kept, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
    }
    // closed: at its end, or reset since lines were left unread
    EXPECT_TRUE(n == 0 || errno == ECONNRESET) << n << " " << errno;
    close(kept);
}

TEST_F(LoopTest, LinesAreServedInTurns) {
    ClientHandler& h = ctx_->client_handler_;
    h.clients_.turn_budget_ = std::chrono::hours(1);
    int a = addClient(), b = addClient();
    std::string hundred;
    for (int i = 0; i < 100; i++) hundred += "{\"cmd\":\"heartTest\"}\n";
    put(a, hundred);
    put(b, "{\"cmd\":\"heartTest\"}\n{\"cmd\":\"queryState\"}\n");
    readOnce(ctl_->base());
    EXPECT_EQ(h.clients_.waitingLines(bevs_[0]), 100u);
    // one turn: a bounded number of each client's lines, so b is answered
    // while most of a's still wait
    h.clients_.serveTurn();
    EXPECT_EQ(h.clients_.waitingLines(bevs_[0]), 100u - ClientConnections::kLinesPerTurn);
    EXPECT_EQ(h.clients_.waitingLines(bevs_[1]), 0u);
    std::string to_b = received(b);
    EXPECT_EQ(countOf(to_b, kHeartReply), 1u);
    EXPECT_EQ(countOf(to_b, "\"type\":\"state\""), 1u);
    // the loop serves the rest on its later turns, in order
    std::string to_a;
    for (int i = 0; i < 100 && countOf(to_a, kHeartReply) < 100; i++) to_a += received(a);
    EXPECT_EQ(countOf(to_a, kHeartReply), 100u);
    EXPECT_EQ(countOf(to_a, "\"type\":\"state\""), 1u);

    // a client dropped with lines waiting: they are never handled
    camtest::LogCapture log;
    put(a, hundred);
    readOnce(ctl_->base());
    h.clients_.serveTurn();
    EXPECT_EQ(log.count(google::GLOG_INFO, "socket msg {\"cmd\":\"heartTest\"}"),
              static_cast<int>(ClientConnections::kLinesPerTurn));
    ASSERT_TRUE(h.clients_.remove(bevs_[0]));
    EXPECT_EQ(h.clients_.waitingLines(bevs_[0]), 0u);
    put(b, "{\"cmd\":\"heartTest\"}\n");
    EXPECT_EQ(received(b), kHeartReply);
    EXPECT_EQ(log.count(google::GLOG_INFO, "socket msg {\"cmd\":\"heartTest\"}"),
              static_cast<int>(ClientConnections::kLinesPerTurn) + 1);
    bevs_.erase(bevs_.begin());
}

// Lines the log shows as received, in order.
std::vector<std::string> receivedLines(const camtest::LogCapture& log) {
    std::vector<std::string> lines;
    for (const auto& r : log.records())
        if (r.text.rfind("socket msg ", 0) == 0) lines.push_back(r.text.substr(11));
    return lines;
}

TEST_F(LoopTest, OneSlowLineIsAllAnotherClientWaitsFor) {
    ClientHandler& h = ctx_->client_handler_;
    // every line takes longer than this budget
    h.clients_.turn_budget_ = std::chrono::milliseconds(0);
    int a = addClient(), b = addClient();
    camtest::LogCapture log;
    put(a, "{\"cmd\":\"heartTest\",\"data\":{\"n\":1}}\n{\"cmd\":\"heartTest\",\"data\":{\"n\":2}}\n");
    put(b, "{\"cmd\":\"heartTest\",\"data\":{\"n\":3}}\n");
    readOnce(ctl_->base());
    for (int i = 0; i < 3; i++) h.clients_.serveTurn();
    EXPECT_EQ(receivedLines(log), (std::vector<std::string>{"{\"cmd\":\"heartTest\",\"data\":{\"n\":1}}",
                                                            "{\"cmd\":\"heartTest\",\"data\":{\"n\":3}}",
                                                            "{\"cmd\":\"heartTest\",\"data\":{\"n\":2}}"}));
    EXPECT_EQ(received(a), kHeartReply + kHeartReply);
    EXPECT_EQ(received(b), kHeartReply);
}

// Runs of the lens listing tool so far.
size_t xuProbeRuns() { return camtest::callsStartingWith("xuProbe -d /dev/video"); }

TEST_F(LoopTest, LensAnswerIsGivenAgainWithinItsWindow) {
    ClientHandler& h = ctx_->client_handler_;
    h.lens_answer_reuse_ = std::chrono::hours(1);
    int a = addClient();
    std::string hundred;
    for (int i = 0; i < 100; i++) hundred += "{\"cmd\":\"queryCamera2\"}\n";
    put(a, hundred);
    std::string got;
    for (int i = 0; i < 200 && countOf(got, "queryCamera2Result") < 100; i++) got += received(a);
    EXPECT_EQ(countOf(got, "queryCamera2Result"), 100u);
    // one listing per lens (two lenses), then the same answer again
    EXPECT_EQ(xuProbeRuns(), 2u);
    size_t first_end = got.find('\n');
    EXPECT_EQ(countOf(got, got.substr(0, first_end + 1)), 100u);

    // a command that may change the lenses: they are asked again
    put(a, "{\"cmd\":\"setUserProperty\",\"data\":{\"key\":\"k\",\"value\":\"v\"}}\n{\"cmd\":\"queryCamera2\"}\n");
    got = received(a);
    EXPECT_EQ(countOf(got, "queryCamera2Result"), 1u);
    EXPECT_EQ(xuProbeRuns(), 4u);
    // so is another screen
    setState(state_type::kRecording);
    put(a, "{\"cmd\":\"queryCamera2\"}\n{\"cmd\":\"queryCamera2\"}\n");
    EXPECT_EQ(countOf(received(a), "queryCamera2Result"), 2u);
    EXPECT_EQ(xuProbeRuns(), 8u);

    // with no window every request asks the lenses
    setState(state_type::kIdle);
    h.lens_answer_reuse_ = std::chrono::milliseconds(0);
    put(a, "{\"cmd\":\"queryCamera2\"}\n{\"cmd\":\"queryCamera2\"}\n");
    EXPECT_EQ(countOf(received(a), "queryCamera2Result"), 2u);
    EXPECT_EQ(xuProbeRuns(), 12u);
}

TEST_F(LoopTest, ButtonDispatch) {
    dispatchButton(*ctx_, 0x11);
    EXPECT_TRUE(calls_.empty());
    dispatchButton(*ctx_, 0x30);
    EXPECT_TRUE(calls_.empty());
    dispatchButton(*ctx_, 0x20);
    EXPECT_EQ(calls_, (std::vector<std::string>{"clear", "b0"}));
    setState(0);
    dispatchButton(*ctx_, 0x40);
    EXPECT_EQ(calls_, (std::vector<std::string>{"clear", "b2"}));
    setState(2);
    dispatchButton(*ctx_, 0x20);
    dispatchButton(*ctx_, 0x10);
    EXPECT_EQ(calls_, (std::vector<std::string>{"b0", "clear", "b1"}));
    setState(7);
    dispatchButton(*ctx_, 0x10);
    EXPECT_EQ(calls_, (std::vector<std::string>{"b1"}));
    setState(10);
    dispatchButton(*ctx_, 0x10);
    EXPECT_EQ(calls_, (std::vector<std::string>{"clear", "b1"}));
}

TEST_F(LoopTest, StopCurrentWorkStopsJobsOnly) {
    for (int t : {0, 6, 7, 10}) {
        setState(t);
        stopCurrentWork(*ctx_);
        EXPECT_TRUE(calls_.empty()) << t;
    }
    for (int t : {1, 2, 3, 8, 9, 11}) {
        setState(t);
        camtest::LogCapture log;
        stopCurrentWork(*ctx_);
        EXPECT_EQ(calls_, (std::vector<std::string>{"clear", "b1"})) << t;
        EXPECT_TRUE(log.contains("exit from child process "));
    }
}

TEST_F(LoopTest, BatteryLed) {
    battery("21", "3900000", "Discharging");
    onTickWork(*ctx_);
    EXPECT_EQ(ctx_->led1_mode_, 0);
    EXPECT_EQ(ctx_->led1_color_, 2);
    battery("20", "3900000", "Discharging");
    onTickWork(*ctx_);
    EXPECT_EQ(ctx_->led1_mode_, 1);
    EXPECT_EQ(ctx_->led1_color_, 1);
    battery("98", "3900000", "Charging");
    onTickWork(*ctx_);
    EXPECT_EQ(ctx_->led1_mode_, 0);
    EXPECT_EQ(ctx_->led1_color_, 2);
    battery("50", "3900000", "Charging");
    onTickWork(*ctx_);
    EXPECT_EQ(ctx_->led1_mode_, 0);
    EXPECT_EQ(ctx_->led1_color_, 1);
    battery("19", "3000000", "Charging");  // charging never shuts down
    for (int i = 0; i < 6; i++) onTickWork(*ctx_);
    EXPECT_EQ(ctx_->led1_mode_, 1);
    EXPECT_EQ(ctx_->led1_color_, 1);
    EXPECT_FALSE(camtest::exists("/var/run/shutdown.requested"));
}

TEST_F(LoopTest, SecondTask) {
    int runs = 0;
    ctx_->second_task_ = [&runs] { ++runs; };
    onTickWork(*ctx_);
    onTickWork(*ctx_);
    EXPECT_EQ(runs, 2);
    ctx_->second_task_cancel_ = true;
    onTickWork(*ctx_);
    EXPECT_EQ(runs, 2);
    EXPECT_FALSE(ctx_->second_task_);
    EXPECT_TRUE(ctx_->second_task_cancel_);

    // the stored task runs, not a copy: what it counts carries on
    std::vector<int> counts;
    setSecondTask(*ctx_, [&counts, n = 0]() mutable { counts.push_back(++n); });
    for (int i = 0; i < 3; i++) onTickWork(*ctx_);
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3}));

    // a task that replaces itself while it runs: the new one stays
    int replaced = 0;
    setSecondTask(*ctx_, [this, &replaced, keep = std::make_shared<int>(7)] {
        setSecondTask(*ctx_, [&replaced] { ++replaced; });
        EXPECT_EQ(*keep, 7) << "the running task is still whole";
    });
    onTickWork(*ctx_);
    onTickWork(*ctx_);
    onTickWork(*ctx_);
    EXPECT_EQ(replaced, 2);

    // a task that stops itself runs no more
    int stopped = 0;
    setSecondTask(*ctx_, [this, &stopped] {
        ++stopped;
        stopSecondTask(*ctx_);
    });
    onTickWork(*ctx_);
    onTickWork(*ctx_);
    EXPECT_EQ(stopped, 1);
    EXPECT_FALSE(ctx_->second_task_);
}

TEST_F(LoopTest, UsbStorageSwitch) {
    const std::string vbus = "/sys/devices/platform/exynos-dwc3.0/vbus";
    std::vector<std::string> device_calls;
    ctx_->make_device_state_ = [&device_calls](Context&) { return std::make_shared<FakeState>(device_calls, 7); };
    writeFile(vbus, "1\n");
    setState(2);  // busy: the switch waits
    checkUsbDevice(*ctx_);
    EXPECT_TRUE(calls_.empty());
    EXPECT_FALSE(ctx_->usb_device_mode_);
    setState(0);
    checkUsbDevice(*ctx_);
    EXPECT_EQ(calls_, (std::vector<std::string>{"clear"}));
    EXPECT_TRUE(ctx_->usb_device_mode_);
    EXPECT_EQ(ctx_->state_->type(), 7);
    unlink("/sdcard/.panorbit");
    writeFile(vbus, "0\n");
    checkUsbDevice(*ctx_);
    EXPECT_EQ(device_calls, (std::vector<std::string>{"clear"}));
    EXPECT_FALSE(ctx_->usb_device_mode_);
    EXPECT_EQ(ctx_->state_->type(), 0);
    EXPECT_TRUE(camtest::exists("/sdcard/.panorbit"));
    EXPECT_TRUE(camtest::called("lsusb"));
    EXPECT_TRUE(camtest::called("umount /sdcard"));
    EXPECT_TRUE(camtest::called("mount -o rw /dev/mmcblk1p1 /sdcard"));
}

bool shutdownRequested() { return camtest::exists("/var/run/shutdown.requested"); }

TEST_F(LoopTest, CapacityRuleShutdown) {
    if (ctx_->camera_.kernelVersion() < 379) GTEST_SKIP() << "voltage-rule kernel";
    battery("3", "3000000", "Discharging");
    onTickWork(*ctx_);
    EXPECT_FALSE(shutdownRequested());
    // unreadable battery files never shut down
    unlink((kBattery + "capacity").c_str());
    unlink((kBattery + "voltage_now").c_str());
    for (int i = 0; i < 6; i++) onTickWork(*ctx_);
    EXPECT_FALSE(shutdownRequested());

    // a menu is not "stopped" by running its row
    setState(6);
    battery("2", "3900000", "Discharging");
    camtest::LogCapture log;
    onTickWork(*ctx_);
    EXPECT_TRUE(shutdownRequested());
    EXPECT_TRUE(calls_.empty());
    EXPECT_TRUE(log.contains("auto shutdown due to low power 2 voltage3.9"));
}

TEST_F(LoopTest, ShutdownStopsTheJobAndWaitsForTheWorker) {
    if (ctx_->camera_.kernelVersion() < 379) GTEST_SKIP() << "voltage-rule kernel";
    setState(2);
    // a worker that ends once the select action has stopped it
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    pid_t worker = fork();
    if (worker == 0) {
        close(stop[1]);
        char byte;
        while (read(stop[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    close(stop[0]);
    static_cast<FakeState&>(*ctx_->state_).on_select_ = [&] { close(stop[1]); };
    ctx_->camera_.process_controller_.child_pid_ = worker;
    battery("1", "3300000", "Discharging");
    onTickWork(*ctx_);
    EXPECT_EQ(calls_, (std::vector<std::string>{"clear", "b1"}));
    EXPECT_TRUE(shutdownRequested());
    // the worker had ended (and was collected) before shutdown ran
    EXPECT_EQ(waitpid(worker, nullptr, WNOHANG), -1);
}

TEST_F(LoopTest, VoltageRuleShutdown) {
    if (ctx_->camera_.kernelVersion() > 378) GTEST_SKIP() << "capacity-rule kernel";
    battery("50", "3240000", "Discharging");
    for (int i = 0; i < 4; i++) onTickWork(*ctx_);
    EXPECT_EQ(ctx_->low_power_count_, 8);
    battery("50", "3300000", "Discharging");
    onTickWork(*ctx_);
    EXPECT_EQ(ctx_->low_power_count_, 0);
    // busy screens use the lower threshold
    setState(2);
    battery("50", "3240000", "Discharging");
    for (int i = 0; i < 6; i++) onTickWork(*ctx_);
    EXPECT_EQ(ctx_->low_power_count_, 0);
    EXPECT_FALSE(shutdownRequested());
    // an unknown voltage is not low
    setState(0);
    unlink((kBattery + "voltage_now").c_str());
    for (int i = 0; i < 6; i++) onTickWork(*ctx_);
    EXPECT_FALSE(shutdownRequested());
    battery("50", "3240000", "Discharging");
    for (int i = 0; i < 4; i++) onTickWork(*ctx_);
    EXPECT_FALSE(shutdownRequested());
    onTickWork(*ctx_);
    EXPECT_TRUE(shutdownRequested());
}

}  // namespace

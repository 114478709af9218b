// The port forwarder of a kept camera (sim/tools/vcam-fwd): both halves in
// front of the real controller, taking a burst of connections all open at
// once, far past the clients the controller serves, and refusing what it
// must not serve.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/line_io.h"
#include "support/camtest.h"
#include "support/vcam_session.h"

namespace {

const int kPort = 9888;
// a little under the 64 clients the controller serves at once (the set-up's
// probes may not have left yet), well past the camera port's listen queue
// of 10
const int kServed = 60;
// far past them: the controller closes the connections it cannot take
const int kBurst = 2000;
const size_t kMaxClients = 64;
const char kRequest[] = "{\"cmd\":\"heartTest\"}\n";

std::string forwarder() { return std::string(std::getenv("VCAM_REPO")) + "/sim/tools/vcam-fwd"; }

int connectTo(int port, bool block) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (block ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// A counter of the camera's network (its own namespace): "TcpExt" NAME of
// /proc/net/netstat, -1 when missing.
long netstat(const std::string& name) {
    std::string text = camtest::readFile("/proc/net/netstat");
    size_t keys = text.find("TcpExt:");
    size_t values = keys == std::string::npos ? keys : text.find("TcpExt:", keys + 1);
    if (values == std::string::npos) return -1;
    auto words = [&](size_t at) {
        std::vector<std::string> w;
        std::string line = text.substr(at, text.find('\n', at) - at), word;
        for (char c : line + " ") {
            if (c != ' ') {
                word += c;
            } else if (!word.empty()) {
                w.push_back(word);
                word.clear();
            }
        }
        return w;
    };
    std::vector<std::string> k = words(keys), v = words(values);
    for (size_t i = 0; i < k.size() && i < v.size(); ++i)
        if (k[i] == name) return std::atol(v[i].c_str());
    return -1;
}

struct Conn {
    int fd = -1;
    bool sent = false;
    bool closed = false;  // EOF from the far side
    std::string in;
};

struct Burst {
    int connected = 0;  // connects that completed without error
    int answered = 0;   // got the whole heartTest reply
    int closed = 0;     // EOF before any byte came
    int hanging = 0;    // neither when the burst gave up
    std::vector<Conn> conns;
    ~Burst() {
        for (Conn& c : conns) close(c.fd);
    }
};

// Opens n connections to the forwarder at once; each sends one "heartTest"
// once connected and reads until the whole reply or EOF. None closes its
// side before the burst ends.
void runBurst(int n, Burst& b) {
    const std::string reply = camtest::reply("heartTestResult", true) + "\n";
    b.conns.resize(n);
    for (Conn& c : b.conns) {
        c.fd = connectTo(kPort, false);
        ASSERT_GE(c.fd, 0) << strerror(errno);
    }
    auto finished = [&](const Conn& c) { return c.closed || c.in.size() >= reply.size(); };
    int left = n;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::vector<pollfd> fds(n);
    while (left > 0 && std::chrono::steady_clock::now() < give_up) {
        for (int i = 0; i < n; ++i) {
            Conn& c = b.conns[i];
            fds[i] = {finished(c) ? -1 : c.fd, short(c.sent ? POLLIN : POLLOUT), 0};
        }
        if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
        for (int i = 0; i < n; ++i) {
            Conn& c = b.conns[i];
            if (!fds[i].revents) continue;
            if (!c.sent) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                ASSERT_EQ(err, 0) << "client " << i << " could not connect: " << strerror(err);
                ++b.connected;
                ASSERT_EQ(send(c.fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL), ssize_t(sizeof kRequest - 1))
                    << "client " << i << ": " << strerror(errno);
                c.sent = true;
                continue;
            }
            char buf[256];
            ssize_t got = recv(c.fd, buf, sizeof buf, 0);
            ASSERT_GE(got, 0) << "client " << i << " lost its connection: " << strerror(errno);
            if (got == 0) {
                // the controller closes what it cannot take before it
                // answers; a reply cut short is a fault
                EXPECT_EQ(c.in, "") << "client " << i << " closed in the middle of its reply";
                c.closed = true;
                ++b.closed;
            } else {
                c.in.append(buf, size_t(got));
                if (c.in.size() < reply.size()) continue;
                EXPECT_EQ(c.in, reply) << "client " << i;
                ++b.answered;
            }
            --left;
        }
    }
    b.hanging = left;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// One heartTest through the forwarder: true when answered.
bool heartTest() {
    int fd = connectTo(kPort, true);
    if (fd < 0) return false;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    pnocamera::LineBuffer in;
    std::string line;
    if (send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == ssize_t(sizeof kRequest - 1)) {
        while (!in.takeLine(line) && in.receive(fd) > 0) {
        }
    }
    close(fd);
    // the answer, and nothing after it
    return line == camtest::reply("heartTestResult", true) && in.empty();
}

bool running(const camtest::Process& p) { return camtest::residentKiB(p.pid) >= 0 && !camtest::isZombie(p.pid); }

class ForwarderTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // the burst needs a descriptor per client here, and in the halves
        // and the controller (which inherit the limit)
        rlimit r{};
        getrlimit(RLIMIT_NOFILE, &r);
        if (r.rlim_cur < 3 * kBurst) {
            r.rlim_cur = std::min<rlim_t>(r.rlim_max, 4 * kBurst);
            setrlimit(RLIMIT_NOFILE, &r);
        }
    }
    void SetUp() override {
        rlimit r{};
        getrlimit(RLIMIT_NOFILE, &r);
        if (r.rlim_cur < 3 * kBurst) GTEST_SKIP() << "descriptor limit " << r.rlim_cur << " too low for the burst";
        ASSERT_TRUE(camtest::startController(controller_)) << controller_.output();
        camtest::start(camera_half_, {"python3", forwarder(), "camera", "/tmp/fwd.sock", "127.0.0.1", "8888"},
                       "/tmp/fwd-camera.out");
        camtest::start(host_half_,
                       {"python3", forwarder(), "host", "127.0.0.1", std::to_string(kPort), "/tmp/fwd.sock"},
                       "/tmp/fwd-host.out");
        ASSERT_TRUE(camtest::waitFor([] {
            int fd = connectTo(kPort, true);
            if (fd >= 0) close(fd);
            return fd >= 0;
        })) << host_half_.output();
    }
    void TearDown() override {
        if (controller_.pid > 0) kill(controller_.pid, SIGINT);
        controller_.wait();
    }

    camtest::Process controller_, camera_half_, host_half_;
};

TEST_F(ForwarderTest, ABurstOfConnectionsIsServedAllAtOnce) {
    long retries = netstat("TCPSynRetrans");
    ASSERT_GE(retries, 0);
    {
        // as many as the controller takes: every one answered
        Burst b;
        runBurst(kServed, b);
        EXPECT_EQ(b.connected, kServed);
        EXPECT_EQ(b.answered, kServed);
        EXPECT_EQ(b.closed, 0);
        EXPECT_TRUE(camtest::waitFor([&] {
            return controller_.output().find("new client connected" + std::to_string(kServed)) != std::string::npos;
        })) << "the controller never held all clients at once";
    }
    // no connect, the client's or the forwarder's, waited for the kernel to
    // send its SYN again (the stall of a full listen queue)
    EXPECT_EQ(netstat("TCPSynRetrans"), retries);

    // the burst's clients leave the controller once the ones above have
    ASSERT_TRUE(camtest::waitFor([&] {
        return count(controller_.output(), "client disconnected ..") >=
               count(controller_.output(), "new client connected");
    }));
    {
        // far more than it takes: those it takes are answered, the others
        // closed from the far side, none left hanging
        camtest::expectErrorLine("too many clients, connection closed");
        size_t from = controller_.output().size();
        Burst b;
        runBurst(kBurst, b);
        EXPECT_EQ(b.connected, kBurst);
        EXPECT_EQ(b.hanging, 0);
        EXPECT_EQ(b.answered + b.closed, kBurst);
        // a connect the forwarder gave up on may have reached the
        // controller all the same; it sent nothing, so count the requests
        std::string log = controller_.output().substr(from);
        size_t asked = count(log, std::string("socket msg ") + kRequest);
        EXPECT_GE(b.answered, 1);
        // a full controller makes room for each newcomer by closing the
        // connection silent longest, so more than kMaxClients may be served
        EXPECT_EQ(size_t(b.answered), asked) << "a request the controller took had no reply";
        EXPECT_GE(count(log, "new client connected"), asked);
        EXPECT_NE(controller_.output().find("too many clients, connection closed", from), std::string::npos);
        EXPECT_EQ(netstat("TCPSynRetrans"), retries);
        EXPECT_TRUE(running(host_half_)) << host_half_.output();
        EXPECT_TRUE(running(camera_half_)) << camera_half_.output();
    }
    // once the burst is gone, a later client is served
    EXPECT_TRUE(camtest::waitFor(heartTest, std::chrono::seconds(20)));

    // the halves end cleanly on SIGTERM
    kill(host_half_.pid, SIGTERM);
    kill(camera_half_.pid, SIGTERM);
    EXPECT_EQ(host_half_.wait(), 0) << host_half_.output();
    EXPECT_EQ(camera_half_.wait(), 0) << camera_half_.output();
}

TEST_F(ForwarderTest, RefusesOtherAddressesAndBadPorts) {
    for (auto argv :
         std::vector<std::vector<std::string>>{{"host", "0.0.0.0", "9889", "/tmp/x.sock"},
                                               {"host", "192.168.1.1", "9889", "/tmp/x.sock"},
                                               {"host", "127.0.0.1", "9889; touch /tmp/owned", "/tmp/x.sock"},
                                               {"host", "127.0.0.1", "70000", "/tmp/x.sock"},
                                               {"camera", "/tmp/x.sock", "127.0.0.1", "-1"},
                                               {"host", "127.0.0.1", "9889"}}) {
        camtest::Process p;
        argv.insert(argv.begin(), {"python3", forwarder()});
        camtest::start(p, argv, "/tmp/fwd-bad.out");
        EXPECT_EQ(p.wait(), 2) << argv[3] << ": " << p.output();
        EXPECT_EQ(p.output().find("Traceback"), std::string::npos) << p.output();
    }
    EXPECT_FALSE(camtest::exists("/tmp/owned"));
    EXPECT_LT(connectTo(9889, true), 0) << "nothing listens on a refused port";

    // a port in use is reported, not a traceback
    camtest::Process twice;
    camtest::start(twice, {"python3", forwarder(), "host", "127.0.0.1", std::to_string(kPort), "/tmp/fwd.sock"},
                   "/tmp/fwd-twice.out");
    EXPECT_EQ(twice.wait(), 1);
    EXPECT_NE(twice.output().find("cannot listen on 127.0.0.1:" + std::to_string(kPort)), std::string::npos)
        << twice.output();
}

}  // namespace

// The port forwarder of a kept camera (sim/tools/vcam-fwd): both halves in
// front of the real controller, taking a burst of connections that are all
// open at once, and refusing what it must not serve.
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

#include "support/camtest.h"
#include "support/vcam_session.h"

namespace {

const int kPort = 9888;
// a little under the 64 clients the controller serves at once (it closes
// connections past them; the set-up's probes may not have left yet), well
// past the camera port's listen queue of 10
const int kBurst = 60;
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
    std::string in;
};

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
        camtest::start(controller_, {"controller", "-d"}, "/tmp/controller.out");
        ASSERT_TRUE(camtest::waitForPort()) << controller_.output();
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
    std::vector<Conn> conns(kBurst);
    for (Conn& c : conns) {
        c.fd = connectTo(kPort, false);
        ASSERT_GE(c.fd, 0) << strerror(errno);
    }
    // every client sends once connected and reads its reply; none closes
    // before all have theirs
    const std::string reply = camtest::reply("heartTestResult", true) + "\n";
    int answered = 0;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::vector<pollfd> fds(kBurst);
    while (answered < kBurst && std::chrono::steady_clock::now() < give_up) {
        for (int i = 0; i < kBurst; ++i) {
            Conn& c = conns[i];
            bool done = c.in.size() >= reply.size();
            fds[i] = {done ? -1 : c.fd, short(c.sent ? POLLIN : POLLOUT), 0};
        }
        if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
        for (int i = 0; i < kBurst; ++i) {
            Conn& c = conns[i];
            if (!fds[i].revents) continue;
            if (!c.sent) {
                ASSERT_EQ(send(c.fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL), ssize_t(sizeof kRequest - 1))
                    << "client " << i << ": " << strerror(errno);
                c.sent = true;
                continue;
            }
            char buf[256];
            ssize_t n = recv(c.fd, buf, sizeof buf, 0);
            ASSERT_GT(n, 0) << "client " << i << " lost its connection";
            c.in.append(buf, size_t(n));
            if (c.in.size() >= reply.size()) {
                EXPECT_EQ(c.in, reply) << "client " << i;
                ++answered;
            }
        }
    }
    EXPECT_EQ(answered, kBurst);
    // no connect, the client's or the forwarder's, waited for the kernel to
    // send its SYN again (the stall of a full listen queue)
    EXPECT_EQ(netstat("TCPSynRetrans"), retries);
    EXPECT_TRUE(camtest::waitFor([&] {
        return controller_.output().find("new client connected" + std::to_string(kBurst)) != std::string::npos;
    })) << "the controller never held all clients at once";
    for (Conn& c : conns) close(c.fd);

    // the halves end cleanly on SIGTERM
    kill(host_half_.pid, SIGTERM);
    kill(camera_half_.pid, SIGTERM);
    EXPECT_EQ(host_half_.wait(), 0) << host_half_.output();
    EXPECT_EQ(camera_half_.wait(), 0) << camera_half_.output();
}

TEST_F(ForwarderTest, RefusesOtherAddressesAndBadPorts) {
    for (auto argv : std::vector<std::vector<std::string>>{
             {"host", "0.0.0.0", "9889", "/tmp/x.sock"},
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

// Flood benchmark of the controller's TCP side: CONNECTIONS peers each send
// an unfinished 65000-byte line and hold it, then all close; meanwhile one
// well-behaved client keeps sending "heartTest".
//   controller_flood_bench PID CONNECTIONS HOLD_SECONDS [lines BYTES]
// With "lines BYTES" each peer (connected one at a time) instead writes BYTES
// of one-byte lines ("x\n") and never reads, then closes; the daemon still runs every line of
// a closed peer, so "after" is taken once its CPU time stops growing.
// Prints the daemon's resident memory before, at the peak and after the
// flood, what became of the peers, and the heartTest round trips during the
// flood.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::kReply;
using bench::kRequest;
using bench::rssKiB;
constexpr size_t kLine = 65000;

// CPU time of the process so far, in clock ticks; -1 when it is gone.
long cpuTicks(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    if (paren == std::string::npos) return -1;
    std::istringstream fields(text.substr(paren + 2));
    std::string skip;
    for (int i = 0; i < 11; i++) fields >> skip;  // state .. cmajflt
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

// The well-behaved client: one heartTest in flight at a time.
struct Heart {
    std::atomic<bool> stop{false};
    std::vector<double> rtt;
    long failures = 0;

    void run() {
        int fd = bench::connectCamera();
        std::string in;
        while (!stop) {
            auto sent = Clock::now();
            if (write(fd, kRequest, sizeof kRequest - 1) < 0) {
                ++failures;
                break;
            }
            bool answered = false;
            while (!answered) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 2000) <= 0) break;
                char buf[4096];
                ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0) break;
                in.append(buf, static_cast<size_t>(n));
                size_t nl = in.find('\n');
                if (nl == std::string::npos) continue;
                answered = in.compare(0, nl + 1, kReply) == 0;
                in.erase(0, nl + 1);
                if (!answered) break;
            }
            if (!answered) {
                ++failures;
                break;
            }
            rtt.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(fd);
    }
};

struct Peer {
    int fd = -1;
    size_t sent = 0;
    bool closed = false;  // by the daemon
};

}  // namespace

int main(int argc, char** argv) {
    bool lines = argc == 6 && std::string(argv[4]) == "lines";
    if (argc != 4 && !lines) {
        std::fprintf(stderr, "usage: %s PID CONNECTIONS HOLD_SECONDS [lines BYTES]\n", argv[0]);
        return 2;
    }
    int pid = std::atoi(argv[1]);
    int count = std::atoi(argv[2]);
    double hold = std::atof(argv[3]);
    size_t line_bytes = lines ? std::strtoul(argv[5], nullptr, 10) / 2 * 2 : 0;
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);

    Heart heart;
    std::thread heart_thread([&] { heart.run(); });
    while (heart.rtt.empty() && heart.failures == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    long before = rssKiB(pid);

    std::atomic<bool> sampling{true};
    std::atomic<long> peak{before};
    std::thread sampler([&] {
        while (sampling) {
            long r = rssKiB(pid);
            if (r > peak) peak = r;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    std::string line(kLine, 'f');
    if (lines) {
        line.clear();
        for (size_t i = 0; i < line_bytes / 2; i++) line += "x\n";
    }
    std::vector<Peer> peers(static_cast<size_t>(count));
    int ep = epoll_create1(EPOLL_CLOEXEC);
    sockaddr_in a = bench::cameraAddress();
    auto start = Clock::now();
    for (size_t i = 0; i < peers.size(); i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (lines ? 0 : SOCK_NONBLOCK), 0);
        if (fd < 0) {
            std::perror("socket");
            return 1;
        }
        int done_at_once = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (lines) {
            // every line peer connected, one at a time: the listener's
            // backlog holds 10, and a connection past it could count as
            // closed while its SYN waits to be sent again
            if (done_at_once != 0) {
                std::perror("connect");
                return 1;
            }
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        peers[i].fd = fd;
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    // each peer writes its unfinished line; a peer the daemon closes is done
    size_t done = 0;
    std::vector<epoll_event> events(256);
    while (done < peers.size() && Clock::now() - start < std::chrono::seconds(lines ? 600 : 60)) {
        int k = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        for (int e = 0; e < k; e++) {
            Peer& p = peers[events[static_cast<size_t>(e)].data.u64];
            uint32_t what = events[static_cast<size_t>(e)].events;
            bool finished = false;
            if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
                p.closed = true;
                finished = true;
            } else if (what & EPOLLOUT) {
                ssize_t n = send(p.fd, line.data() + p.sent, line.size() - p.sent, MSG_NOSIGNAL);
                if (n > 0)
                    p.sent += static_cast<size_t>(n);
                else if (n < 0 && errno != EAGAIN)
                    p.closed = finished = true;
                if (p.sent == line.size()) finished = true;
            }
            if (finished) {
                epoll_ctl(ep, EPOLL_CTL_DEL, p.fd, nullptr);
                ++done;
            }
        }
    }
    double flood_s = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::duration<double>(hold));
    // which peers does the daemon still hold?
    int held = 0, closed = 0;
    for (Peer& p : peers) {
        pollfd q{p.fd, POLLIN | POLLRDHUP, 0};
        if (p.closed || (poll(&q, 1, 0) > 0 && (q.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))))
            ++closed;
        else
            ++held;
    }
    long at_hold = rssKiB(pid);
    for (Peer& p : peers) close(p.fd);
    close(ep);
    auto closed_at = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    if (lines) {
        // the lines the closed peers sent are still being run
        for (long was = -2, now = cpuTicks(pid); now != was; was = now, now = cpuTicks(pid))
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    double settled_s = std::chrono::duration<double>(Clock::now() - closed_at).count();
    long after = rssKiB(pid);
    sampling = false;
    sampler.join();
    heart.stop = true;
    heart_thread.join();

    std::vector<double> rtt = heart.rtt;
    std::sort(rtt.begin(), rtt.end());
    std::printf(
        "flood %d peers x %zu bytes of %s: sent in %.2f s, held %.1f s; %d still held, %d closed by the "
        "daemon\n",
        count, line.size(), lines ? "one-byte lines" : "an unfinished line", flood_s, hold, held, closed);
    std::printf("rss before %ld KiB, peak %ld KiB (+%.2f MiB), while held %ld KiB, %.1f s after %ld KiB (%+.2f MiB)\n",
                before, peak.load(), (peak.load() - before) / 1024.0, at_hold, settled_s, after,
                (after - before) / 1024.0);
    std::printf("heartTest during the flood: %zu answered, %ld unanswered, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                rtt.size(), heart.failures, bench::percentile(rtt, 0.5), bench::percentile(rtt, 0.99),
                rtt.empty() ? 0.0 : rtt.back());
    return heart.failures == 0 ? 0 : 1;
}

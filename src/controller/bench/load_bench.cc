// Load benchmark of the controller's TCP protocol: N clients on loopback,
// each with one "heartTest" in flight, for a fixed time. Connections the
// server closes (the controller serves 64 clients at once) are counted and
// left out.
//   controller_load_bench PID CLIENTS SECONDS
// Prints requests per second, p50 and p99 round trip, the server's resident
// memory before and after the run and its CPU time per request. The clients are spread over up
// to four threads so that the load side is not the limit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
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

// CPU time the process has used (user and system), in microseconds.
double cpuMicros(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream f(stat.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && f >> field; i++) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return (utime + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Conn {
    int fd = -1;
    Clock::time_point sent;
    std::string in;
    bool closed = false;  // by the server
};

struct Worker {
    std::vector<Conn> conns;
    std::vector<double> rtt;
    long errors = 0;
    long closed = 0;

    void drop(int ep, Conn& c) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        c.closed = true;
        ++closed;
    }

    void run(Clock::time_point end) {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        for (size_t i = 0; i < conns.size(); i++) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = i;
            epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
        }
        for (auto& c : conns) {
            c.sent = Clock::now();
            if (send(c.fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) < 0) drop(ep, c);
        }
        std::vector<epoll_event> events(conns.size());
        while (Clock::now() < end) {
            int k = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 50);
            for (int e = 0; e < k; e++) {
                Conn& c = conns[events[static_cast<size_t>(e)].data.u64];
                if (c.closed) continue;
                char buf[4096];
                ssize_t r = read(c.fd, buf, sizeof buf);
                if (r == 0 || (r < 0 && errno != EAGAIN)) {
                    drop(ep, c);  // the server closed it (no room for one more client)
                    continue;
                }
                if (r < 0) continue;
                c.in.append(buf, static_cast<size_t>(r));
                size_t nl;
                while ((nl = c.in.find('\n')) != std::string::npos) {
                    auto now = Clock::now();
                    if (c.in.compare(0, nl + 1, kReply) != 0) ++errors;
                    c.in.erase(0, nl + 1);
                    rtt.push_back(std::chrono::duration<double, std::micro>(now - c.sent).count());
                    c.sent = now;
                    if (send(c.fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) < 0) {
                        drop(ep, c);
                        break;
                    }
                }
            }
        }
        close(ep);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PID CLIENTS SECONDS\n", argv[0]);
        return 2;
    }
    int pid = std::atoi(argv[1]);
    int n = std::atoi(argv[2]);
    double seconds = std::atof(argv[3]);
    long idle = rssKiB(pid);

    int threads = std::min(n, 4);
    std::vector<Worker> workers(static_cast<size_t>(threads));
    for (int i = 0; i < n; i++) {
        Conn c;
        c.fd = bench::connectCamera();
        fcntl(c.fd, F_SETFL, O_NONBLOCK);
        workers[static_cast<size_t>(i % threads)].conns.push_back(std::move(c));
    }
    double cpu_start = cpuMicros(pid);
    auto start = Clock::now();
    auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> pool;
    for (auto& w : workers) pool.emplace_back([&w, end] { w.run(end); });
    for (auto& t : pool) t.join();
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = cpuMicros(pid) - cpu_start;
    long loaded = rssKiB(pid);

    std::vector<double> rtt;
    long errors = 0, closed = 0;
    for (auto& w : workers) {
        rtt.insert(rtt.end(), w.rtt.begin(), w.rtt.end());
        errors += w.errors;
        closed += w.closed;
        for (auto& c : w.conns) close(c.fd);
    }
    std::sort(rtt.begin(), rtt.end());
    std::printf(
        "clients %d: %.0f req/s, p50 %.1f us, p99 %.1f us, %ld bad replies, %ld closed by the server, "
        "rss idle %ld KiB, after load %ld KiB, server cpu %.2f us/req\n",
        n, rtt.size() / took, bench::percentile(rtt, 0.50), bench::percentile(rtt, 0.99), errors, closed, idle, loaded,
        rtt.empty() ? 0.0 : cpu / static_cast<double>(rtt.size()));
    return 0;
}

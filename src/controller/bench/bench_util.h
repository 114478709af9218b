// Shared by the load and flood benchmarks: the camera's address and a
// client connection to it, the heartTest texts, the server's resident memory
// and percentiles of the round trips.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

const char kRequest[] = "{\"cmd\":\"heartTest\"}\n";
const char kReply[] = "{\"type\":\"heartTestResult\",\"code\":true}\n";

inline sockaddr_in cameraAddress() {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(8888);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A blocking client connection to the camera with Nagle off; a benchmark
// that cannot connect has nothing to measure, so it exits.
inline int connectCamera() {
    sockaddr_in a = cameraAddress();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The q-quantile (0..1) of sorted values, 0 for none.
inline double percentile(const std::vector<double>& sorted, double q) {
    return sorted.empty() ? 0.0 : sorted[static_cast<size_t>(q * (sorted.size() - 1))];
}

// VmRSS of /proc/PID/status in KiB, -1 when the process is gone.
inline long rssKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace bench

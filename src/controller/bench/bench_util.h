// Shared by the load and flood benchmarks: the camera's address, the
// heartTest texts and the server's resident memory.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

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

// VmRSS of /proc/PID/status in KiB, -1 when the process is gone.
inline long rssKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace bench

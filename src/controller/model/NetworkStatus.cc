#include "model/NetworkStatus.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <glog/logging.h>

std::string NetworkStatus::addressOf(const std::string& ifname, bool* socket_failed) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LOG(ERROR) << "create ip socket error " << std::strerror(errno);
        if (socket_failed) *socket_failed = true;
        return "";
    }
    struct ifreq req;
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    int r = ioctl(fd, SIOCGIFADDR, &req);
    close(fd);
    if (r != 0) return "";
    char text[INET_ADDRSTRLEN] = {0};
    auto* sin = reinterpret_cast<struct sockaddr_in*>(&req.ifr_addr);
    if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) return "";
    return text;
}

std::string NetworkStatus::lookUpIp() const {
    for (const char* name : {"wlan0", "eth0"}) {
        bool failed = false;
        std::string ip = addressOf(name, &failed);
        if (failed) return "";
        if (!ip.empty()) return ip;
    }
    return "";
}

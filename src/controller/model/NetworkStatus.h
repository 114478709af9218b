// The camera's IPv4 address ("wlan0", else "eth0").
#pragma once

#include <string>

class NetworkStatus {
public:
    std::string lookUpIp() const;
    // Address of one interface, "" when it has none.
    static std::string addressOf(const std::string& ifname, bool* socket_failed = nullptr);
};

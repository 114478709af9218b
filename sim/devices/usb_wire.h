// The bytes the camera module model puts on the wire: little- and big-endian
// fields, endpoint descriptors, hex text for the call list, and the
// endpoints of its identities. Shared by the module's parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "hex_text.h"

namespace vcam {
namespace usbwire {

// Endpoints of the UVC identity: VC interrupt, the vendor download and log
// endpoints on interface 0, video on interface 1.
constexpr uint8_t kEpStatus = 0x87;
constexpr uint8_t kEpPcsync = 0x01;
constexpr uint8_t kEpDownload = 0x04;
constexpr uint8_t kEpLog = 0x85;
constexpr uint8_t kEpVideo = 0x82;
// Bulk-only transport of the loader identities.
constexpr uint8_t kEpBotOut = 0x02;
constexpr uint8_t kEpBotIn = 0x81;

inline void put16(std::string& s, unsigned v) {
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}

inline void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

inline uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline std::string endpoint(uint8_t address, uint8_t attributes, uint16_t size, uint8_t interval) {
    std::string e = {7, 5, char(address), char(attributes)};
    put16(e, size);
    e += char(interval);
    return e;
}

inline std::string hexOf(const uint8_t* p, size_t n) { return toHex(std::string(reinterpret_cast<const char*>(p), n)); }

inline std::string hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v & 0xFFFF);
    return b;
}

inline std::string hex2(unsigned v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", v & 0xFF);
    return b;
}

// A configuration descriptor: its header (interfaces, bus-powered, 500 mA)
// then body, the interfaces and their descriptors.
inline std::string configuration(uint8_t interfaces, const std::string& body) {
    std::string c = {9, 0x02};
    put16(c, uint16_t(9 + body.size()));
    c += std::string{char(interfaces), 1, 0, char(0x80), char(0xFA)};
    return c + body;
}

// The configuration descriptors of the bridge (usb_bridge.cc) and of the
// loader identities (usb_loader.cc).
std::string bridgeConfiguration();
std::string loaderConfiguration();

}  // namespace usbwire
}  // namespace vcam

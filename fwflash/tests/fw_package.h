// Firmware packages and images built for the tests, in the chip maker's
// layout: an 18-byte file header, then per part its header table padded to
// 8192 bytes and its code, the next part on the following 4096-byte
// boundary.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "RombootApi.h"

namespace fwtest {

inline std::string pattern(size_t n, uint8_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 13 + i / 251);
    return s;
}

// One part: its header table in an 8192-byte block, then the code.
inline std::string packagePart(const std::string& code, uint32_t dst_address) {
    BRG_STORAGE_INDEX_TABLE1 table;
    BRG_FillBrgHeaderTable(BRG_CHIP_VSN3, &table, static_cast<uint32_t>(code.size()), dst_address, 0);
    std::string part(BRG_BURN_HEADER_SIZE, '\0');
    memcpy(&part[0], &table, sizeof(table));
    return part + code;
}

inline std::string package(const std::string& boot, uint32_t boot_dst, const std::string& fw, uint32_t fw_dst) {
    std::string p = "PKGHEADER-0123456X";  // 18 bytes
    p += packagePart(boot, boot_dst);
    if (fw.empty()) return p;
    const size_t shift = 18 + (boot.size() + BRG_BURN_HEADER_SIZE + 4095) / 4096 * 4096;
    p.resize(shift, '\0');
    return p + packagePart(fw, fw_dst);
}

// A part file as the unpacker writes it.
inline std::string partFile(const char* name, uint32_t dst_address, const std::string& code) {
    std::string f(name, 8);
    f += std::string("\x01\x00", 2);
    for (int i = 0; i < 4; ++i) f += static_cast<char>(dst_address >> (8 * i));
    for (int i = 0; i < 4; ++i) f += static_cast<char>(code.size() >> (8 * i));
    return f + code;
}

}  // namespace fwtest

#include "common/log_text.h"

#include <algorithm>
#include <cstdio>

namespace pnocamera {

namespace {

// Length of the UTF-8 sequence of a printable character at s (a code point
// from U+00A0 on, shortest form); 0 when there is none.
size_t printableUtf8(const unsigned char* s, size_t n) {
    unsigned char c = s[0];
    size_t len;
    unsigned long cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    bool shortest = (len == 2 && cp >= 0x80) || (len == 3 && cp >= 0x800) || (len == 4 && cp >= 0x10000);
    bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (!shortest || surrogate || cp > 0x10FFFF || cp < 0xA0) return 0;
    return len;
}

}  // namespace

std::string loggedText(const std::string& text, size_t max_bytes) {
    size_t shown = std::min(text.size(), max_bytes);
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(shown + 32);
    for (size_t i = 0; i < shown;) {
        unsigned char c = s[i];
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        size_t len = printableUtf8(s + i, shown - i);
        if (len) {
            out.append(text, i, len);
            i += len;
            continue;
        }
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
        ++i;
    }
    if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

}  // namespace pnocamera

#include "support/vcam_screen.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "hex_text.h"
#include "support/camtest.h"
#include "vcam_devctl.h"

namespace camtest {

namespace {

constexpr int kWidth = 128;
constexpr int kHeight = 64;

struct Icon {
    int x = 0, y = 0, w = 0, h = 0;
    std::string bits;
};

// An icon table as the controller loads it; empty when unreadable.
const std::vector<Icon>& icons(const std::string& path) {
    static std::mutex mu;
    static std::map<std::string, std::vector<Icon>> tables;
    std::lock_guard<std::mutex> lock(mu);
    auto found = tables.find(path);
    if (found != tables.end()) return found->second;
    std::vector<Icon>& table = tables[path];
    std::ifstream in(path, std::ios::binary);
    std::string f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto byte = [&](size_t i) { return static_cast<uint8_t>(f[i]); };
    if (f.size() < 4) return table;
    uint32_t count = byte(0) | byte(1) << 8 | byte(2) << 16 | uint32_t(byte(3)) << 24;
    size_t at = 4;
    std::vector<Icon> out;
    for (uint32_t i = 0; i < count; ++i) {
        if (at >= f.size()) return table;
        size_t n = byte(at++);
        if (at + n + 4 > f.size()) return table;
        at += n;
        Icon ic;
        ic.x = byte(at);
        ic.y = byte(at + 1);
        ic.w = byte(at + 2);
        ic.h = byte(at + 3);
        at += 4;
        size_t len = size_t(ic.w) * ic.h / 8;
        if (at + len > f.size()) return table;
        ic.bits = f.substr(at, len);
        at += len;
        out.push_back(ic);
    }
    table = std::move(out);
    return table;
}

}  // namespace

bool Panel::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight || px.size() != size_t(kWidth * kHeight)) return false;
    return px[size_t(y * kWidth + x)] != 0;
}

Panel readPanel() {
    Panel p;
    try {
        vcam::DevCtl ctl;
        std::istringstream reply(ctl.command("panel"));
        std::string lit, hex;
        for (std::string w; reply >> w;) {
            if (w.compare(0, 4, "lit=") == 0) lit = w.substr(4);
            if (w.compare(0, 3, "px=") == 0) hex = w.substr(3);
        }
        std::string packed;
        if (!vcam::fromHex(hex, packed) || packed.size() != size_t(kWidth * kHeight / 8)) return p;
        p.px.resize(size_t(kWidth * kHeight));
        for (size_t i = 0; i < p.px.size(); ++i) p.px[i] = (static_cast<uint8_t>(packed[i / 8]) >> (7 - i % 8)) & 1;
        p.lit = lit == "1";
        p.ok = true;
    } catch (const vcam::DevCtlError&) {
    }
    return p;
}

bool panelShowsIcon(const Panel& panel, int icon, const IconAt& at) {
    const std::vector<Icon>& table = icons(at.table);
    if (!panel.ok || !panel.lit || icon < 0 || size_t(icon) >= table.size()) return false;
    const Icon& ic = table[size_t(icon)];
    // the driver refuses a bitmap past column 126; it sets the low
    // column bit, so an even x starts one column to the right
    if (ic.x + ic.w > 127) return false;
    int col = ic.x | 1;
    int page = static_cast<uint8_t>(ic.y + (at.row * 16) % 64) / 8;
    for (int band = 0; band < ic.h / 8; ++band) {
        int top = ((page + band) & 7) * 8;
        for (int i = 0; i < ic.w; ++i) {
            uint8_t b = static_cast<uint8_t>(ic.bits[size_t(band * ic.w + i)]);
            if (at.reversed) b = static_cast<uint8_t>(~b);
            for (int r = 0; r < 8; ++r)
                if (panel.at(col + i, top + r) != (((b >> r) & 1) != 0)) return false;
        }
    }
    return true;
}

bool waitForIcon(int icon, std::chrono::milliseconds timeout) {
    return waitFor([icon] { return panelShowsIcon(readPanel(), icon); }, timeout);
}

namespace {

bool board(const std::string& line) {
    try {
        vcam::DevCtl ctl;
        return ctl.request(line) == "ok";
    } catch (const vcam::DevCtlError&) {
        return false;
    }
}

}  // namespace

bool unplugDevice(const std::string& name) { return board("unplug " + name); }

bool plugDevice(const std::string& name) { return board("plug " + name); }

}  // namespace camtest

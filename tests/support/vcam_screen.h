// The virtual camera's panel as a test sees it: the picture on the glass
// (from the device server) and the icons of the English icon table.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace camtest {

struct Panel {
    bool ok = false;          // the device server answered
    bool lit = false;         // display on, charge pump on, out of reset
    std::vector<uint8_t> px;  // 128 x 64, 1 = on, row-major
    bool at(int x, int y) const;
};

// The panel's picture now.
Panel readPanel();

// Where an icon is looked for: shifted down by row * 16 pixels as a list row
// is drawn, with inverted pixels, from which icon table.
struct IconAt {
    int row = 0;
    bool reversed = false;
    const char* table = "/lib/resource/EnglishVer.bin";
};
constexpr const char* kChineseTable = "/lib/resource/ChineseVer.bin";

// True when the panel shows the icon's bitmap from the table (English by
// default) at its table position, as the panel driver draws it (column
// x | 1, page y / 8, whole pages only).
bool panelShowsIcon(const Panel&, int icon, const IconAt& at = IconAt());

// Polls the panel until it shows the icon.
bool waitForIcon(int icon, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Takes "/dev/oled" or "/dev/gyrotap" (name "oled", "gyrotap") out of the
// camera, as if its module had not loaded, and puts it back; false when the
// device server refuses. (Unlinking a served node has no effect.)
bool unplugDevice(const std::string& name);
bool plugDevice(const std::string& name);

}  // namespace camtest

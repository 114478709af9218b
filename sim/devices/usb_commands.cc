#include "usb_commands.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "command_words.h"
#include "hex_text.h"
#include "usb_server.h"

namespace vcam {

namespace {

bool faultKind(const std::string& s, UsbFault& f) {
    if (s == "stall")
        f = UsbFault::Stall;
    else if (s == "timeout")
        f = UsbFault::Timeout;
    else if (s == "short")
        f = UsbFault::Short;
    else if (s == "nodev")
        f = UsbFault::NoDevice;
    else
        return false;
    return true;
}

const char* identityName(UsbIdentity id) {
    switch (id) {
        case UsbIdentity::Romboot:
            return "romboot";
        case UsbIdentity::Updater:
            return "updater";
        default:
            return "uvc";
    }
}

const char* endingName(UsbEnding::End e) {
    switch (e) {
        case UsbEnding::Fail:
            return "fail";
        case UsbEnding::Drop:
            return "drop";
        case UsbEnding::Silent:
            return "silent";
        default:
            return "ok";
    }
}

}  // namespace

bool UsbCommands::handles(const std::string& line) {
    std::vector<std::string> w = words(line);
    return !w.empty() && w[0] == "usb";
}

std::string UsbCommands::execute(const std::string& line) {
    std::vector<std::string> w = words(line);
    long lens = 0;
    if (w.size() < 3) return "err usage: usb LENS COMMAND (try help)";
    if (!toLong(w[1], 0, usb_.modules() - 1, lens))
        return "err no lens " + w[1] + " (0 to " + std::to_string(usb_.modules() - 1) + ")";
    int n = int(lens);
    const std::string& cmd = w[2];
    size_t args = w.size() - 3;

    if (cmd == "state" && args == 0) {
        std::ostringstream o;
        bool present = usb_.present(n);
        int devnum = usb_.devnum(n);
        usb_.with(n, [&](UsbModule& m) {
            char pid[8];
            std::snprintf(pid, sizeof pid, "%04x", m.product());
            o << "ok identity=" << identityName(m.identity()) << " id=114d:" << pid << " present=" << present
              << " devnum=" << devnum << " video=" << m.videoBound() << " logging=" << m.logging()
              << " log=" << m.logQueued() << " image=" << m.image().size() << " ending=" << endingName(m.ending().end)
              << " busy=" << m.ending().busy << " faces=" << m.faces();
        });
        return o.str();
    }
    if (cmd == "image" && args == 0) {
        std::string hex;
        usb_.with(n, [&](UsbModule& m) { hex = toHex(m.image()); });
        return hex.empty() ? "ok" : "ok " + hex;
    }
    if (cmd == "read" && (args == 1 || args == 3) && (w[3] == "flash" || w[3] == "dram")) {
        std::string hex, error;
        usb_.with(n, [&](UsbModule& m) {
            const std::vector<uint8_t>& mem = w[3] == "flash" ? m.flash() : m.dram();
            long off = 0, len = long(mem.size());
            if (args == 3 &&
                (!toLong(w[4], 0, long(mem.size()), off) || !toLong(w[5], 0, long(mem.size()) - off, len))) {
                error = "err " + w[3] + " holds " + std::to_string(mem.size()) + " bytes";
                return;
            }
            hex = toHex(std::string(mem.begin() + off, mem.begin() + off + len));
        });
        if (!error.empty()) return error;
        return hex.empty() ? "ok" : "ok " + hex;
    }
    if (cmd == "after-burn" && (args == 1 || args == 2)) {
        UsbEnding e;
        if (w[3] == "ok")
            e.end = UsbEnding::Ok;
        else if (w[3] == "fail")
            e.end = UsbEnding::Fail;
        else if (w[3] == "drop")
            e.end = UsbEnding::Drop;
        else if (w[3] == "silent")
            e.end = UsbEnding::Silent;
        else
            return "err usage: usb LENS after-burn ok|fail|drop|silent [BUSY_POLLS]";
        long busy = 1;
        if (args == 2 && !toLong(w[4], 0, 1000, busy)) return "err busy polls are 0 to 1000";
        e.busy = int(busy);
        usb_.with(n, [&](UsbModule& m) { m.setEnding(e); });
        return "ok";
    }
    if (cmd == "fault" && args >= 1) {
        const std::string& what = w[3];
        if (what == "claim" && args == 2) {
            int err = w[4] == "busy" ? EBUSY : w[4] == "perm" ? EPERM : 0;
            if (!err) return "err usage: usb LENS fault claim busy|perm";
            usb_.with(n, [&](UsbModule& m) { m.armClaimFault(err); });
            return "ok";
        }
        if (what == "descriptors" && args == 2 && (w[4] == "on" || w[4] == "off")) {
            usb_.setDescriptorFault(n, w[4] == "on");
            return "ok";
        }
        if (what == "open" && args == 2 && (w[4] == "on" || w[4] == "off")) {
            usb_.setOpenFault(n, w[4] == "on");
            return "ok";
        }
        if (what == "sg" && args >= 2) {
            SgFault f;
            long a = 0, b = 0, c = 0;
            if (w[4] == "check" && args == 5 && toLong(w[5], 0, 15, a, 16) && toLong(w[6], 0, 255, b, 16) &&
                toLong(w[7], 0, 255, c, 16)) {
                f.status = 2;
                f.key = uint8_t(a);
                f.asc = uint8_t(b);
                f.ascq = uint8_t(c);
            } else if (w[4] == "host" && args == 3 && toLong(w[5], 1, 0xFFFF, a, 16)) {
                f.host = int(a);
            } else if (w[4] == "driver" && args == 3 && toLong(w[5], 1, 0xFFFF, a, 16)) {
                f.driver = int(a);
            } else if (w[4] == "errno" && args == 3 && toLong(w[5], 1, 4095, a)) {
                f.err = int(a);
            } else {
                return "err usage: usb LENS fault sg check KEY ASC ASCQ|host N|driver N|errno N (hex but errno)";
            }
            usb_.armSgFault(n, f);
            return "ok";
        }
        std::string target = what;
        long index = 0;
        size_t kindAt = 4;
        if (what == "chunk" || what == "bulk" || what == "vendor") {
            if (args < 2) return "err usage: usb LENS fault " + what + (what == "chunk" ? " N" : " HEX") + " [KIND]";
            bool ok = what == "chunk" ? toLong(w[4], 1, 1L << 30, index) : toLong(w[4], 0, 255, index, 16);
            if (!ok) return "err bad " + what + " number " + w[4];
            kindAt = 5;
        } else if (what != "init" && what != "burn" && what != "poll" && what != "next") {
            return "err usage of usb fault (try help)";
        }
        if (w.size() > kindAt + 1) return "err usage of usb fault (try help)";
        UsbFault kind = UsbFault::Stall;
        if (w.size() == kindAt + 1 && !faultKind(w[kindAt], kind))
            return "err fault kinds are stall, timeout, short, nodev";
        usb_.with(n, [&](UsbModule& m) { m.armFault(target, index, kind); });
        return "ok";
    }
    if (cmd == "faces" && args == 1) {
        long count = 0;
        if (!toLong(w[3], 0, 255, count)) return "err a face count is 0 to 255";
        usb_.with(n, [&](UsbModule& m) { m.setFaces(int(count)); });
        return "ok";
    }
    if (cmd == "clear" && args == 0) {
        usb_.with(n, [](UsbModule& m) { m.clear(); });
        usb_.setDescriptorFault(n, false);
        usb_.setOpenFault(n, false);
        usb_.armSgFault(n, SgFault());
        return "ok";
    }
    if (cmd == "calls" && args == 0) {
        std::string calls;
        usb_.with(n, [&](UsbModule& m) { calls = m.calls("|"); });
        return calls.empty() ? "ok" : "ok " + calls;
    }
    if (cmd == "boot" && args == 1) {
        UsbIdentity id;
        if (w[3] == "uvc")
            id = UsbIdentity::Uvc;
        else if (w[3] == "romboot")
            id = UsbIdentity::Romboot;
        else if (w[3] == "updater")
            id = UsbIdentity::Updater;
        else
            return "err usage: usb LENS boot uvc|romboot|updater";
        usb_.plug(n, id);
        return "ok";
    }
    if (cmd == "unplug" && args <= 1) {
        long ms = -1;
        if (args == 1 && !toLong(w[3], 0, 600000, ms)) return "err return time is 0 to 600000 ms";
        if (!usb_.present(n)) return "err the module of lens " + w[1] + " is off the bus";
        usb_.unplug(n, int(ms));
        return "ok";
    }
    if (cmd == "plug" && args == 0) {
        if (usb_.present(n)) return "err the module of lens " + w[1] + " is on the bus";
        UsbIdentity id = UsbIdentity::Uvc;
        usb_.with(n, [&](UsbModule& m) { id = m.identity(); });
        usb_.plug(n, id);
        return "ok";
    }
    if (cmd == "return" && args == 1) {
        long ms = 0;
        if (!toLong(w[3], 0, 600000, ms)) return "err return time is 0 to 600000 ms";
        usb_.with(n, [&](UsbModule& m) { m.setReturnMs(int(ms)); });
        return "ok";
    }
    if (cmd == "log" && args >= 2) {
        if (w[3] == "raw" && args == 2) {
            std::string bytes;
            if (!fromHex(w[4], bytes) || bytes.empty()) return "err raw log bytes are hex";
            usb_.with(n, [&](UsbModule& m) { m.queueRawLog(bytes); });
            return "ok";
        }
        long type = 0;
        if (!toLong(w[3], 0, 0xFFFF, type)) return "err log types are 0 to 65535";
        std::string payload;
        if (w[4] == "size" && args == 3) {
            long size = 0;
            if (!toLong(w[5], 0, 0xFFFF, size)) return "err a message holds 0 to 65535 bytes";
            for (long i = 0; i < size; ++i) payload += char('a' + i % 26);
        } else {
            // the text as typed, words joined by one space
            size_t at = line.find(w[4], line.find(w[3], line.find(w[2]) + w[2].size()) + w[3].size());
            payload = line.substr(at);
            while (!payload.empty() && payload.back() == ' ') payload.pop_back();
            if (payload.size() > 0xFFFF) return "err a message holds 0 to 65535 bytes";
        }
        usb_.with(n, [&](UsbModule& m) { m.queueLog(uint16_t(type), payload); });
        return "ok";
    }
    return "err usage of usb " + cmd + " (try help)";
}

}  // namespace vcam

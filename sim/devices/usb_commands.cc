#include "usb_commands.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "command_words.h"
#include "hex_text.h"
#include "usb_server.h"

namespace vcam {

namespace {

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

// One "usb LENS COMMAND ARGS..." line, split.
struct Call {
    const std::vector<std::string>& w;  // the words, w[3] the first argument
    int lens;
    size_t args;
    const std::string& line;
};

// A handler's reply; "" for arguments it does not take.
using Handler = std::string (*)(UsbServer& usb, const Call& c);

std::string state(UsbServer& usb, const Call& c) {
    std::ostringstream o;
    bool present = usb.present(c.lens);
    int devnum = usb.devnum(c.lens);
    usb.with(c.lens, [&](UsbModule& m) {
        char pid[8];
        std::snprintf(pid, sizeof pid, "%04x", m.product());
        o << "ok identity=" << identityName(m.identity()) << " id=114d:" << pid << " present=" << present
          << " devnum=" << devnum << " video=" << m.videoBound() << " logging=" << m.logging()
          << " log=" << m.logQueued() << " image=" << m.image().size() << " ending=" << endingName(m.ending().end)
          << " busy=" << m.ending().busy << " faces=" << m.faces();
    });
    return o.str();
}

std::string image(UsbServer& usb, const Call& c) {
    std::string hex;
    usb.with(c.lens, [&](UsbModule& m) { hex = toHex(m.image()); });
    return hex.empty() ? "ok" : "ok " + hex;
}

std::string read(UsbServer& usb, const Call& c) {
    const std::vector<std::string>& w = c.w;
    if (c.args == 2 || (w[3] != "flash" && w[3] != "dram")) return "";
    std::string hex, error;
    usb.with(c.lens, [&](UsbModule& m) {
        const std::vector<uint8_t>& mem = w[3] == "flash" ? m.flash() : m.dram();
        long off = 0, len = long(mem.size());
        if (c.args == 3 && (!toLong(w[4], 0, long(mem.size()), off) || !toLong(w[5], 0, long(mem.size()) - off, len))) {
            error = "err " + w[3] + " holds " + std::to_string(mem.size()) + " bytes";
            return;
        }
        hex = toHex(std::string(mem.begin() + off, mem.begin() + off + len));
    });
    if (!error.empty()) return error;
    return hex.empty() ? "ok" : "ok " + hex;
}

std::string afterBurn(UsbServer& usb, const Call& c) {
    const std::vector<std::string>& w = c.w;
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
    if (c.args == 2 && !toLong(w[4], 0, 1000, busy)) return "err busy polls are 0 to 1000";
    e.busy = int(busy);
    usb.with(c.lens, [&](UsbModule& m) { m.setEnding(e); });
    return "ok";
}

std::string sgFault(UsbServer& usb, const Call& c) {
    const std::vector<std::string>& w = c.w;
    SgFault f;
    long a = 0, b = 0, d = 0;
    if (w[4] == "check" && c.args == 5 && toLong(w[5], 0, 15, a, 16) && toLong(w[6], 0, 255, b, 16) &&
        toLong(w[7], 0, 255, d, 16)) {
        f.status = 2;
        f.key = uint8_t(a);
        f.asc = uint8_t(b);
        f.ascq = uint8_t(d);
    } else if (w[4] == "host" && c.args == 3 && toLong(w[5], 1, 0xFFFF, a, 16)) {
        f.host = int(a);
    } else if (w[4] == "driver" && c.args == 3 && toLong(w[5], 1, 0xFFFF, a, 16)) {
        f.driver = int(a);
    } else if (w[4] == "errno" && c.args == 3 && toLong(w[5], 1, 4095, a)) {
        f.err = int(a);
    } else {
        return "err usage: usb LENS fault sg check KEY ASC ASCQ|host N|driver N|errno N (hex but errno)";
    }
    usb.armSgFault(c.lens, f);
    return "ok";
}

std::string fault(UsbServer& usb, const Call& c) {
    const std::vector<std::string>& w = c.w;
    const std::string& what = w[3];
    if (what == "claim" && c.args == 2) {
        int err = w[4] == "busy" ? EBUSY : w[4] == "perm" ? EPERM : 0;
        if (!err) return "err usage: usb LENS fault claim busy|perm";
        usb.with(c.lens, [&](UsbModule& m) { m.armClaimFault(err); });
        return "ok";
    }
    if (what == "descriptors" && c.args == 2 && (w[4] == "on" || w[4] == "off")) {
        usb.setDescriptorFault(c.lens, w[4] == "on");
        return "ok";
    }
    if (what == "open" && c.args == 2 && (w[4] == "on" || w[4] == "off")) {
        usb.setOpenFault(c.lens, w[4] == "on");
        return "ok";
    }
    if (what == "sg" && c.args >= 2) return sgFault(usb, c);
    long index = 0;
    size_t kindAt = 4;
    if (what == "chunk" || what == "bulk" || what == "vendor") {
        if (c.args < 2) return "err usage: usb LENS fault " + what + (what == "chunk" ? " N" : " HEX") + " [KIND]";
        bool ok = what == "chunk" ? toLong(w[4], 1, 1L << 30, index) : toLong(w[4], 0, 255, index, 16);
        if (!ok) return "err bad " + what + " number " + w[4];
        kindAt = 5;
    } else if (what != "init" && what != "burn" && what != "poll" && what != "next") {
        return "err usage of usb fault (try help)";
    }
    if (w.size() > kindAt + 1) return "err usage of usb fault (try help)";
    UsbFault kind = UsbFault::Stall;
    if (w.size() == kindAt + 1 && !faultByName(w[kindAt], kind))
        return "err fault kinds are stall, timeout, short, nodev";
    usb.with(c.lens, [&](UsbModule& m) { m.armFault(what, index, kind); });
    return "ok";
}

// The one argument, a number in [lo, hi], handed to the module by set.
std::string setNumber(UsbServer& usb, const Call& c, long lo, long hi, const char* refused,
                      void (UsbModule::*set)(int)) {
    long n = 0;
    if (!toLong(c.w[3], lo, hi, n)) return refused;
    usb.with(c.lens, [&](UsbModule& m) { (m.*set)(int(n)); });
    return "ok";
}

std::string faces(UsbServer& usb, const Call& c) {
    return setNumber(usb, c, 0, 255, "err a face count is 0 to 255", &UsbModule::setFaces);
}

std::string clear(UsbServer& usb, const Call& c) {
    usb.with(c.lens, [](UsbModule& m) { m.clear(); });
    usb.setDescriptorFault(c.lens, false);
    usb.setOpenFault(c.lens, false);
    usb.armSgFault(c.lens, SgFault());
    return "ok";
}

std::string calls(UsbServer& usb, const Call& c) {
    std::string list;
    usb.with(c.lens, [&](UsbModule& m) { list = m.calls("|"); });
    return list.empty() ? "ok" : "ok " + list;
}

std::string boot(UsbServer& usb, const Call& c) {
    UsbIdentity id;
    if (c.w[3] == "uvc")
        id = UsbIdentity::Uvc;
    else if (c.w[3] == "romboot")
        id = UsbIdentity::Romboot;
    else if (c.w[3] == "updater")
        id = UsbIdentity::Updater;
    else
        return "err usage: usb LENS boot uvc|romboot|updater";
    usb.plug(c.lens, id);
    return "ok";
}

std::string unplug(UsbServer& usb, const Call& c) {
    long ms = -1;
    if (c.args == 1 && !toLong(c.w[3], 0, 600000, ms)) return "err return time is 0 to 600000 ms";
    if (!usb.present(c.lens)) return "err the module of lens " + c.w[1] + " is off the bus";
    usb.unplug(c.lens, int(ms));
    return "ok";
}

std::string plug(UsbServer& usb, const Call& c) {
    if (usb.present(c.lens)) return "err the module of lens " + c.w[1] + " is on the bus";
    UsbIdentity id = UsbIdentity::Uvc;
    usb.with(c.lens, [&](UsbModule& m) { id = m.identity(); });
    usb.plug(c.lens, id);
    return "ok";
}

std::string returnMs(UsbServer& usb, const Call& c) {
    return setNumber(usb, c, 0, 600000, "err return time is 0 to 600000 ms", &UsbModule::setReturnMs);
}

std::string log(UsbServer& usb, const Call& c) {
    const std::vector<std::string>& w = c.w;
    if (w[3] == "raw" && c.args == 2) {
        std::string bytes;
        if (!fromHex(w[4], bytes) || bytes.empty()) return "err raw log bytes are hex";
        usb.with(c.lens, [&](UsbModule& m) { m.queueRawLog(bytes); });
        return "ok";
    }
    long type = 0;
    if (!toLong(w[3], 0, 0xFFFF, type)) return "err log types are 0 to 65535";
    std::string payload;
    if (w[4] == "size" && c.args == 3) {
        long size = 0;
        if (!toLong(w[5], 0, 0xFFFF, size)) return "err a message holds 0 to 65535 bytes";
        for (long i = 0; i < size; ++i) payload += char('a' + i % 26);
    } else {
        // the text as typed, words joined by one space
        const std::string& line = c.line;
        size_t at = line.find(w[4], line.find(w[3], line.find(w[2]) + w[2].size()) + w[3].size());
        payload = line.substr(at);
        while (!payload.empty() && payload.back() == ' ') payload.pop_back();
        if (payload.size() > 0xFFFF) return "err a message holds 0 to 65535 bytes";
    }
    usb.with(c.lens, [&](UsbModule& m) { m.queueLog(uint16_t(type), payload); });
    return "ok";
}

constexpr size_t kAny = ~size_t(0);

// One row per command: its name, the arguments it takes, its handler and
// its lines of help.
struct Command {
    const char* name;
    size_t minArgs, maxArgs;
    Handler run;
    const char* help;
};

const Command kCommands[] = {
    {"state", 0, 0, state,
     "  usb LENS state                  identity, ids, device number, video node, log, image size,\n"
     "                                  burn ending, faces\n"},
    {"image", 0, 0, image,
     "  usb LENS image                  the image the module burned last, in hex: a vendor\n"
     "                                  download's bytes as announced; an extension-unit burn's\n"
     "                                  32-byte chunks as received (that path sends no length:\n"
     "                                  the zeros that fill the last chunk are part of it)\n"
     "  usb LENS image FILE             (vcam-devctl) writes that image into FILE\n"},
    {"read", 1, 3, read,
     "  usb LENS read flash|dram [OFFSET LENGTH]  the module's flash or memory, in hex\n"
     "  usb LENS read flash|dram FILE [OFFSET LENGTH]  (vcam-devctl) into FILE\n"},
    {"after-burn", 1, 2, afterBurn,
     "  usb LENS after-burn ok|fail|drop|silent [BUSY_POLLS]\n"
     "                                  how a burn ends: status 0, 0x82, leaving the bus\n"
     "                                  or no answer, after BUSY_POLLS busy polls (default ok 1)\n"},
    {"fault", 1, kAny, fault,
     "  usb LENS fault init|burn|poll|next [KIND]  the next such transfer fails\n"
     "  usb LENS fault chunk N [KIND]   the N-th data chunk (from 1) after the init fails\n"
     "  usb LENS fault bulk EP|vendor REQ [KIND]  the next bulk transfer on EP (hex),\n"
     "                                  the next vendor request REQ (hex) fails; a bulk\n"
     "                                  endpoint that stalls stays halted until the host\n"
     "                                  clears it (CLEAR_FEATURE(ENDPOINT_HALT))\n"
     "                                  KIND: stall (default), timeout, short, nodev\n"
     "  usb LENS fault claim busy|perm  the next claim fails with EBUSY or EPERM\n"
     "  usb LENS fault descriptors on|off  the sysfs descriptors are cut short\n"
     "  usb LENS fault open on|off      the usbfs node refuses to open (EACCES)\n"
     "  usb LENS fault sg check KEY ASC ASCQ|host N|driver N|errno N\n"
     "                                  the next SG_IO of /dev/sgLENS fails so\n"},
    {"faces", 1, 1, faces,
     "  usb LENS faces N                the face-position answer reports N faces (0-255),\n"
     "                                  rectangle K (from 1) at 100K,100K+1,100K+2,100K+3\n"},
    {"clear", 0, 0, clear,
     "  usb LENS clear                  faults, halts, call list, ending and faces back to\n"
     "                                  defaults\n"},
    {"calls", 0, 0, calls, "  usb LENS calls                  the transfers the module saw, joined by \"|\"\n"},
    {"boot", 1, 1, boot, "  usb LENS boot uvc|romboot|updater  re-enumerates now as 114d:858a, 8a03 or 8200\n"},
    {"unplug", 0, 1, unplug, "  usb LENS unplug [MS]|plug       leaves the bus (back after MS), or comes back\n"},
    {"plug", 0, 0, plug, ""},
    {"return", 1, 1, returnMs,
     "  usb LENS return MS              how long a module that left the bus stays away\n"
     "                                  (default 1500)\n"},
    {"log", 2, kAny, log,
     "  usb LENS log TYPE TEXT...       queues a device log message of TYPE (0-65535)\n"
     "  usb LENS log TYPE size N        one of N payload bytes (a-z repeated)\n"
     "  usb LENS log raw HEX            raw bytes as one message, header included"},
};

}  // namespace

const char* UsbCommands::help() {
    static const std::string text = [] {
        std::string h;
        for (const Command& c : kCommands) h += c.help;
        return h;
    }();
    return text.c_str();
}

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
    const Call call{w, int(lens), w.size() - 3, line};
    const std::string usage = "err usage of usb " + w[2] + " (try help)";
    for (const Command& c : kCommands) {
        if (w[2] != c.name) continue;
        if (call.args < c.minArgs || call.args > c.maxArgs) return usage;
        std::string reply = c.run(usb_, call);
        return reply.empty() ? usage : reply;
    }
    return usage;
}

}  // namespace vcam

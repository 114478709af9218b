#include "control_commands.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "command_words.h"

namespace vcam {

namespace {

bool toDouble(const std::string& s, double& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "YYMonDD" as the firmware reports its build date.
bool validBuildDate(const std::string& d) {
    if (d.size() != 7) return false;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!digit(d[0]) || !digit(d[1]) || !digit(d[5]) || !digit(d[6])) return false;
    for (const char* m : kMonths)
        if (d.compare(2, 3, m) == 0) return true;
    return false;
}

}  // namespace

ControlCommands::ControlCommands(std::vector<std::unique_ptr<LensSlot>>& lenses, RunClock& clock)
    : lenses_(lenses), clock_(clock) {}

const char* ControlCommands::help() {
    return "commands:\n"
           "  lenses                          number of lenses\n"
           "  clock                           now=<us> running=<0|1> rate=<r>\n"
           "  clock pause | run [RATE] | advance US | frames N\n"
           "  fault LENS eio|noframe|xu|fwstatus [COUNT]   COUNT -1 = until cleared\n"
           "  fault LENS size W H [COUNT]     frames of another size\n"
           "  fault LENS busy|nostreaming|nocapture|nov4l2|noperm [on|off]\n"
           "  clear LENS                      drop every fault\n"
           "  state LENS                      every value, key=value\n"
           "  get LENS KEY\n"
           "  set LENS light X | build_date YYMonDD | exposure|gain|shutter|r|g|b|mode N\n"
           "  mappings LENS                   mapped extension-unit controls\n"
           "LENS is a lens number or \"all\".";
}

std::vector<size_t> ControlCommands::lensesOf(const std::string& word) const {
    std::vector<size_t> out;
    if (word == "all") {
        for (size_t i = 0; i < lenses_.size(); ++i) out.push_back(i);
        return out;
    }
    long i = 0;
    if (!lenses_.empty() && toLong(word, 0, long(lenses_.size()) - 1, i)) out.push_back(size_t(i));
    return out;
}

std::string ControlCommands::clockCommand(const std::vector<std::string>& w) {
    if (w.size() == 1) {
        std::ostringstream o;
        o << "ok now=" << clock_.nowUs() << " running=" << (clock_.running() ? 1 : 0) << " rate=" << clock_.rate();
        return o.str();
    }
    const std::string& what = w[1];
    if (what == "pause" && w.size() == 2) {
        clock_.pause();
        return "ok";
    }
    if (what == "run" && w.size() <= 3) {
        double rate = 1.0;
        if (w.size() == 3 && !toDouble(w[2], rate)) return "err bad rate";
        return clock_.run(rate) ? "ok" : "err bad rate";
    }
    if ((what == "advance" || what == "frames") && w.size() == 3) {
        long n = 0;
        if (!toLong(w[2], 0, 1000000000L, n)) return "err bad count";
        // a frame period at 60 per second, rounded up so that n frames are due
        int64_t us = what == "advance" ? n : (int64_t(n) * 1000000 + 59) / 60;
        clock_.advance(us);
        return "ok";
    }
    return "err usage: clock [pause | run [RATE] | advance US | frames N]";
}

std::string ControlCommands::faultCommand(const std::vector<std::string>& w) {
    if (w.size() < 3) return "err usage: fault LENS NAME [ARGS]";
    std::vector<size_t> which = lensesOf(w[1]);
    if (which.empty()) return "err no such lens";
    const std::string& name = w[2];
    long count = -1;
    auto countAt = [&](size_t i) { return w.size() <= i || (w.size() == i + 1 && toLong(w[i], -1, 1000000, count)); };
    bool flag = true;
    auto flagAt = [&](size_t i) {
        if (w.size() <= i) return true;
        if (w.size() != i + 1) return false;
        if (w[i] == "on") return true;
        if (w[i] == "off") {
            flag = false;
            return true;
        }
        return false;
    };
    long sw = 0, sh = 0;
    if (name == "size") {
        if (w.size() < 5 || !toLong(w[3], 16, 8192, sw) || !toLong(w[4], 16, 8192, sh) || !countAt(5))
            return "err usage: fault LENS size W H [COUNT]";
    } else if (name == "eio" || name == "noframe" || name == "xu" || name == "fwstatus") {
        if (!countAt(3)) return "err bad count";
    } else if (name == "busy" || name == "nostreaming" || name == "nocapture" || name == "nov4l2" || name == "noperm") {
        if (!flagAt(3)) return "err usage: fault LENS " + name + " [on|off]";
    } else {
        return "err unknown fault " + name;
    }
    for (size_t i : which) {
        std::lock_guard<std::mutex> lock(lenses_[i]->mu);
        LensFaults& f = lenses_[i]->model->faults();
        int n = int(count);
        if (name == "eio")
            f.eio.n = n;
        else if (name == "noframe")
            f.noframe.n = n;
        else if (name == "xu")
            f.xu.n = n;
        else if (name == "fwstatus")
            f.fwstatus.n = n;
        else if (name == "size") {
            f.size.n = n;
            f.size_w = int(sw);
            f.size_h = int(sh);
        } else if (name == "busy")
            f.busy = flag;
        else if (name == "nostreaming")
            f.nostreaming = flag;
        else if (name == "nocapture")
            f.nocapture = flag;
        else if (name == "nov4l2")
            f.nov4l2 = flag;
        else if (name == "noperm")
            f.noperm = flag;
    }
    return "ok";
}

std::string ControlCommands::setCommand(LensModel& lens, const std::vector<std::string>& w) {
    const std::string& key = w[2];
    const std::string& value = w[3];
    IspRegisters& isp = lens.isp();
    long n = 0;
    if (key == "light") {
        double x = 0;
        if (!toDouble(value, x) || x <= 0 || x > 100) return "err bad light";
        lens.setLight(x);
        return "ok";
    }
    if (key == "build_date") {
        if (!validBuildDate(value)) return "err build date is YYMonDD, e.g. 15Mar09";
        isp.build_date = value;
        return "ok";
    }
    if (key == "exposure") {
        if (!toLong(value, 0, 0xffffffffL, n)) return "err bad value";
        isp.exposure = uint32_t(n);
        return "ok";
    }
    long hi = key == "mode" ? 0xff : 0xffff;
    if (!toLong(value, 0, hi, n)) return "err bad value";
    if (key == "gain")
        isp.gain = uint16_t(n);
    else if (key == "shutter")
        isp.shutter = uint16_t(n);
    else if (key == "r")
        isp.rgb[0] = uint16_t(n);
    else if (key == "g")
        isp.rgb[1] = uint16_t(n);
    else if (key == "b")
        isp.rgb[2] = uint16_t(n);
    else if (key == "mode")
        isp.working_mode = uint8_t(n);
    else
        return "err unknown key " + key;
    return "ok";
}

std::string ControlCommands::execute(const std::string& line) {
    std::vector<std::string> w = words(line);
    if (w.empty()) return "err empty command";
    const std::string& cmd = w[0];
    if (cmd == "help") {
        std::string h = help();
        for (char& c : h)
            if (c == '\n') c = '|';
        return "ok " + h;
    }
    if (cmd == "lenses" && w.size() == 1) return "ok " + std::to_string(lenses_.size());
    if (cmd == "clock") return clockCommand(w);
    if (cmd == "fault") return faultCommand(w);
    if (cmd == "clear" && w.size() == 2) {
        std::vector<size_t> which = lensesOf(w[1]);
        if (which.empty()) return "err no such lens";
        for (size_t i : which) {
            std::lock_guard<std::mutex> lock(lenses_[i]->mu);
            lenses_[i]->model->faults() = LensFaults();
        }
        return "ok";
    }
    if ((cmd == "state" && w.size() == 2) || (cmd == "get" && w.size() == 3) || (cmd == "set" && w.size() == 4) ||
        (cmd == "mappings" && w.size() == 2)) {
        std::vector<size_t> which = lensesOf(w[1]);
        if (which.size() != 1) return "err no such lens";
        LensSlot& slot = *lenses_[which[0]];
        std::lock_guard<std::mutex> lock(slot.mu);
        if (cmd == "set") return setCommand(*slot.model, w);
        if (cmd == "mappings") {
            std::string out = "ok";
            for (const std::string& m : slot.model->mappings()) out += (out == "ok" ? " " : ";") + m;
            return out;
        }
        slot.model->reapOwner();
        auto s = slot.model->state();
        if (cmd == "get") {
            auto it = s.find(w[2]);
            return it == s.end() ? "err unknown key " + w[2] : "ok " + it->second;
        }
        std::string out = "ok";
        for (const auto& kv : s) out += " " + kv.first + "=" + kv.second;
        return out;
    }
    return "err unknown command " + cmd + " (try help)";
}

}  // namespace vcam

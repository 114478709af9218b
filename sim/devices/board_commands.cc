#include "board_commands.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "board_server.h"
#include "command_words.h"
#include "hex_text.h"

namespace vcam {

namespace {

bool toInt16(const std::string& s, int16_t& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -32768 || v > 32767) return false;
    out = int16_t(v);
    return true;
}

bool onOff(const std::string& s, bool& on) {
    if (s == "on")
        on = true;
    else if (s == "off")
        on = false;
    else
        return false;
    return true;
}

}  // namespace

bool BoardCommands::handles(const std::string& line) {
    std::vector<std::string> w = words(line);
    if (w.empty()) return false;
    const std::string& c = w[0];
    return c == "panel" || c == "screen" || c == "sensor" || c == "ack" || c == "dmesg" || c == "files" ||
           c == "unplug" || c == "plug";
}

std::string BoardCommands::execute(const std::string& line) {
    std::vector<std::string> w = words(line);
    const std::string& cmd = w.at(0);
    if (cmd == "panel" && w.size() == 1) {
        BoardServer::Picture p = board_.panel();
        std::string packed(p.px.size() / 8, '\0');
        for (size_t i = 0; i < p.px.size(); ++i)
            if (p.px[i]) packed[i / 8] = char(packed[i / 8] | (0x80 >> (i % 8)));
        return std::string("ok lit=") + (p.lit ? "1" : "0") + " px=" + toHex(packed);
    }
    if (cmd == "screen" && w.size() <= 2) {
        long scale = 4;
        if (w.size() == 2) {
            char* end = nullptr;
            scale = std::strtol(w[1].c_str(), &end, 10);
            if (w[1].empty() || *end != '\0' || scale < 1 || scale > 16) return "err scale is 1 to 16";
        }
        std::string png = board_.png(int(scale));
        if (png.empty()) return "err cannot draw the picture";
        return "ok " + toHex(png);
    }
    if (cmd == "sensor" && w.size() == 1) {
        vk_sensor_sample s = board_.sample();
        std::ostringstream o;
        o << "ok ax=" << s.accel[0] << " ay=" << s.accel[1] << " az=" << s.accel[2] << " temp=" << s.temp
          << " gx=" << s.gyro[0] << " gy=" << s.gyro[1] << " gz=" << s.gyro[2];
        return o.str();
    }
    if (cmd == "sensor" && w.size() == 7) {
        vk_sensor_sample s = board_.sample();
        int16_t v[6];
        for (int i = 0; i < 6; ++i)
            if (!toInt16(w[size_t(i) + 1], v[i])) return "err raw counts are -32768 to 32767";
        for (int i = 0; i < 3; ++i) {
            s.accel[i] = v[i];
            s.gyro[i] = v[i + 3];
        }
        board_.setSample(s);
        return "ok";
    }
    if (cmd == "ack" && w.size() == 3) {
        bool on = true;
        if (!onOff(w[2], on)) return "err usage: ack panel|sensor on|off";
        if (w[1] == "panel")
            board_.setPanelAcking(on);
        else if (w[1] == "sensor")
            board_.setSensorAcking(on);
        else
            return "err usage: ack panel|sensor on|off";
        return "ok";
    }
    if (cmd == "dmesg" && (w.size() == 1 || (w.size() == 2 && w[1] == "clear"))) {
        std::string log = board_.kernelLog(w.size() == 2);
        if (!log.empty() && log.back() == '\n') log.pop_back();
        for (char& c : log)
            if (c == '\n') c = '|';
        return log.empty() ? "ok" : "ok " + log;
    }
    if ((cmd == "unplug" || cmd == "plug") && w.size() == 2) {
        if (w[1] != "oled" && w[1] != "gyrotap") return "err usage: " + cmd + " oled|gyrotap";
        bool done = cmd == "unplug" ? board_.unplug(w[1]) : board_.plug(w[1]);
        return done ? "ok" : "err /dev/" + w[1] + (cmd == "unplug" ? " is not there" : " is there");
    }
    if (cmd == "files" && w.size() == 1) return "ok " + std::to_string(board_.openFiles());
    return "err usage of " + cmd + " (try help)";
}

}  // namespace vcam

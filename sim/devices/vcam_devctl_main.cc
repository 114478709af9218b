// vcam-devctl: the device server's control from a shell inside the camera.
//   vcam-devctl clock pause
//   vcam-devctl fault 0 eio 1
//   vcam-devctl state 1
//   vcam-devctl sensor 0 0 16384 0 0 0
//   vcam-devctl screen /sdcard/screen.png
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "board_commands.h"
#include "control_commands.h"
#include "hex_text.h"
#include "vcam_devctl.h"

namespace {

// "screen FILE [SCALE]": the panel's picture into FILE.
int saveScreen(vcam::DevCtl& ctl, const std::string& path, const std::string& scale) {
    std::string reply = ctl.request(scale.empty() ? "screen" : "screen " + scale);
    std::string png;
    if (reply.compare(0, 3, "ok ") != 0 || !vcam::fromHex(reply.substr(3), png)) {
        std::fprintf(stderr, "vcam-devctl: %s\n", reply.c_str());
        return 1;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(png.data(), std::streamsize(png.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "vcam-devctl: cannot write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: vcam-devctl COMMAND [ARGS...]\n%s\n%s\n"
                     "  screen FILE.png [SCALE]         writes the panel's picture into FILE.png\n",
                     vcam::ControlCommands::help(), vcam::BoardCommands::help());
        return 2;
    }
    std::string cmd = argv[1];
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    try {
        vcam::DevCtl ctl;
        // a file name (not a scale) after "screen": save the picture there
        if (cmd == "screen" && argc >= 3 && argc <= 4 &&
            std::string(argv[2]).find_first_not_of("0123456789") != std::string::npos)
            return saveScreen(ctl, argv[2], argc == 4 ? argv[3] : "");
        std::string reply = ctl.request(line);
        if (reply == "ok") return 0;
        if (reply.compare(0, 3, "ok ") == 0) {
            std::string body = reply.substr(3);
            char sep = 0;
            if (cmd == "help") sep = '\t';
            else if (cmd == "dmesg") sep = '|';
            else if (cmd == "state" || (cmd == "sensor" && argc == 2) || cmd == "panel") sep = ' ';
            if (sep)
                for (char& c : body)
                    if (c == sep) c = '\n';
            std::printf("%s\n", body.c_str());
            return 0;
        }
        std::fprintf(stderr, "vcam-devctl: %s\n", reply.c_str());
        return 1;
    } catch (const vcam::DevCtlError& e) {
        std::fprintf(stderr, "vcam-devctl: %s\n", e.what());
        return 2;
    }
}

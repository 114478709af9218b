// vcam-devctl: the device server's control from a shell inside the camera.
//   vcam-devctl clock pause
//   vcam-devctl fault 0 eio 1
//   vcam-devctl state 1
//   vcam-devctl sensor 0 0 16384 0 0 0
//   vcam-devctl screen /sdcard/screen.png
//   vcam-devctl usb 0 image /tmp/burned.bin
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "board_commands.h"
#include "control_commands.h"
#include "hex_text.h"
#include "usb_commands.h"
#include "vcam_devctl.h"

namespace {

// Sends `request`, whose reply holds bytes in hex, and writes them to path.
int saveBytes(vcam::DevCtl& ctl, const std::string& request, const std::string& path) {
    std::string reply = ctl.request(request);
    std::string bytes;
    if (reply != "ok" && (reply.compare(0, 3, "ok ") != 0 || !vcam::fromHex(reply.substr(3), bytes))) {
        std::fprintf(stderr, "vcam-devctl: %s\n", reply.c_str());
        return 1;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
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
        std::fprintf(stderr,
                     "usage: vcam-devctl COMMAND [ARGS...]\n%s\n%s\n"
                     "  screen FILE.png [SCALE]         writes the panel's picture into FILE.png\n%s\n",
                     vcam::ControlCommands::help(), vcam::BoardCommands::help(), vcam::UsbCommands::help());
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
            return saveBytes(ctl, argc == 4 ? std::string("screen ") + argv[3] : "screen", argv[2]);
        // "usb LENS image FILE", "usb LENS read flash|dram FILE [OFFSET LENGTH]"
        if (cmd == "usb" && argc == 5 && std::string(argv[3]) == "image")
            return saveBytes(ctl, std::string("usb ") + argv[2] + " image", argv[4]);
        if (cmd == "usb" && (argc == 6 || argc == 8) && std::string(argv[3]) == "read") {
            std::string req = std::string("usb ") + argv[2] + " read " + argv[4];
            if (argc == 8) req += std::string(" ") + argv[6] + " " + argv[7];
            return saveBytes(ctl, req, argv[5]);
        }
        std::string reply = ctl.request(line);
        if (reply == "ok") return 0;
        if (reply.compare(0, 3, "ok ") == 0) {
            std::string body = reply.substr(3);
            char sep = 0;
            if (cmd == "help")
                sep = '\t';
            else if (cmd == "dmesg" || (cmd == "usb" && argc == 4 && std::string(argv[3]) == "calls"))
                sep = '|';
            else if (cmd == "state" || (cmd == "sensor" && argc == 2) || cmd == "panel" ||
                     (cmd == "usb" && argc == 4 && std::string(argv[3]) == "state"))
                sep = ' ';
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

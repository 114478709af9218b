// vcam-devctl: the device server's control from a shell inside the camera.
//   vcam-devctl clock pause
//   vcam-devctl fault 0 eio 1
//   vcam-devctl state 1
#include <cstdio>
#include <cstring>
#include <string>

#include "control_commands.h"
#include "vcam_devctl.h"

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: vcam-devctl COMMAND [ARGS...]\n%s\n",
                     vcam::ControlCommands::help());
        return 2;
    }
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    try {
        vcam::DevCtl ctl;
        std::string reply = ctl.request(line);
        if (reply == "ok") return 0;
        if (reply.compare(0, 3, "ok ") == 0) {
            std::string body = reply.substr(3);
            if (argv[1] == std::string("help") || argv[1] == std::string("state")) {
                char sep = argv[1] == std::string("help") ? '|' : ' ';
                for (char& c : body)
                    if (c == sep) c = '\n';
            }
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

// The run's control over the board: the panel's picture, the motion
// sensor's sample, the buses' acknowledges and the kernel log. One text
// line in, one line out ("ok ..." or "err ...").
#pragma once

#include <string>
#include <vector>

namespace vcam {

class BoardServer;

class BoardCommands {
public:
    explicit BoardCommands(BoardServer& board) : board_(board) {}

    // True when the line's first word is a board command.
    static bool handles(const std::string& line);
    std::string execute(const std::string& line);

    static const char* help() {
        return "  panel                           lit=<0|1> px=<hex>: 64 rows of 16 bytes, bit 7 leftmost\n"
               "  screen [SCALE]                  the panel as PNG bytes in hex (scale 1-16, default 4)\n"
               "  sensor                          ax ay az temp gx gy gz raw counts, key=value\n"
               "  sensor AX AY AZ GX GY GZ        the sample the motion sensor serves\n"
               "  ack panel|sensor on|off         whether the device acknowledges on its bus\n"
               "  dmesg [clear]                   the kernel log, lines joined by \"|\"\n"
               "  files                           driver handles open for clients\n"
               "  unplug|plug oled|gyrotap        takes the node out of /dev or puts it back";
    }

private:
    BoardServer& board_;
};

}  // namespace vcam

// The run's control over the lenses' camera modules on the USB bus: the
// firmware they burned, how a burn ends, faults of single transfers and of
// claims, the identity they boot in, their device log and the transfers
// they saw. One text line in, one line out ("ok ..." or "err ...").
#pragma once

#include <string>
#include <vector>

namespace vcam {

class UsbServer;

class UsbCommands {
public:
    explicit UsbCommands(UsbServer& usb) : usb_(usb) {}

    // True for a line whose first word is "usb".
    static bool handles(const std::string& line);
    std::string execute(const std::string& line);

    // The lines of help of every command (kCommands in usb_commands.cc).
    static const char* help();

private:
    UsbServer& usb_;
};

}  // namespace vcam

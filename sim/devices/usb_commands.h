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

    static const char* help() {
        return "  usb LENS state                  identity, ids, device number, video node, log, image size,\n"
               "                                  burn ending, faces\n"
               "  usb LENS image                  the image the module burned last, in hex: a vendor\n"
               "                                  download's bytes as announced; an extension-unit burn's\n"
               "                                  32-byte chunks as received (that path sends no length:\n"
               "                                  the zeros that fill the last chunk are part of it)\n"
               "  usb LENS image FILE             (vcam-devctl) writes that image into FILE\n"
               "  usb LENS read flash|dram [OFFSET LENGTH]  the module's flash or memory, in hex\n"
               "  usb LENS read flash|dram FILE [OFFSET LENGTH]  (vcam-devctl) into FILE\n"
               "  usb LENS after-burn ok|fail|drop|silent [BUSY_POLLS]\n"
               "                                  how a burn ends: status 0, 0x82, leaving the bus\n"
               "                                  or no answer, after BUSY_POLLS busy polls (default ok 1)\n"
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
               "                                  the next SG_IO of /dev/sgLENS fails so\n"
               "  usb LENS faces N                the face-position answer reports N faces (0-255),\n"
               "                                  rectangle K (from 1) at 100K,100K+1,100K+2,100K+3\n"
               "  usb LENS clear                  faults, halts, call list, ending and faces back to\n"
               "                                  defaults\n"
               "  usb LENS calls                  the transfers the module saw, joined by \"|\"\n"
               "  usb LENS boot uvc|romboot|updater  re-enumerates now as 114d:858a, 8a03 or 8200\n"
               "  usb LENS unplug [MS]|plug       leaves the bus (back after MS), or comes back\n"
               "  usb LENS return MS              how long a module that left the bus stays away\n"
               "                                  (default 1500)\n"
               "  usb LENS log TYPE TEXT...       queues a device log message of TYPE (0-65535)\n"
               "  usb LENS log TYPE size N        one of N payload bytes (a-z repeated)\n"
               "  usb LENS log raw HEX            raw bytes as one message, header included";
    }

private:
    UsbServer& usb_;
};

}  // namespace vcam

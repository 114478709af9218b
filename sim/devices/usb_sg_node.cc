// The SCSI generic node /dev/sgN of a module in a loader identity: its
// device in sysfs and its SG_IO requests (the vendor test command answered,
// anything else an illegal request, the faults a run injects).
#include <fcntl.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <umockdev.h>

#include "hex_text.h"
#include "usb_ioctl_blocks.h"
#include "usb_server.h"

namespace vcam {

namespace {

// sg driver_status: sense data is there
constexpr uint16_t kDriverSense = 0x08;

std::string sgName(int lens) { return "sg" + std::to_string(lens); }

}  // namespace

std::string UsbServer::sgPath(int lens) const {
    const std::string n = std::to_string(lens);
    return sysPath(lens) + "/1-" + port(lens) + ":1.0/host" + n + "/target" + n + ":0:0/" + n + ":0:0:0/scsi_generic/" +
           sgName(lens);
}

// Main loop, without the lock.
void UsbServer::addSgNode(int lens, unsigned generation) {
    const std::string name = sgName(lens), n = std::to_string(lens);
    attachNode(lens, generation, "/dev/" + name, true);
    std::string scsi = "P: " + sgPath(lens).substr(std::strlen("/sys")) + "\n" + "N: " + name + "=00\n" +
                       "E: SUBSYSTEM=scsi_generic\nE: DEVNAME=/dev/" + name + "\n" + "E: MAJOR=21\nE: MINOR=" + n +
                       "\n" + "A: dev=21:" + n + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, scsi.c_str(), &error)) {
        std::fprintf(stderr, "vcam-devd: cannot add /dev/%s: %s\n", name.c_str(), error ? error->message : "?");
        g_clear_error(&error);
    }
}

void UsbServer::removeSgNode(int lens) {
    const std::string path = "/dev/" + sgName(lens);
    for (auto& n : nodes_)
        if (n->attached && n->path == path) {
            umockdev_testbed_detach_ioctl(testbed_, n->path.c_str(), nullptr);
            n->attached = false;
        }
    umockdev_testbed_remove_device(testbed_, sgPath(lens).c_str());
    unlink((root_ + path).c_str());
}

int UsbServer::sgIo(Node& node, UMockdevIoctlData* arg) {
    Slot& s = *slots_[size_t(node.lens)];
    Held d(resolve(arg, 0, sizeof(sg_io_hdr_t)));
    if (!d) return EFAULT;
    auto* h = d.as<sg_io_hdr_t>();
    if (h->interface_id != 'S') return ENOSYS;
    if (h->cmd_len == 0 || h->cmd_len > 16) return EINVAL;
    Held cmd(resolve(d.get(), offsetof(sg_io_hdr_t, cmdp), h->cmd_len));
    if (!cmd) return EFAULT;
    Held data(h->dxfer_len > 0 && h->dxferp ? resolve(d.get(), offsetof(sg_io_hdr_t, dxferp), h->dxfer_len) : nullptr);
    if (h->dxfer_len > 0 && h->dxferp && !data) return EFAULT;
    Held sense(h->mx_sb_len > 0 && h->sbp ? resolve(d.get(), offsetof(sg_io_hdr_t, sbp), h->mx_sb_len) : nullptr);
    const uint8_t* cb = cmd.get()->data;
    std::string line = "sg " + toHex(std::string(reinterpret_cast<const char*>(cb), h->cmd_len));
    SgFault f = s.sgFault;
    s.sgFault = SgFault();
    if (f.err) {
        s.module.note(line + " errno " + std::to_string(f.err));
        return f.err;
    }
    bool test = h->cmd_len >= 4 && cb[0] == 0xFA && cb[1] == 0x55 && cb[2] == 0x66 && cb[3] == 0x01;
    h->status = 0;
    h->masked_status = 0;
    h->msg_status = 0;
    h->sb_len_wr = 0;
    h->host_status = 0;
    h->driver_status = 0;
    h->resid = int(h->dxfer_len);
    h->duration = 1;
    h->info = 0;
    uint8_t key = 0, asc = 0, ascq = 0;
    if (f.status || f.host || f.driver) {
        h->status = uint8_t(f.status);
        h->host_status = uint16_t(f.host);
        h->driver_status = uint16_t(f.driver);
        key = f.key;
        asc = f.asc;
        ascq = f.ascq;
    } else if (test && h->dxfer_direction == SG_DXFER_FROM_DEV) {
        if (data) {
            std::memset(data.get()->data, 0, h->dxfer_len);
            uint8_t answer[2] = {0xAA, 0x55};
            size_t n = std::min<size_t>(2, h->dxfer_len);
            std::memcpy(data.get()->data, answer, n);
            h->resid = int(h->dxfer_len) - int(std::min<unsigned>(16, h->dxfer_len));
        }
    } else {
        // illegal request, invalid command operation code
        h->status = 2;
        key = 5;
        asc = 0x20;
    }
    if (h->status == 2) {
        h->driver_status = uint16_t(h->driver_status | kDriverSense);
        uint8_t fixed[18] = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
        if (sense) {
            size_t n = std::min<size_t>(sizeof fixed, h->mx_sb_len);
            std::memcpy(sense.get()->data, fixed, n);
            h->sb_len_wr = uint8_t(n);
        }
    }
    h->masked_status = uint8_t((h->status >> 1) & 0x7F);
    if (h->status || h->host_status || h->driver_status) h->info = SG_INFO_CHECK;
    char tail[64];
    std::snprintf(tail, sizeof tail, " status=%d host=%d driver=%d", h->status, h->host_status, h->driver_status);
    s.module.note(line + tail);
    return 0;
}

}  // namespace vcam

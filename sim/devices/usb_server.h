// Serves each lens's camera module on the camera's USB bus through
// umockdev: a usb_device in sysfs with its real descriptors and a
// /dev/bus/usb/001/NNN node whose usbdevfs ioctls (URBs submitted, reaped
// and discarded, interfaces claimed, released, detached from their kernel
// driver) come to the module model, so the real libusb enumerates, opens and
// transfers as on the board. A module in a loader identity also has a SCSI
// generic node /dev/sgN (SG_IO). A module that leaves the bus loses its
// nodes (open handles get "no device") and comes back with a new device
// number. The testbed itself is changed on the server's main loop.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "umockdev_handles.h"
#include "usb_module.h"

namespace vcam {

// A check condition, host or driver error the SCSI generic node gives
// its next SG_IO; `err` makes the ioctl itself fail.
struct SgFault {
    int status = 0;  // SCSI status (2: check condition)
    uint8_t key = 0, asc = 0, ascq = 0;
    int host = 0;
    int driver = 0;
    int err = 0;
};

class UsbServer {
public:
    // Called on the main loop when a lens's video node should come or go.
    using VideoHook = std::function<void(int lens, bool present)>;

    UsbServer(UMockdevTestbed* testbed, int lenses, VideoHook video);
    ~UsbServer();
    UsbServer(const UsbServer&) = delete;
    UsbServer& operator=(const UsbServer&) = delete;

    int modules() const { return int(slots_.size()); }
    // Runs f on the module with the server's lock held; then carries out
    // the bus events it asked for.
    void with(int lens, const std::function<void(UsbModule&)>& f);
    // Takes the module off the bus now (`returnMs` < 0: until plugged) or
    // enumerates it now as `identity`.
    void unplug(int lens, int returnMs);
    void plug(int lens, UsbIdentity identity);
    bool present(int lens);
    int devnum(int lens);
    void setDescriptorFault(int lens, bool on);
    // The module's usbfs node refuses to open (EACCES).
    void setOpenFault(int lens, bool on);
    void armSgFault(int lens, const SgFault& f);

    struct Client;
    struct Urb;
    // One lens's module and how it is on the bus.
    struct Slot {
        explicit Slot(int lens) : module(lens) {}
        UsbModule module;
        bool present = true;
        unsigned generation = 1;
        int devnum = 0;
        bool video = true;  // the lens's video node is shown
        bool sg = false;    // the SCSI generic node is shown
        bool descriptorFault = false;
        bool openFault = false;
        SgFault sgFault;
    };
    struct Node {
        UsbServer* server;
        int lens;
        unsigned generation;
        bool sg;
        std::string path;
        bool attached;
        // The node is a FIFO the server keeps full while the client has
        // nothing to reap: libusb polls the node for POLLOUT.
        int pipe = -1;
        bool full = false;
    };
    // Testbed thread.
    void ioctl(Node& node, UMockdevIoctlClient* client);
    void read(Node& node, UMockdevIoctlClient* client);
    void vanished(UMockdevIoctlClient* client);

private:
    // The usbdevfs side (usb_devfs.cc), lock held.
    struct Devfs;  // one request of a client, a handler per request
    int usbIoctl(Node& node, Client& c, unsigned long req, UMockdevIoctlData* arg, long& result);
    Client& clientOf(Node& node, UMockdevIoctlClient* client);
    void dropClient(UMockdevIoctlClient* client);
    void sweep();
    // Runs the URB again when the module had nothing for it yet.
    void retry(Slot& s, Urb& u);
    void rebindIdle(int lens);
    // POLLOUT on the node while a URB waits to be reaped or the device is
    // gone.
    void signal(Node& node);
    bool stale(const Client& c) const;
    // The SCSI generic node (usb_sg_node.cc).
    int sgIo(Node& node, UMockdevIoctlData* arg);
    void addSgNode(int lens, unsigned generation);
    void removeSgNode(int lens);
    std::string sgPath(int lens) const;

    // The bus side (usb_server.cc).
    // Lock held: the module's bus events and driver changes.
    void settle(int lens);
    // main loop: testbed changes
    void post(std::function<void()> task);
    static int runPosted(void* self);
    void flushPosted();
    Node* attachNode(int lens, unsigned generation, const std::string& path, bool sg);
    void addDevice(int lens);
    void removeDevice(int lens, bool sg);
    // Lock held: the module leaves the bus, back as `next` after returnMs.
    void leave(int lens, UsbIdentity next, int returnMs);
    std::string port(int lens) const;
    std::string sysPath(int lens) const;
    std::string devPath(int lens) const;

    std::mutex mu_;
    UMockdevTestbed* testbed_;
    VideoHook video_;
    std::string root_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::map<UMockdevIoctlClient*, std::unique_ptr<Client>> clients_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<std::unique_ptr<UMockdevIoctlBase, Unref>> handlers_;
    int next_devnum_;
    std::vector<std::function<void()>> tasks_;
    unsigned idle_ = 0;
    unsigned sweeper_ = 0;
    std::set<unsigned> timers_;
    bool closing_ = false;
};

}  // namespace vcam

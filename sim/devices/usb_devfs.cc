// The usbdevfs side of the USB server, on the testbed's thread: the clients
// of a module's node, their reads (the descriptors) and ioctls (URBs
// submitted, reaped and discarded, interfaces claimed, released, detached
// from their kernel driver), and the node's POLLOUT while a URB waits.
#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <umockdev.h>

#include "usb_clients.h"
#include "usb_ioctl_blocks.h"
#include "usb_server.h"
#include "usb_wire.h"

namespace vcam {

using usbwire::hex4;

namespace {

constexpr unsigned kCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                           USBDEVFS_CAP_BULK_SCATTER_GATHER;
constexpr int kUsbSpeedHigh = 3;

}  // namespace

// One usbdevfs request of a client on a module's node (the server's lock
// held), and a handler for each request the node takes.
struct UsbServer::Devfs {
    UsbServer& server;
    Node& node;
    Client& c;
    Slot& s;
    UsbModule& m;
    UMockdevIoctlData* arg;
    long& result;

    int submit();
    int reap();
    int discard();
    int capabilities();
    int speed();
    int connectInfo();
    int claim();
    int release();
    int driver();
    int driverControl();
    int clearHalt();
    int accept();
    int reset();

    // The interface a claim or release names, in i; one out of range is
    // noted and refused with `refused`.
    int interfaceArg(const char* verb, int refused, int& i);
    // Another client of the module, still on its generation, holds i.
    bool claimedElsewhere(int i) const;

    // One row per request; `current`: the module must still be the one the
    // client opened (else ENODEV).
    struct Request {
        unsigned long request;
        bool current;
        int (Devfs::*run)();
    };
    static const Request kRequests[];
};

const UsbServer::Devfs::Request UsbServer::Devfs::kRequests[] = {
    {USBDEVFS_SUBMITURB, false, &Devfs::submit},
    {USBDEVFS_REAPURB, false, &Devfs::reap},
    {USBDEVFS_REAPURBNDELAY, false, &Devfs::reap},
    {USBDEVFS_DISCARDURB, false, &Devfs::discard},
    {USBDEVFS_GET_CAPABILITIES, true, &Devfs::capabilities},
    {USBDEVFS_GET_SPEED, true, &Devfs::speed},
    {USBDEVFS_CONNECTINFO, true, &Devfs::connectInfo},
    {USBDEVFS_CLAIMINTERFACE, true, &Devfs::claim},
    {USBDEVFS_RELEASEINTERFACE, true, &Devfs::release},
    {USBDEVFS_GETDRIVER, true, &Devfs::driver},
    {USBDEVFS_IOCTL, true, &Devfs::driverControl},
    {USBDEVFS_CLEAR_HALT, true, &Devfs::clearHalt},
    {USBDEVFS_SETCONFIGURATION, true, &Devfs::accept},
    {USBDEVFS_SETINTERFACE, true, &Devfs::accept},
    {USBDEVFS_RESETEP, true, &Devfs::accept},
    {USBDEVFS_RESET, true, &Devfs::reset},
};

void UsbServer::signal(Node& node) {
    if (node.pipe < 0) return;
    const Slot& s = *slots_[size_t(node.lens)];
    bool wake = !s.present || s.generation != node.generation;
    for (auto& kv : clients_) {
        const Client& c = *kv.second;
        if (wake) break;
        if (c.lens != node.lens || c.sg || c.generation != node.generation) continue;
        for (auto& u : c.urbs)
            if (u->ready) wake = true;
    }
    char buf[4096];
    if (wake && node.full) {
        while (::read(node.pipe, buf, sizeof buf) > 0) {
        }
        node.full = false;
    } else if (!wake && !node.full) {
        std::memset(buf, 0, sizeof buf);
        while (::write(node.pipe, buf, sizeof buf) > 0) {
        }
        node.full = true;
    }
}

bool UsbServer::stale(const Client& c) const {
    const Slot& s = *slots_[size_t(c.lens)];
    return !s.present || c.generation != s.generation;
}

UsbServer::Client& UsbServer::clientOf(Node& node, UMockdevIoctlClient* client) {
    auto it = clients_.find(client);
    if (it != clients_.end()) return *it->second;
    sweep();
    auto c = std::make_unique<Client>();
    c->ref = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    c->lens = node.lens;
    c->generation = node.generation;
    c->sg = node.sg;
    if (!node.sg) slots_[size_t(node.lens)]->module.note("open");
    Client& ref = *c;
    clients_[client] = std::move(c);
    return ref;
}

void UsbServer::dropClient(UMockdevIoctlClient* client) {
    auto it = clients_.find(client);
    if (it == clients_.end()) return;
    int lens = it->second->lens;
    bool sg = it->second->sg;
    bool current = !stale(*it->second);
    for (int i : it->second->claimed)
        if (current) slots_[size_t(lens)]->module.note("release " + std::to_string(i));
    g_object_unref(it->second->ref);
    clients_.erase(it);
    if (!sg && current) slots_[size_t(lens)]->module.note("close");
    rebindIdle(lens);
    settle(lens);
}

void UsbServer::sweep() {
    std::vector<UMockdevIoctlClient*> gone;
    for (auto& kv : clients_)
        if (!umockdev_ioctl_client_get_connected(kv.first)) gone.push_back(kv.first);
    for (UMockdevIoctlClient* c : gone) dropClient(c);
}

void UsbServer::vanished(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mu_);
    dropClient(client);
}

// A driver the tool detached comes back once nobody holds its interface:
// a claim holds it until released, a detach without a claim until closed.
// The UVC driver takes both video interfaces at once.
void UsbServer::rebindIdle(int lens) {
    Slot& s = *slots_[size_t(lens)];
    if (!s.present) return;
    bool uvc = s.module.identity() == UsbIdentity::Uvc;
    auto held = [&](int i) {
        for (auto& kv : clients_) {
            const Client& c = *kv.second;
            if (c.lens == lens && !c.sg && !stale(c) && (c.claimed.count(i) || c.detached.count(i))) return true;
        }
        return false;
    };
    for (int i = 0; i < s.module.interfaces(); ++i) {
        if (!s.module.driverOf(i).empty()) continue;
        if (uvc ? held(0) || held(1) : held(i)) continue;
        s.module.bind(i);
        if (!s.module.driverOf(i).empty())
            s.module.note("attach " + std::to_string(uvc ? 0 : i) + " " + s.module.driverOf(i));
    }
}

void UsbServer::read(Node& node, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mu_);
    Client& c = clientOf(node, client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (node.sg || stale(c)) {
        umockdev_ioctl_client_complete(client, -1, node.sg ? EINVAL : ENODEV);
        return;
    }
    // usbfs reads give the descriptors
    std::string d = slots_[size_t(c.lens)]->module.descriptors();
    size_t n = c.readPos < d.size() ? std::min(size_t(arg->data_len), d.size() - c.readPos) : 0;
    std::memcpy(arg->data, d.data() + c.readPos, n);
    c.readPos += n;
    umockdev_ioctl_client_complete(client, long(n), 0);
}

void UsbServer::ioctl(Node& node, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mu_);
    Client& c = clientOf(node, client);
    unsigned long req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    long result = 0;
    int err = node.sg ? (req == SG_IO ? sgIo(node, arg) : ENOTTY) : usbIoctl(node, c, req, arg, result);
    settle(node.lens);
    umockdev_ioctl_client_complete(client, err ? -1 : result, err);
}

int UsbServer::usbIoctl(Node& node, Client& c, unsigned long req, UMockdevIoctlData* arg, long& result) {
    Slot& s = *slots_[size_t(node.lens)];
    Devfs call{*this, node, c, s, s.module, arg, result};
    for (const Devfs::Request& r : Devfs::kRequests) {
        if (r.request != req) continue;
        if (r.current && stale(c)) return ENODEV;
        return (call.*r.run)();
    }
    return stale(c) ? ENODEV : ENOTTY;
}

int UsbServer::Devfs::capabilities() {
    Held d(resolve(arg, 0, sizeof(uint32_t)));
    if (!d) return EFAULT;
    *d.as<uint32_t>() = kCaps;
    return 0;
}

int UsbServer::Devfs::speed() {
    result = kUsbSpeedHigh;
    return 0;
}

int UsbServer::Devfs::connectInfo() {
    Held d(resolve(arg, 0, sizeof(usbdevfs_connectinfo)));
    if (!d) return EFAULT;
    d.as<usbdevfs_connectinfo>()->devnum = unsigned(s.devnum);
    d.as<usbdevfs_connectinfo>()->slow = 0;
    return 0;
}

int UsbServer::Devfs::interfaceArg(const char* verb, int refused, int& i) {
    Held d(resolve(arg, 0, sizeof(unsigned)));
    if (!d) return EFAULT;
    i = int(*d.as<unsigned>());
    if (i >= 0 && i < m.interfaces()) return 0;
    m.note(std::string(verb) + " " + std::to_string(i) + " no such interface");
    return refused;
}

bool UsbServer::Devfs::claimedElsewhere(int i) const {
    for (auto& kv : server.clients_)
        if (kv.second.get() != &c && kv.second->lens == c.lens && !server.stale(*kv.second) &&
            kv.second->claimed.count(i))
            return true;
    return false;
}

int UsbServer::Devfs::claim() {
    int i = 0;
    if (int err = interfaceArg("claim", ENOENT, i)) return err;
    if (c.claimed.count(i)) return 0;
    int fault = m.claimFault();
    int err = fault ? fault : (claimedElsewhere(i) || !m.driverOf(i).empty()) ? EBUSY : 0;
    m.note("claim " + std::to_string(i) + (err ? std::string(" ") + strerror(err) : ""));
    if (!err) {
        c.claimed.insert(i);
        c.detached.erase(i);
    }
    return err;
}

int UsbServer::Devfs::release() {
    int i = 0;
    if (int err = interfaceArg("release", EINVAL, i)) return err;
    if (!c.claimed.erase(i)) return EINVAL;
    m.note("release " + std::to_string(i));
    server.rebindIdle(node.lens);
    return 0;
}

int UsbServer::Devfs::driver() {
    Held d(resolve(arg, 0, sizeof(usbdevfs_getdriver)));
    if (!d) return EFAULT;
    auto* g = d.as<usbdevfs_getdriver>();
    std::string drv = m.driverOf(int(g->interface));
    if (drv.empty()) return ENODATA;
    std::snprintf(g->driver, sizeof g->driver, "%s", drv.c_str());
    return 0;
}

// USBDEVFS_IOCTL: an interface's kernel driver detached or attached again.
int UsbServer::Devfs::driverControl() {
    Held d(resolve(arg, 0, sizeof(usbdevfs_ioctl)));
    if (!d) return EFAULT;
    auto* io = d.as<usbdevfs_ioctl>();
    int i = io->ifno;
    if (unsigned(io->ioctl_code) == USBDEVFS_DISCONNECT) {
        if (i < 0 || i >= m.interfaces()) return EINVAL;
        std::string drv = m.driverOf(i);
        if (drv.empty()) return ENODATA;
        m.unbind(i);
        c.detached.insert(i);
        m.note("detach " + std::to_string(i) + " " + drv);
        return 0;
    }
    if (unsigned(io->ioctl_code) == USBDEVFS_CONNECT) {
        if (i < 0 || i >= m.interfaces()) return EINVAL;
        c.detached.erase(i);
        if (c.claimed.count(i)) return EBUSY;
        m.bind(i);
        m.note("attach " + std::to_string(i) + " " + m.driverOf(i));
        return 0;
    }
    return ENOTTY;
}

int UsbServer::Devfs::clearHalt() {
    Held d(resolve(arg, 0, sizeof(unsigned)));
    if (!d) return EFAULT;
    unsigned ep = *d.as<unsigned>();
    if (ep > 0xFF || m.interfaceOf(uint8_t(ep)) < 0) return ENOENT;
    m.clearHalt(uint8_t(ep));
    return 0;
}

// Configuration, alternate setting and endpoint reset: taken as done.
int UsbServer::Devfs::accept() { return 0; }

int UsbServer::Devfs::reset() {
    m.note("reset");
    return 0;
}

int UsbServer::Devfs::submit() {
    auto u = std::make_unique<Urb>();
    u->urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!u->urb) return EFAULT;
    if (server.stale(c)) return ENODEV;
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u->urb->data);
    u->addr = uintptr_t(u->urb->client_addr);
    u->type = urb->type;
    u->endpoint = urb->endpoint;
    if (urb->buffer_length < 0) return EINVAL;
    size_t len = size_t(urb->buffer_length);
    if (len > 0) {
        u->buffer = resolve(u->urb, offsetof(usbdevfs_urb, buffer), len);
        if (!u->buffer) return EFAULT;
    }
    // an interface the transfer addresses must be this client's, or free
    auto check = [&](int i) -> int {
        if (i < 0 || i >= m.interfaces()) return ENOENT;
        if (c.claimed.count(i)) return 0;
        if (claimedElsewhere(i)) return EBUSY;
        if (!m.driverOf(i).empty()) return EBUSY;
        c.claimed.insert(i);
        return 0;
    };
    UsbResult r;
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (len < 8) return EINVAL;
        uint8_t* setup = u->buffer->data;
        size_t wLength = size_t(setup[6] | setup[7] << 8);
        if (8 + wLength > len) return EINVAL;
        if ((setup[0] & 0x1F) == 1) {
            int err = check(setup[4]);
            if (err) {
                m.note("ctrl " + hex4(setup[0] << 8 | setup[1]) + " to interface " + std::to_string(setup[4]) + ": " +
                       strerror(err));
                return err;
            }
        }
        r = m.control(setup, setup + 8, wLength);
    } else if (u->type == USBDEVFS_URB_TYPE_BULK || u->type == USBDEVFS_URB_TYPE_INTERRUPT) {
        int err = check(m.interfaceOf(u->endpoint));
        if (err) return err;
        uint8_t none = 0;
        r = m.bulk(u->endpoint, u->buffer ? u->buffer->data : &none, len);
    } else {
        return EINVAL;
    }
    switch (r.kind) {
        case UsbResult::Done:
            u->ready = true;
            u->actual = int(r.actual);
            break;
        case UsbResult::Stall:
            u->ready = true;
            u->status = -EPIPE;
            break;
        case UsbResult::NoDevice:
            return ENODEV;  // gone before the transfer started
        case UsbResult::Never:
            break;
        case UsbResult::Later:
            u->later = true;
            break;
    }
    c.urbs.push_back(std::move(u));
    return 0;
}

void UsbServer::retry(Slot& s, Urb& u) {
    uint8_t none = 0;
    size_t len = u.buffer ? size_t(u.buffer->data_len) : 0;
    UsbResult r = s.module.bulk(u.endpoint, u.buffer ? u.buffer->data : &none, len);
    switch (r.kind) {
        case UsbResult::Done:
            u.ready = true;
            u.actual = int(r.actual);
            break;
        case UsbResult::Stall:
            u.ready = true;
            u.status = -EPIPE;
            break;
        case UsbResult::NoDevice:
            u.ready = true;
            u.status = -ESHUTDOWN;
            break;
        case UsbResult::Never:
            u.later = false;
            break;
        case UsbResult::Later:
            break;
    }
    if (u.ready) u.later = false;
}

int UsbServer::Devfs::reap() {
    Slot& slot = *server.slots_[size_t(c.lens)];
    bool gone = server.stale(c);
    for (auto& u : c.urbs) {
        if (u->ready) continue;
        if (gone) {
            // the kernel ends what a vanished device left pending
            u->ready = true;
            u->status = -ESHUTDOWN;
        } else if (u->later) {
            server.retry(slot, *u);
        }
    }
    auto it = std::find_if(c.urbs.begin(), c.urbs.end(), [](const std::unique_ptr<Urb>& u) { return u->ready; });
    if (it == c.urbs.end()) return gone ? ENODEV : EAGAIN;
    Held ptr(resolve(arg, 0, sizeof(void*)));
    if (!ptr) return EFAULT;
    Urb& u = **it;
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
    urb->status = u.status;
    urb->actual_length = u.actual;
    if (!umockdev_ioctl_data_set_ptr(ptr.get(), 0, u.urb)) return EFAULT;
    // its blocks go back to the client with this completion
    c.reaped = std::move(*it);
    c.urbs.erase(it);
    return 0;
}

int UsbServer::Devfs::discard() {
    uintptr_t addr = 0;
    std::memcpy(&addr, arg->data, std::min(sizeof addr, size_t(arg->data_len)));
    for (auto& u : c.urbs) {
        if (u->addr != addr) continue;
        if (u->ready) return EINVAL;
        u->ready = true;
        u->later = false;
        u->status = -ENOENT;
        u->actual = 0;
        server.slots_[size_t(c.lens)]->module.note("discard " + hex4(u->endpoint));
        return 0;
    }
    return EINVAL;
}

}  // namespace vcam

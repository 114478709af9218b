#include "usb_server.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>

#include <umockdev.h>

#include "hex_text.h"
#include "usb_ioctl_blocks.h"
#include "usb_wire.h"

namespace vcam {

using usbwire::hex4;

namespace {

// The host controller the modules hang off, bus 1.
const char kBus[] = "/devices/platform/s5p-ehci/usb1";
constexpr unsigned kCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                           USBDEVFS_CAP_BULK_SCATTER_GATHER;
constexpr int kUsbSpeedHigh = 3;
std::string three(int n) {
    char b[8];
    std::snprintf(b, sizeof b, "%03d", n);
    return b;
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* n = static_cast<UsbServer::Node*>(user);
    n->server->ioctl(*n, client);
    return TRUE;
}

gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* n = static_cast<UsbServer::Node*>(user);
    n->server->read(*n, client);
    return TRUE;
}

gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return TRUE;
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* n = static_cast<UsbServer::Node*>(user);
    n->server->vanished(client);
}

}  // namespace

// One submitted URB: its blocks in the client's memory, held until reaped.
struct UsbServer::Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    uintptr_t addr = 0;
    uint8_t type = 0;
    uint8_t endpoint = 0;
    bool ready = false;
    bool later = false;  // the module is asked again on each reap
    int status = 0;
    int actual = 0;
    ~Urb() {
        if (buffer) g_object_unref(buffer);
        if (urb) g_object_unref(urb);
    }
};

// One open node of a client.
struct UsbServer::Client {
    UMockdevIoctlClient* ref = nullptr;
    int lens = 0;
    unsigned generation = 0;
    bool sg = false;
    std::set<int> claimed;
    std::set<int> detached;
    std::deque<std::unique_ptr<Urb>> urbs;
    std::unique_ptr<Urb> reaped;  // the last URB reaped, until its completion is out
    size_t readPos = 0;
};

UsbServer::UsbServer(UMockdevTestbed* testbed, int lenses, VideoHook video)
    : testbed_(testbed), video_(std::move(video)), next_devnum_(lenses + 2) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    // the root hub, as lsusb lists it
    std::string hub =
        std::string("P: ") + kBus + "\n" +
        "N: bus/usb/001/001\n"
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/001\n"
        "E: PRODUCT=1d6b/2/304\nE: BUSNUM=001\nE: DEVNUM=001\nE: MAJOR=189\nE: MINOR=0\n"
        "A: busnum=1\nA: devnum=1\nA: devpath=0\nA: idVendor=1d6b\nA: idProduct=0002\n"
        "A: bDeviceClass=09\nA: bNumConfigurations=1\nA: bConfigurationValue=1\n"
        "A: speed=480\nA: dev=189:0\n"
        "H: descriptors=12010002090001406b1d020004030201000109021900010100e0000904000001090000000705810304000c\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, hub.c_str(), &error)) {
        std::string what = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("cannot add the USB root hub: " + what);
    }
    for (int i = 0; i < lenses; ++i) {
        slots_.push_back(std::make_unique<Slot>(i));
        slots_.back()->devnum = i + 2;
    }
    for (int i = 0; i < lenses; ++i) addDevice(i);
    // umockdev does not always tell when a client closes; a closed client
    // lets go of its interfaces within a moment all the same
    sweeper_ = g_timeout_add(
        50,
        [](gpointer self) -> gboolean {
            auto* s = static_cast<UsbServer*>(self);
            std::lock_guard<std::mutex> lock(s->mu_);
            s->sweep();
            return G_SOURCE_CONTINUE;
        },
        this);
}

UsbServer::~UsbServer() {
    std::set<unsigned> timers;
    {
        std::lock_guard<std::mutex> lock(mu_);
        closing_ = true;
        timers = timers_;
        if (idle_) g_source_remove(idle_);
        idle_ = 0;
        tasks_.clear();
    }
    for (unsigned t : timers) g_source_remove(t);
    g_source_remove(sweeper_);
    for (size_t i = 0; i < nodes_.size(); ++i) {
        g_signal_handlers_disconnect_by_data(handlers_[i].get(), nodes_[i].get());
        if (nodes_[i]->attached) umockdev_testbed_detach_ioctl(testbed_, nodes_[i]->path.c_str(), nullptr);
        if (nodes_[i]->pipe >= 0) ::close(nodes_[i]->pipe);
    }
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& kv : clients_) g_object_unref(kv.second->ref);
    clients_.clear();
}

// Lens 0's module sits on the highest port: libusb lists the devices of a
// bus from the last port down, so it finds lens 0 first.
std::string UsbServer::port(int lens) const { return std::to_string(slots_.size() - size_t(lens)); }

std::string UsbServer::sysPath(int lens) const { return std::string("/sys") + kBus + "/1-" + port(lens); }

std::string UsbServer::devPath(int lens) const { return "/dev/bus/usb/001/" + three(slots_[size_t(lens)]->devnum); }

// Main loop, without the lock: a node of the module whose ioctls and reads
// come to the server.
UsbServer::Node* UsbServer::attachNode(int lens, unsigned generation, const std::string& path, bool sg) {
    Node* n;
    {
        std::lock_guard<std::mutex> lock(mu_);
        nodes_.push_back(std::make_unique<Node>(Node{this, lens, generation, sg, path, true}));
        n = nodes_.back().get();
    }
    handlers_.emplace_back(umockdev_ioctl_base_new());
    UMockdevIoctlBase* h = handlers_.back().get();
    g_signal_connect(h, "handle-ioctl", G_CALLBACK(onIoctl), n);
    g_signal_connect(h, "handle-read", G_CALLBACK(onRead), n);
    g_signal_connect(h, "handle-write", G_CALLBACK(onWrite), n);
    g_signal_connect(h, "client-vanished", G_CALLBACK(onVanished), n);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, path.c_str(), h, &error)) {
        std::string what = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("cannot attach " + path + ": " + what);
    }
    return n;
}

// Main loop, without the lock: the testbed's thread may wait for it.
void UsbServer::addDevice(int lens) {
    unsigned generation;
    int devnum;
    std::string descriptors;
    uint16_t product;
    bool uvc, descriptorFault, openFault, sg;
    {
        std::lock_guard<std::mutex> lock(mu_);
        Slot& s = *slots_[size_t(lens)];
        generation = s.generation;
        devnum = s.devnum;
        descriptors = s.module.descriptors();
        product = s.module.product();
        uvc = s.module.identity() == UsbIdentity::Uvc;
        descriptorFault = s.descriptorFault;
        openFault = s.openFault;
        sg = !uvc && s.module.driverOf(0) == "usb-storage";
        s.sg = sg;
    }
    std::string node = "/dev/bus/usb/001/" + three(devnum);
    Node* usbNode = attachNode(lens, generation, node, false);
    std::string port = this->port(lens);
    char ids[32];
    std::snprintf(ids, sizeof ids, "114d/%x/100", product);
    char pid[8];
    std::snprintf(pid, sizeof pid, "%04x", product);
    std::string shown = descriptorFault ? descriptors.substr(0, 8) : descriptors;
    std::string desc =
        std::string("P: ") + kBus + "/1-" + port + "\n" + "N: bus/usb/001/" + three(devnum) + "\n" +
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + "E: DEVNAME=" + node + "\n" + "E: PRODUCT=" + ids + "\n" +
        "E: BUSNUM=001\nE: DEVNUM=" + three(devnum) + "\n" + "E: MAJOR=189\nE: MINOR=" + std::to_string(devnum - 1) +
        "\n" + "A: busnum=1\nA: devnum=" + std::to_string(devnum) + "\n" + "A: devpath=" + port + "\n" +
        "A: idVendor=114d\nA: idProduct=" + pid + "\nA: bcdDevice=0100\n" + "A: bDeviceClass=" + (uvc ? "ef" : "00") +
        "\n" + "A: bNumConfigurations=1\nA: bConfigurationValue=1\n" + "A: bNumInterfaces= " + (uvc ? "2" : "1") +
        "\n" + "A: speed=480\nA: dev=189:" + std::to_string(devnum - 1) + "\n" + "H: descriptors=" + toHex(shown) +
        "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, desc.c_str(), &error)) {
        std::string what = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("cannot add the module of lens " + std::to_string(lens) + ": " + what);
    }
    std::string file = root_ + node;
    if (unlink(file.c_str()) == 0 && mkfifo(file.c_str(), openFault ? 0 : 0644) == 0) {
        std::lock_guard<std::mutex> lock(mu_);
        usbNode->pipe = ::open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        // one page: a single write fills it, a single read wakes the poll
        if (usbNode->pipe >= 0) fcntl(usbNode->pipe, F_SETPIPE_SZ, 4096);
        signal(*usbNode);
    } else {
        std::fprintf(stderr, "vcam-devd: %s stays a plain file: %s\n", node.c_str(), strerror(errno));
    }
    if (sg) addSgNode(lens, generation);
}

void UsbServer::removeDevice(int lens, bool sg) {
    std::string path = sysPath(lens);
    if (sg) removeSgNode(lens);
    umockdev_testbed_remove_device(testbed_, path.c_str());
}

void UsbServer::post(std::function<void()> task) {
    if (closing_) return;
    tasks_.push_back(std::move(task));
    if (!idle_) idle_ = g_idle_add(&UsbServer::runPosted, this);
}

int UsbServer::runPosted(void* self) {
    auto* s = static_cast<UsbServer*>(self);
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(s->mu_);
        tasks.swap(s->tasks_);
        s->idle_ = 0;
    }
    for (auto& t : tasks) t();
    return G_SOURCE_REMOVE;
}

// Main loop: what is posted runs before the testbed changes again.
void UsbServer::flushPosted() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (idle_) g_source_remove(idle_);
    }
    runPosted(this);
}

namespace {

struct Return {
    UsbServer* server;
    int lens;
    UsbIdentity identity;
    unsigned generation;
    unsigned id;
};

}  // namespace

// Lock held.
void UsbServer::leave(int lens, UsbIdentity next, int returnMs) {
    Slot& s = *slots_[size_t(lens)];
    if (!s.present) return;
    s.present = false;
    unsigned gone = s.generation;
    bool sg = s.sg;
    s.sg = false;
    s.module.note("left the bus");
    post([this, lens, sg] { removeDevice(lens, sg); });
    if (returnMs < 0 || closing_) return;
    auto owned = std::make_unique<Return>(Return{this, lens, next, gone, 0});
    Return* r = owned.get();
    // plug() runs on the main loop
    r->id = g_timeout_add_full(
        G_PRIORITY_DEFAULT, guint(returnMs),
        [](gpointer p) -> gboolean {
            auto* r = static_cast<Return*>(p);
            bool back;
            {
                std::lock_guard<std::mutex> lock(r->server->mu_);
                Slot& s = *r->server->slots_[size_t(r->lens)];
                back = !s.present && s.generation == r->generation && !r->server->closing_;
            }
            if (back) r->server->plug(r->lens, r->identity);
            return G_SOURCE_REMOVE;
        },
        owned.release(),
        [](gpointer p) {
            std::unique_ptr<Return> r(static_cast<Return*>(p));
            std::lock_guard<std::mutex> lock(r->server->mu_);
            r->server->timers_.erase(r->id);
        });
    timers_.insert(r->id);
}

// Lock held.
void UsbServer::settle(int lens) {
    Slot& s = *slots_[size_t(lens)];
    // what the module had nothing for yet may have come meanwhile
    for (auto& kv : clients_) {
        Client& c = *kv.second;
        if (c.lens != lens || c.sg || stale(c)) continue;
        for (auto& u : c.urbs)
            if (u->later && !u->ready) retry(s, *u);
    }
    UsbModule::BusEvent e = s.module.takeBusEvent();
    if (e.leave) leave(lens, e.next, e.returnMs);
    bool video = s.present && s.module.videoBound();
    if (video != s.video) {
        s.video = video;
        post([this, lens, video] { video_(lens, video); });
    }
    for (auto& n : nodes_)
        if (n->lens == lens && !n->sg) signal(*n);
}

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

void UsbServer::with(int lens, const std::function<void(UsbModule&)>& f) {
    std::lock_guard<std::mutex> lock(mu_);
    f(slots_.at(size_t(lens))->module);
    settle(lens);
}

bool UsbServer::present(int lens) {
    std::lock_guard<std::mutex> lock(mu_);
    return slots_.at(size_t(lens))->present;
}

int UsbServer::devnum(int lens) {
    std::lock_guard<std::mutex> lock(mu_);
    return slots_.at(size_t(lens))->devnum;
}

// Main loop: the module is off the bus (no sysfs entry, no device node)
// when this returns.
void UsbServer::unplug(int lens, int returnMs) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        Slot& s = *slots_.at(size_t(lens));
        s.module.note("unplugged");
        leave(lens, s.module.identity(), returnMs);
        settle(lens);
    }
    flushPosted();
}

// Main loop.
void UsbServer::plug(int lens, UsbIdentity identity) {
    flushPosted();
    bool wasPresent;
    unsigned gone;
    bool sg;
    {
        std::lock_guard<std::mutex> lock(mu_);
        Slot& s = *slots_.at(size_t(lens));
        wasPresent = s.present;
        gone = s.generation;
        sg = s.sg;
        s.present = false;
        s.sg = false;
    }
    if (wasPresent) removeDevice(lens, sg);
    bool video;
    {
        std::lock_guard<std::mutex> lock(mu_);
        Slot& s = *slots_.at(size_t(lens));
        s.module.enumerated(identity);
        s.generation = gone + 1;
        s.devnum = next_devnum_++;
        if (next_devnum_ > 127) next_devnum_ = int(slots_.size()) + 2;
        s.present = true;
        char pid[8];
        std::snprintf(pid, sizeof pid, "%04x", s.module.product());
        s.module.note(std::string("enumerated 114d:") + pid + " devnum " + std::to_string(s.devnum));
        // handles of the module's earlier self find it gone
        for (auto& n : nodes_)
            if (n->lens == lens && !n->sg) signal(*n);
    }
    addDevice(lens);
    {
        std::lock_guard<std::mutex> lock(mu_);
        Slot& s = *slots_.at(size_t(lens));
        video = s.present && s.module.videoBound();
        if (video == s.video) return;
        s.video = video;
    }
    video_(lens, video);
}

void UsbServer::setDescriptorFault(int lens, bool on) {
    std::string shown;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mu_);
        Slot& s = *slots_.at(size_t(lens));
        s.descriptorFault = on;
        s.module.setDescriptorFault(on);
        if (!s.present) return;
        shown = s.module.descriptors();
        if (on) shown = shown.substr(0, 8);
        path = sysPath(lens);
    }
    std::vector<guint8> bytes(shown.begin(), shown.end());
    umockdev_testbed_set_attribute_binary(testbed_, path.c_str(), "descriptors", bytes.data(), int(bytes.size()));
}

void UsbServer::setOpenFault(int lens, bool on) {
    std::string file;
    {
        std::lock_guard<std::mutex> lock(mu_);
        Slot& s = *slots_.at(size_t(lens));
        s.openFault = on;
        if (!s.present) return;
        file = root_ + devPath(lens);
    }
    chmod(file.c_str(), on ? 0 : 0644);
}

void UsbServer::armSgFault(int lens, const SgFault& f) {
    std::lock_guard<std::mutex> lock(mu_);
    slots_.at(size_t(lens))->sgFault = f;
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
    UsbModule& m = s.module;
    switch (req) {
        case USBDEVFS_SUBMITURB:
            return submit(node, c, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(c, arg);
        case USBDEVFS_DISCARDURB:
            return discard(c, arg);
        default:
            break;
    }
    if (stale(c)) return ENODEV;
    switch (req) {
        case USBDEVFS_GET_CAPABILITIES: {
            Held d(resolve(arg, 0, sizeof(uint32_t)));
            if (!d) return EFAULT;
            *d.as<uint32_t>() = kCaps;
            return 0;
        }
        case USBDEVFS_GET_SPEED:
            result = kUsbSpeedHigh;
            return 0;
        case USBDEVFS_CONNECTINFO: {
            Held d(resolve(arg, 0, sizeof(usbdevfs_connectinfo)));
            if (!d) return EFAULT;
            d.as<usbdevfs_connectinfo>()->devnum = unsigned(s.devnum);
            d.as<usbdevfs_connectinfo>()->slow = 0;
            return 0;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            Held d(resolve(arg, 0, sizeof(unsigned)));
            if (!d) return EFAULT;
            int i = int(*d.as<unsigned>());
            bool claim = req == USBDEVFS_CLAIMINTERFACE;
            if (i < 0 || i >= m.interfaces()) {
                m.note(std::string(claim ? "claim " : "release ") + std::to_string(i) + " no such interface");
                return claim ? ENOENT : EINVAL;
            }
            if (!claim) {
                if (!c.claimed.erase(i)) return EINVAL;
                m.note("release " + std::to_string(i));
                rebindIdle(node.lens);
                return 0;
            }
            if (c.claimed.count(i)) return 0;
            int fault = m.claimFault();
            bool other = false;
            for (auto& kv : clients_)
                if (kv.second.get() != &c && kv.second->lens == c.lens && !stale(*kv.second) &&
                    kv.second->claimed.count(i))
                    other = true;
            int err = fault ? fault : (other || !m.driverOf(i).empty()) ? EBUSY : 0;
            m.note("claim " + std::to_string(i) + (err ? std::string(" ") + strerror(err) : ""));
            if (!err) {
                c.claimed.insert(i);
                c.detached.erase(i);
            }
            return err;
        }
        case USBDEVFS_GETDRIVER: {
            Held d(resolve(arg, 0, sizeof(usbdevfs_getdriver)));
            if (!d) return EFAULT;
            auto* g = d.as<usbdevfs_getdriver>();
            std::string drv = m.driverOf(int(g->interface));
            if (drv.empty()) return ENODATA;
            std::snprintf(g->driver, sizeof g->driver, "%s", drv.c_str());
            return 0;
        }
        case USBDEVFS_IOCTL: {
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
        case USBDEVFS_CLEAR_HALT: {
            Held d(resolve(arg, 0, sizeof(unsigned)));
            if (!d) return EFAULT;
            unsigned ep = *d.as<unsigned>();
            if (ep > 0xFF || m.interfaceOf(uint8_t(ep)) < 0) return ENOENT;
            m.clearHalt(uint8_t(ep));
            return 0;
        }
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_RESETEP:
            return 0;
        case USBDEVFS_RESET:
            m.note("reset");
            return 0;
        default:
            return ENOTTY;
    }
}

int UsbServer::submit(Node& node, Client& c, UMockdevIoctlData* arg) {
    auto u = std::make_unique<Urb>();
    u->urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!u->urb) return EFAULT;
    if (stale(c)) return ENODEV;
    UsbModule& m = slots_[size_t(node.lens)]->module;
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
        for (auto& kv : clients_)
            if (kv.second.get() != &c && kv.second->lens == c.lens && !stale(*kv.second) && kv.second->claimed.count(i))
                return EBUSY;
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

int UsbServer::reap(Client& c, UMockdevIoctlData* arg) {
    Slot& s = *slots_[size_t(c.lens)];
    bool gone = stale(c);
    for (auto& u : c.urbs) {
        if (u->ready) continue;
        if (gone) {
            // the kernel ends what a vanished device left pending
            u->ready = true;
            u->status = -ESHUTDOWN;
        } else if (u->later) {
            retry(s, *u);
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

int UsbServer::discard(Client& c, UMockdevIoctlData* arg) {
    uintptr_t addr = 0;
    std::memcpy(&addr, arg->data, std::min(sizeof addr, size_t(arg->data_len)));
    for (auto& u : c.urbs) {
        if (u->addr != addr) continue;
        if (u->ready) return EINVAL;
        u->ready = true;
        u->later = false;
        u->status = -ENOENT;
        u->actual = 0;
        slots_[size_t(c.lens)]->module.note("discard " + hex4(u->endpoint));
        return 0;
    }
    return EINVAL;
}

}  // namespace vcam

// The USB server's bus side, on the server's main loop: each module's life
// in sysfs and umockdev (added, plugged, unplugged, leaving the bus and back,
// its bus events settled) and the nodes whose requests come to the usbdevfs
// side (usb_devfs.cc).
#include "usb_server.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <umockdev.h>

#include "hex_text.h"
#include "usb_clients.h"

namespace vcam {

namespace {

// The host controller the modules hang off, bus 1.
const char kBus[] = "/devices/platform/s5p-ehci/usb1";
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

}  // namespace vcam

#include "board_server.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <umockdev.h>

namespace vcam {

namespace {

// Furthest a user copy may start past a pointer the client handed over (a
// text copied byte by byte, a bitmap's pages).
constexpr uintptr_t kReach = 4096;
constexpr uintptr_t kPage = 4096;
// User addresses on x86-64 Linux.
constexpr uintptr_t kLowestUser = 65536;
constexpr uintptr_t kUserEnd = uintptr_t(1) << 47;
// Bytes read ahead of a copy, never past the page of its last byte.
constexpr uintptr_t kReadAhead = 64;

// The client memory one request reaches: the request's argument block and
// every block resolved through a pointer in an earlier one. User addresses
// are the client's own.
class ClientMemory {
public:
    explicit ClientMemory(UMockdevIoctlData* arg) { blocks_.push_back({arg, arg->client_addr, false}); }
    ~ClientMemory() {
        for (Block& b : blocks_)
            if (b.owned) g_object_unref(b.data);
    }
    ClientMemory(const ClientMemory&) = delete;
    ClientMemory& operator=(const ClientMemory&) = delete;

    // Local copy of [p, p + n) of the client's memory, or null.
    uint8_t* reach(uintptr_t p, size_t n) {
        // umockdev stops a client whose memory it cannot read, so what can
        // never be user memory faults here: the lowest pages (below
        // mmap_min_addr) and the kernel half
        if (p < kLowestUser || p + n < p || p + n > kUserEnd || n == 0) return nullptr;
        if (uint8_t* local = within(p, n)) return local;
        return follow(p, n);
    }

    static size_t copyIn(void* self, void* dst, const void* user, size_t n) {
        uint8_t* src = static_cast<ClientMemory*>(self)->reach(reinterpret_cast<uintptr_t>(user), n);
        if (!src) return n;
        std::memcpy(dst, src, n);
        return 0;
    }
    static size_t copyOut(void* self, void* user, const void* src, size_t n) {
        uint8_t* dst = static_cast<ClientMemory*>(self)->reach(reinterpret_cast<uintptr_t>(user), n);
        if (!dst) return n;
        std::memcpy(dst, src, n);
        return 0;
    }

private:
    struct Block {
        UMockdevIoctlData* data;
        uintptr_t addr;
        bool owned;
    };

    uint8_t* within(uintptr_t p, size_t n) {
        for (Block& b : blocks_) {
            uintptr_t len = uintptr_t(b.data->data_len);
            if (b.addr != 0 && p >= b.addr && p - b.addr <= len && n <= len - (p - b.addr))
                return b.data->data + (p - b.addr);
        }
        return nullptr;
    }

    // Resolves the pointer held in an already reached block that p lies
    // just past; the driver only follows pointers the client handed over.
    uint8_t* follow(uintptr_t p, size_t n) {
        size_t count = blocks_.size();
        for (size_t i = 0; i < count; ++i) {
            size_t len = size_t(blocks_[i].data->data_len);
            for (size_t off = 0; off + sizeof(uintptr_t) <= len; off += sizeof(uint32_t)) {
                uintptr_t v;
                std::memcpy(&v, blocks_[i].data->data + off, sizeof v);
                if (v < kLowestUser || v > p || p - v >= kReach) continue;
                size_t need = size_t(p - v) + n;
                uintptr_t last = v + need - 1;
                size_t ahead = size_t(std::min(kReadAhead, kPage - 1 - (last % kPage)));
                UMockdevIoctlData* d = resolve(blocks_[i].data, off, need + ahead);
                if (!d || size_t(d->data_len) < need) {
                    if (d) g_object_unref(d);
                    d = ahead ? resolve(blocks_[i].data, off, need) : nullptr;
                    if (!d) continue;
                    if (size_t(d->data_len) < need) {
                        g_object_unref(d);
                        continue;
                    }
                }
                blocks_.push_back({d, v, true});
                return d->data + (p - v);
            }
        }
        return nullptr;
    }

    static UMockdevIoctlData* resolve(UMockdevIoctlData* parent, size_t off, size_t len) {
        GError* error = nullptr;
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, off, len, &error);
        g_clear_error(&error);
        return d;
    }

    std::vector<Block> blocks_;
};

// The drivers' user copies go to one client's memory while it lives.
class UserAccess {
public:
    explicit UserAccess(ClientMemory& mem) {
        vk_user_access ops{&ClientMemory::copyIn, &ClientMemory::copyOut, &mem};
        vk_set_user_access(&ops);
    }
    ~UserAccess() { vk_set_user_access(nullptr); }
    UserAccess(const UserAccess&) = delete;
    UserAccess& operator=(const UserAccess&) = delete;
};

void complete(UMockdevIoctlClient* client, long result) {
    if (result < 0) {
        umockdev_ioctl_client_complete(client, -1, int(-result));
    } else {
        umockdev_ioctl_client_complete(client, result, 0);
    }
}

using Node = BoardServer::Node;

void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* n = static_cast<Node*>(user);
    n->server->connected(*n, client);
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* n = static_cast<Node*>(user);
    n->server->vanished(*n, client);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* n = static_cast<Node*>(user);
    n->server->ioctl(*n, client);
    return TRUE;
}

gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* n = static_cast<Node*>(user);
    n->server->read(*n, client);
    return TRUE;
}

gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* n = static_cast<Node*>(user);
    n->server->write(*n, client);
    return TRUE;
}

void appendTo(void* ctx, const void* data, size_t len) {
    static_cast<std::string*>(ctx)->append(static_cast<const char*>(data), len);
}

}  // namespace

BoardServer::BoardServer(UMockdevTestbed* testbed) : testbed_(testbed) {
    int r = vk_board_boot();
    if (r != 0) throw std::runtime_error("board boot failed: " + std::string(strerror(-r)));
    // the sensor lies flat and at rest until the run says otherwise
    sample_.accel[2] = 16384;
    vk_sensor_set_sample(&sample_);
    try {
        add("oled");
        add("gyrotap");
    } catch (...) {
        for (auto& n : nodes_) umockdev_testbed_detach_ioctl(testbed_, n->path.c_str(), nullptr);
        vk_board_halt();
        throw;
    }
}

BoardServer::~BoardServer() {
    for (auto& n : nodes_)
        if (n->plugged) umockdev_testbed_detach_ioctl(testbed_, n->path.c_str(), nullptr);
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& n : nodes_) {
        for (auto& kv : n->files) {
            vk_release(kv.second);
            g_object_unref(kv.first);
        }
        n->files.clear();
    }
    vk_board_halt();
}

void BoardServer::add(const std::string& name) {
    std::string path = "/dev/" + name;
    auto node = std::make_unique<Node>();
    node->server = this;
    node->path = path;
    handlers_.emplace_back(umockdev_ioctl_base_new());
    UMockdevIoctlBase* handler = handlers_.back().get();
    node->handler = handler;
    g_signal_connect(handler, "client-connected", G_CALLBACK(onConnected), node.get());
    g_signal_connect(handler, "client-vanished", G_CALLBACK(onVanished), node.get());
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), node.get());
    g_signal_connect(handler, "handle-read", G_CALLBACK(onRead), node.get());
    g_signal_connect(handler, "handle-write", G_CALLBACK(onWrite), node.get());
    nodes_.push_back(std::move(node));
    GError* error = nullptr;
    // the handler goes first, then the device it serves
    if (!umockdev_testbed_attach_ioctl(testbed_, path.c_str(), handler, &error)) {
        std::string what = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("cannot attach " + path + ": " + what);
    }
    addEntries(name);
}

void BoardServer::addEntries(const std::string& name) {
    std::string path = "/dev/" + name;
    int minor = vk_device_minor(path.c_str());
    if (minor < 0) throw std::runtime_error(path + " is not registered by its module");
    std::string desc = "P: /devices/virtual/misc/" + name + "\n" + "N: " + name + "=00\n" + "E: SUBSYSTEM=misc\n" +
                       "E: DEVNAME=" + path + "\n" + "E: MAJOR=10\nE: MINOR=" + std::to_string(minor) + "\n" +
                       "A: dev=10:" + std::to_string(minor) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, desc.c_str(), &error)) {
        std::string what = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("cannot add " + path + ": " + what);
    }
}

BoardServer::Node* BoardServer::find(const std::string& name) {
    for (auto& n : nodes_)
        if (n->path == "/dev/" + name) return n.get();
    return nullptr;
}

bool BoardServer::unplug(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    Node* n = find(name);
    if (!n || !n->plugged) return false;
    // the client side finds a device by its handler's socket as well
    umockdev_testbed_detach_ioctl(testbed_, n->path.c_str(), nullptr);
    umockdev_testbed_remove_device(testbed_, ("/sys/devices/virtual/misc/" + name).c_str());
    n->plugged = false;
    return true;
}

bool BoardServer::plug(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    Node* n = find(name);
    if (!n || n->plugged) return false;
    if (!umockdev_testbed_attach_ioctl(testbed_, n->path.c_str(), n->handler, nullptr)) return false;
    try {
        addEntries(name);
    } catch (const std::exception&) {
        umockdev_testbed_detach_ioctl(testbed_, n->path.c_str(), nullptr);
        return false;
    }
    n->plugged = true;
    return true;
}

void BoardServer::sweep() {
    for (auto& node : nodes_) {
        for (auto it = node->files.begin(); it != node->files.end();) {
            if (umockdev_ioctl_client_get_connected(it->first)) {
                ++it;
                continue;
            }
            vk_release(it->second);
            g_object_unref(it->first);
            it = node->files.erase(it);
        }
    }
}

int BoardServer::fileOf(Node& node, UMockdevIoctlClient* client) {
    sweep();
    auto it = node.files.find(client);
    if (it != node.files.end()) return it->second;
    int fd = vk_open(node.path.c_str());
    if (fd < 0) return fd;
    node.files[client] = fd;
    g_object_ref(client);
    return fd;
}

void BoardServer::connected(Node& node, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mu_);
    fileOf(node, client);
}

void BoardServer::vanished(Node& node, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = node.files.find(client);
    if (it == node.files.end()) return;
    vk_release(it->second);
    g_object_unref(it->first);
    node.files.erase(it);
}

void BoardServer::call(Node& node, UMockdevIoctlClient* client,
                       const std::function<long(int, UMockdevIoctlData*)>& op) {
    std::lock_guard<std::mutex> lock(mu_);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    int fd = fileOf(node, client);
    ClientMemory mem(arg);
    long result = fd;
    if (fd >= 0) {
        UserAccess access(mem);
        result = op(fd, arg);
    }
    // what the driver wrote goes back to the client with the completion
    complete(client, result);
}

void BoardServer::ioctl(Node& node, UMockdevIoctlClient* client) {
    call(node, client, [client](int fd, UMockdevIoctlData* arg) {
        // the argument block holds the ioctl's argument itself
        unsigned long value = 0;
        std::memcpy(&value, arg->data, std::min(sizeof value, size_t(arg->data_len)));
        return vk_ioctl(fd, unsigned(umockdev_ioctl_client_get_request(client)), value);
    });
}

void BoardServer::read(Node& node, UMockdevIoctlClient* client) {
    // the argument block is the caller's buffer
    call(node, client, [](int fd, UMockdevIoctlData* arg) {
        return vk_read(fd, reinterpret_cast<void*>(arg->client_addr), size_t(arg->data_len));
    });
}

void BoardServer::write(Node& node, UMockdevIoctlClient* client) {
    call(node, client, [](int fd, UMockdevIoctlData* arg) {
        return vk_write(fd, reinterpret_cast<const void*>(arg->client_addr), size_t(arg->data_len));
    });
}

BoardServer::Picture BoardServer::panel() {
    std::lock_guard<std::mutex> lock(mu_);
    uint8_t pic[VK_PANEL_HEIGHT][VK_PANEL_WIDTH];
    vk_panel_picture(pic);
    Picture p;
    p.lit = vk_panel_lit() != 0;
    p.px.assign(&pic[0][0], &pic[0][0] + sizeof pic);
    return p;
}

std::string BoardServer::png(int scale) {
    std::lock_guard<std::mutex> lock(mu_);
    std::string out;
    if (vk_panel_png(appendTo, &out, scale) != 0) return "";
    return out;
}

int BoardServer::writePng(const std::string& path, int scale) {
    std::lock_guard<std::mutex> lock(mu_);
    return vk_panel_write_png(path.c_str(), scale);
}

void BoardServer::setSample(const vk_sensor_sample& s) {
    std::lock_guard<std::mutex> lock(mu_);
    sample_ = s;
    vk_sensor_set_sample(&s);
}

vk_sensor_sample BoardServer::sample() {
    std::lock_guard<std::mutex> lock(mu_);
    return sample_;
}

void BoardServer::setPanelAcking(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    vk_panel_set_acking(on ? 1 : 0);
}

void BoardServer::setSensorAcking(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    vk_sensor_set_acking(on ? 1 : 0);
}

std::string BoardServer::kernelLog(bool clear) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t len = vk_printk_log(nullptr, 0);
    std::string out(len + 1, '\0');
    vk_printk_log(&out[0], out.size());
    out.resize(len);
    if (clear) vk_printk_clear();
    return out;
}

size_t BoardServer::openFiles() {
    std::lock_guard<std::mutex> lock(mu_);
    sweep();
    size_t n = 0;
    for (auto& node : nodes_) n += node->files.size();
    return n;
}

}  // namespace vcam

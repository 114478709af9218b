#include "lens_server.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <memory>
#include <stdexcept>

#include <umockdev.h>

namespace vcam {

namespace {

// The device node's backing file in the testbed.
class FileBacking : public BufferBacking {
public:
    explicit FileBacking(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    }
    ~FileBacking() override { ::close(fd_); }
    FileBacking(const FileBacking&) = delete;
    FileBacking& operator=(const FileBacking&) = delete;

    bool resize(size_t bytes) override {
        struct stat st;
        if (fstat(fd_, &st) != 0) return false;
        // never shrink: a client may still map the old buffers
        if (size_t(st.st_size) >= bytes) return true;
        return ftruncate(fd_, off_t(bytes)) == 0;
    }
    bool write(size_t offset, const uint8_t* data, size_t len) override {
        while (len > 0) {
            ssize_t n = pwrite(fd_, data, len, off_t(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            offset += size_t(n);
            len -= size_t(n);
        }
        return true;
    }

private:
    int fd_;
};

// Resolved argument memory of one request; written back on completion.
class Args {
public:
    explicit Args(UMockdevIoctlClient* c) : arg_(umockdev_ioctl_client_get_arg(c)) {}
    ~Args() {
        for (UMockdevIoctlData* d : held_) g_object_unref(d);
    }
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;

    // The ioctl's own argument as a T; null when it cannot be read.
    template <class T>
    T* top() {
        return static_cast<T*>(resolve(arg_, 0, sizeof(T)));
    }
    // A pointer member of a resolved block (at byte offset) with len bytes.
    void* resolve(UMockdevIoctlData* parent, size_t offset, size_t len) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, len, nullptr);
        if (!d) return nullptr;
        held_.push_back(d);
        if (size_t(d->data_len) < len) return nullptr;
        return d->data;
    }
    UMockdevIoctlData* last() const { return held_.empty() ? nullptr : held_.back(); }

private:
    UMockdevIoctlData* arg_;
    std::vector<UMockdevIoctlData*> held_;
};

template <class T, class F>
int with(Args& a, F f) {
    T* p = a.template top<T>();
    return p ? f(*p) : EFAULT;
}

int dispatch(LensModel& m, ClientId id, unsigned long req, Args& a) {
    switch (req) {
        case VIDIOC_QUERYCAP:
            return with<v4l2_capability>(a, [&](auto& x) { return m.querycap(x); });
        case VIDIOC_ENUM_FMT:
            return with<v4l2_fmtdesc>(a, [&](auto& x) { return m.enumFmt(x); });
        case VIDIOC_G_FMT:
            return with<v4l2_format>(a, [&](auto& x) { return m.gFmt(x); });
        case VIDIOC_TRY_FMT:
            return with<v4l2_format>(a, [&](auto& x) { return m.tryFmt(x); });
        case VIDIOC_S_FMT:
            return with<v4l2_format>(a, [&](auto& x) { return m.sFmt(id, x); });
        case VIDIOC_ENUM_FRAMESIZES:
            return with<v4l2_frmsizeenum>(a, [&](auto& x) { return m.enumFrameSizes(x); });
        case VIDIOC_ENUM_FRAMEINTERVALS:
            return with<v4l2_frmivalenum>(a, [&](auto& x) { return m.enumFrameIntervals(x); });
        case VIDIOC_G_PARM:
            return with<v4l2_streamparm>(a, [&](auto& x) { return m.gParm(x); });
        case VIDIOC_S_PARM:
            return with<v4l2_streamparm>(a, [&](auto& x) { return m.sParm(id, x); });
        case VIDIOC_ENUMINPUT:
            return with<v4l2_input>(a, [&](auto& x) { return m.enumInput(x); });
        case VIDIOC_G_INPUT:
            return with<int>(a, [&](auto& x) { return m.gInput(x); });
        case VIDIOC_S_INPUT:
            return with<int>(a, [&](auto& x) { return m.sInput(x); });
        case VIDIOC_REQBUFS:
            return with<v4l2_requestbuffers>(a, [&](auto& x) { return m.reqbufs(id, x); });
        case VIDIOC_QUERYBUF:
            return with<v4l2_buffer>(a, [&](auto& x) { return m.querybuf(x); });
        case VIDIOC_QBUF:
            return with<v4l2_buffer>(a, [&](auto& x) { return m.qbuf(id, x); });
        case VIDIOC_DQBUF:
            return with<v4l2_buffer>(a, [&](auto& x) { return m.dqbuf(id, x); });
        case VIDIOC_STREAMON:
            return with<int>(a, [&](auto& x) { return m.streamon(id, x); });
        case VIDIOC_STREAMOFF:
            return with<int>(a, [&](auto& x) { return m.streamoff(id, x); });
        case VIDIOC_QUERYCTRL:
            return with<v4l2_queryctrl>(a, [&](auto& x) { return m.queryctrl(x); });
        case VIDIOC_QUERY_EXT_CTRL:
            return with<v4l2_query_ext_ctrl>(a, [&](auto& x) { return m.queryExtCtrl(x); });
        case VIDIOC_QUERYMENU:
            return with<v4l2_querymenu>(a, [&](auto& x) { return m.querymenu(x); });
        case VIDIOC_G_CTRL:
            return with<v4l2_control>(a, [&](auto& x) { return m.gCtrl(x); });
        case VIDIOC_S_CTRL:
            return with<v4l2_control>(a, [&](auto& x) { return m.sCtrl(x); });
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS: {
            v4l2_ext_controls* h = a.top<v4l2_ext_controls>();
            if (!h) return EFAULT;
            UMockdevIoctlData* block = a.last();
            if (h->count > 1024) return EINVAL;
            v4l2_ext_control* ctrls = nullptr;
            if (h->count > 0) {
                ctrls = static_cast<v4l2_ext_control*>(
                    a.resolve(block, offsetof(v4l2_ext_controls, controls), h->count * sizeof(v4l2_ext_control)));
                if (!ctrls) return EFAULT;
            }
            return m.extCtrls(req, *h, ctrls);
        }
        case UVCIOC_CTRL_MAP:
            return with<uvc_xu_control_mapping>(a, [&](auto& x) { return m.xuMap(x); });
        case UVCIOC_CTRL_QUERY: {
            uvc_xu_control_query* q = a.top<uvc_xu_control_query>();
            if (!q) return EFAULT;
            UMockdevIoctlData* block = a.last();
            uint8_t* data = nullptr;
            if (q->size > 0) {
                data = static_cast<uint8_t*>(a.resolve(block, offsetof(uvc_xu_control_query, data), q->size));
                if (!data) return EFAULT;
            }
            uint8_t none[2] = {0, 0};
            return m.xuQuery(*q, data ? data : none);
        }
        default:
            return ENOTTY;
    }
}

}  // namespace

namespace {

// Descriptors of the file other processes hold open (this server's own left
// out). A client's open of the lens node is a descriptor of the node's
// backing file in the client's process.
int descriptorsElsewhere(const struct stat& node) {
    int count = 0;
    std::string self = std::to_string(getpid());
    DIR* proc = opendir("/proc");
    if (!proc) return -1;
    while (dirent* p = readdir(proc)) {
        if (p->d_name[0] < '1' || p->d_name[0] > '9' || self == p->d_name) continue;
        std::string fds = std::string("/proc/") + p->d_name + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (!dir) continue;
        while (dirent* f = readdir(dir)) {
            struct stat st;
            if (f->d_name[0] == '.') continue;
            if (stat((fds + "/" + f->d_name).c_str(), &st) == 0 && st.st_ino == node.st_ino && st.st_dev == node.st_dev)
                ++count;
        }
        closedir(dir);
    }
    closedir(proc);
    return count;
}

}  // namespace

// The clients a lens has seen. umockdev does not always tell when a client
// closes (one killed in the middle of a request can stay "connected" for
// good), so a connected owner counts as gone once no descriptor of the node
// is left but the asker's own. Holding the clients also keeps their ids
// (addresses) from being reused while they matter.
class LensServer::Clients {
public:
    explicit Clients(std::string node) : node_(std::move(node)) {}
    ~Clients() {
        for (auto& kv : seen_) g_object_unref(kv.second);
    }
    // keep: the owner of the lens, which only alive() may let go.
    void saw(UMockdevIoctlClient* c, ClientId keep) {
        ClientId id = reinterpret_cast<ClientId>(c);
        if (seen_.count(id)) return;
        sweep(keep);
        seen_[id] = static_cast<UMockdevIoctlClient*>(g_object_ref(c));
    }
    bool alive(ClientId id, int asker_descriptors) {
        auto it = seen_.find(id);
        if (it == seen_.end()) return false;
        if (umockdev_ioctl_client_get_connected(it->second) && held(asker_descriptors)) return true;
        g_object_unref(it->second);
        seen_.erase(it);
        return false;
    }

private:
    void sweep(ClientId keep) {
        for (auto it = seen_.begin(); it != seen_.end();) {
            if (it->first == keep || umockdev_ioctl_client_get_connected(it->second)) {
                ++it;
            } else {
                g_object_unref(it->second);
                it = seen_.erase(it);
            }
        }
    }
    // Whether some process holds the node beyond the asker's descriptors;
    // true when that cannot be told.
    bool held(int asker_descriptors) const {
        struct stat node;
        if (stat(node_.c_str(), &node) != 0) return true;
        int n = descriptorsElsewhere(node);
        return n < 0 || n > asker_descriptors;
    }

    std::string node_;
    std::map<ClientId, UMockdevIoctlClient*> seen_;
};

struct LensServer::HandlerData {
    LensSlot* slot;
    LensServer::Clients* clients;
};

namespace {

using HandlerData = LensServer::HandlerData;

// A lens whose owner has closed it may not have heard so yet: the close
// reaches the server on the owner's own connection, which can be served after
// the next user's first request. Such a request waits a little for it.
constexpr int kOwnerWaitMs = 5;
constexpr int kOwnerWaitRounds = 60;

struct PendingIoctl {
    HandlerData* h;
    UMockdevIoctlClient* client;
    std::unique_ptr<Args> args;
    int rounds = 0;
};

// Serves a request; false when it waits for the lens's owner to go.
bool serve(PendingIoctl& p) {
    LensSlot* slot = p.h->slot;
    std::lock_guard<std::mutex> lock(slot->mu);
    ClientId self = reinterpret_cast<ClientId>(p.client);
    p.h->clients->saw(p.client, slot->model->owner());
    int err = dispatch(*slot->model, self, umockdev_ioctl_client_get_request(p.client), *p.args);
    ClientId owner = slot->model->owner();
    if (err == EBUSY && owner != 0 && owner != self && p.rounds < kOwnerWaitRounds) return false;
    umockdev_ioctl_client_complete(p.client, err ? -1 : 0, err);
    return true;
}

gboolean retryIoctl(gpointer user) {
    auto* p = static_cast<PendingIoctl*>(user);
    ++p->rounds;
    return serve(*p) ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void dropPending(gpointer user) {
    std::unique_ptr<PendingIoctl> p(static_cast<PendingIoctl*>(user));
    g_object_unref(p->client);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto pending = std::make_unique<PendingIoctl>();
    pending->h = static_cast<HandlerData*>(user);
    pending->client = client;
    pending->args = std::make_unique<Args>(client);
    if (serve(*pending)) return TRUE;
    g_object_ref(client);
    GSource* timer = g_timeout_source_new(kOwnerWaitMs);
    g_source_set_callback(timer, retryIoctl, pending.release(), dropPending);
    g_source_attach(timer, g_main_context_get_thread_default());
    g_source_unref(timer);
    return TRUE;
}

// The lens has no read() I/O.
gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return TRUE;
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* h = static_cast<HandlerData*>(user);
    std::lock_guard<std::mutex> lock(h->slot->mu);
    h->slot->model->clientGone(reinterpret_cast<ClientId>(client));
}

}  // namespace

LensServer::LensServer(int lenses, const FrameClock& clock) : testbed_(umockdev_testbed_new()) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_.get());
    root_ = root;
    g_free(root);
    for (int i = 0; i < lenses; ++i) {
        auto slot = std::make_unique<LensSlot>();
        std::string name = "video" + std::to_string(i);
        std::string node = "/dev/" + name;
        clients_.push_back(std::make_unique<Clients>(root_ + node));
        Clients* clients = clients_.back().get();
        data_.push_back(std::make_unique<HandlerData>());
        data_.back()->slot = slot.get();
        data_.back()->clients = clients;
        HandlerData* data = data_.back().get();

        handlers_.emplace_back(umockdev_ioctl_base_new());
        UMockdevIoctlBase* handler = handlers_.back().get();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), data);
        g_signal_connect(handler, "handle-read", G_CALLBACK(onRead), data);
        g_signal_connect(handler, "client-vanished", G_CALLBACK(onVanished), data);
        GError* error = nullptr;
        // the handler goes first, then the device it serves
        if (!umockdev_testbed_attach_ioctl(testbed_.get(), node.c_str(), handler, &error)) {
            std::string what = error ? error->message : "?";
            g_clear_error(&error);
            throw std::runtime_error("cannot attach " + node + ": " + what);
        }
        addEntries(i);
        present_.push_back(true);
        slot->backing = std::make_unique<FileBacking>(root_ + node);
        slot->model = std::make_unique<LensModel>(i, *slot->backing, clock);
        slot->model->setAlive([clients](ClientId id, int asker) { return clients->alive(id, asker); });
        lenses_.push_back(std::move(slot));
    }
}

void LensServer::addEntries(int i) {
    std::string name = "video" + std::to_string(i);
    std::string node = "/dev/" + name;
    std::string desc = "P: /devices/virtual/video4linux/" + name + "\n" + "N: " + name + "=00\n" +
                       "E: SUBSYSTEM=video4linux\n" + "E: DEVNAME=" + node + "\n" +
                       "E: MAJOR=81\nE: MINOR=" + std::to_string(i) + "\n" + "A: dev=81:" + std::to_string(i) + "\n" +
                       "A: name=UVC Bridge Lens " + std::to_string(i) + "\n" + "A: index=0\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_.get(), desc.c_str(), &error)) {
        std::string what = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("cannot add " + node + ": " + what);
    }
}

void LensServer::setPresent(int lens, bool present) {
    if (lens < 0 || size_t(lens) >= lenses_.size() || present_[size_t(lens)] == present) return;
    std::string name = "video" + std::to_string(lens);
    std::string node = root_ + "/dev/" + name;
    // the node's file holds the buffers clients map: kept aside meanwhile
    std::string kept = root_ + "/." + name + ".buffers";
    if (!present) {
        if (link(node.c_str(), kept.c_str()) != 0 && errno != EEXIST) return;
        umockdev_testbed_remove_device(testbed_.get(), ("/sys/devices/virtual/video4linux/" + name).c_str());
        unlink(node.c_str());
    } else {
        try {
            addEntries(lens);
        } catch (const std::exception&) {
            return;
        }
        rename(kept.c_str(), node.c_str());
    }
    present_[size_t(lens)] = present;
}

LensServer::~LensServer() = default;

}  // namespace vcam

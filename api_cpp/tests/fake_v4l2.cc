#include "fake_v4l2.h"

#include <dirent.h>
#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

namespace camtest {

FakeV4l2::FakeV4l2(FakeDriver& drv, int index) : path("/dev/video" + std::to_string(index)), drv_(drv) {
    unlink(path.c_str());
    if (symlink("/dev/zero", path.c_str()) != 0) throw std::runtime_error("cannot make " + path);
    drv_.other = [this](int, unsigned long request, void* arg) { return handle(request, arg); };
}

FakeV4l2::~FakeV4l2() {
    drv_.other = nullptr;
    unlink(path.c_str());
}

int FakeV4l2::handle(unsigned long request, void* arg) {
    ++calls[request];
    if (request == VIDIOC_DQBUF) ++dqbuf_calls;
    auto in = interrupt.find(request);
    if (in != interrupt.end() && in->second > 0) {
        --in->second;
        errno = EINTR;
        return -1;
    }
    auto f = fail.find(request);
    if (f != fail.end()) {
        errno = f->second;
        return -1;
    }
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* c = static_cast<v4l2_capability*>(arg);
            std::memset(c, 0, sizeof(*c));
            c->capabilities = capabilities;
            return 0;
        }
        case VIDIOC_S_FMT:
            fmt = *static_cast<v4l2_format*>(arg);
            return 0;
        case VIDIOC_S_PARM:
            parm = *static_cast<v4l2_streamparm*>(arg);
            return 0;
        case VIDIOC_REQBUFS: {
            auto* r = static_cast<v4l2_requestbuffers*>(arg);
            req = *r;
            r->count = granted;
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (static_cast<int>(b->index) == querybuf_fail_at || b->index >= granted) {
                errno = EINVAL;
                return -1;
            }
            b->length = length;
            b->m.offset = 0;  // each mapping of /dev/zero is its own memory
            return 0;
        }
        case VIDIOC_QBUF:
            queued.push_back(static_cast<v4l2_buffer*>(arg)->index);
            return 0;
        case VIDIOC_STREAMON:
            ++streamon;
            return 0;
        case VIDIOC_STREAMOFF:
            ++streamoff;
            return 0;
        case VIDIOC_DQBUF: {
            if (dq.empty()) {
                errno = EAGAIN;
                return -1;
            }
            Dq d = dq.front();
            dq.pop_front();
            if (d.err) {
                errno = d.err;
                return -1;
            }
            auto* b = static_cast<v4l2_buffer*>(arg);
            b->index = d.index;
            b->bytesused = d.bytes;
            return 0;
        }
        default:
            errno = ENOTTY;
            return -1;
    }
}

int openFdCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

int zeroFdCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (dirent* e = readdir(d)) {
        char target[64] = {0};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 && std::string(target) == "/dev/zero") ++n;
    }
    closedir(d);
    return n;
}

int zeroMappingCount() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line))
        if (line.find("/dev/zero") != std::string::npos) ++n;
    return n;
}

}  // namespace camtest

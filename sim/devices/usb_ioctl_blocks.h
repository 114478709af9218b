// The client memory blocks of one usbdevfs or SG_IO request, resolved
// through umockdev, as the USB server's parts read and write them.
#pragma once

#include <cstddef>

#include <umockdev.h>

namespace vcam {

// The block at offset of parent holding len bytes; null when it cannot be
// resolved or is shorter.
inline UMockdevIoctlData* resolve(UMockdevIoctlData* parent, size_t offset, size_t len) {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, len, &error);
    g_clear_error(&error);
    if (d && size_t(d->data_len) < len) {
        g_object_unref(d);
        return nullptr;
    }
    return d;
}

// A block resolved for the length of one request.
class Held {
public:
    explicit Held(UMockdevIoctlData* d) : d_(d) {}
    ~Held() {
        if (d_) g_object_unref(d_);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    UMockdevIoctlData* get() const { return d_; }
    explicit operator bool() const { return d_ != nullptr; }
    template <class T>
    T* as() const {
        return reinterpret_cast<T*>(d_->data);
    }

private:
    UMockdevIoctlData* d_;
};

}  // namespace vcam

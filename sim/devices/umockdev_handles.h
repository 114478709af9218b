// The umockdev and GLib objects the device servers hold, declared without
// their headers, and the deleter that drops a server's reference to one.
#pragma once

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace vcam {

// g_object_unref as a unique_ptr deleter.
struct Unref {
    void operator()(void* object) const;
};

}  // namespace vcam

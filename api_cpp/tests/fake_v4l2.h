// A scripted capture device behind the layer's ioctl door: /dev/videoN is a
// link to /dev/zero (a character device whose MAP_SHARED mappings work), and
// every V4L2 request is answered here.
#pragma once

#include <linux/videodev2.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "fake_driver.h"

namespace camtest {

class FakeV4l2 {
public:
    // Makes /dev/video<index> and routes the requests (and the extension
    // unit's, through drv) here.
    FakeV4l2(FakeDriver& drv, int index);
    ~FakeV4l2();

    uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    uint32_t granted = 2;                    // REQBUFS answer
    uint32_t length = 8192;                  // QUERYBUF length of each buffer
    std::map<unsigned long, int> fail;       // request -> errno
    int querybuf_fail_at = -1;               // index whose QUERYBUF fails
    std::map<unsigned long, int> interrupt;  // request -> times it fails with EINTR first

    struct Dq {
        int err;  // 0: hand out index/bytes
        uint32_t index;
        uint32_t bytes;
    };
    std::deque<Dq> dq;  // DQBUF answers; when empty: EAGAIN

    v4l2_format fmt{};
    v4l2_streamparm parm{};
    v4l2_requestbuffers req{};
    std::vector<uint32_t> queued;
    int streamon = 0;
    int streamoff = 0;
    int dqbuf_calls = 0;
    std::map<unsigned long, int> calls;

    std::string path;

private:
    int handle(unsigned long request, void* arg);
    FakeDriver& drv_;
};

// Open descriptors and /dev/zero mappings of this process.
int openFdCount();
int zeroMappingCount();
// Descriptors open on /dev/zero (the scripted devices).
int zeroFdCount();

}  // namespace camtest

// One lens of the virtual camera: a UVC bridge module as the uvcvideo driver
// presents it. Formats, MMAP streaming paced by the run's clock, the camera
// controls with their ranges, the bridge's extension unit with its ISP
// registers, and faults the run can inject.
//
// Every request returns 0 or an errno value. Not thread-safe: the device
// server serialises the calls of one lens.
#pragma once

#include <linux/uvcvideo.h>
#include <linux/videodev2.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "frame_clock.h"
#include "test_picture.h"

namespace vcam {

// Where the driver buffers live: the device node's backing file, which the
// client maps.
class BufferBacking {
public:
    virtual ~BufferBacking() = default;
    virtual bool resize(size_t bytes) = 0;
    virtual bool write(size_t offset, const uint8_t* data, size_t len) = 0;
};

class MemoryBacking : public BufferBacking {
public:
    bool resize(size_t bytes) override;
    bool write(size_t offset, const uint8_t* data, size_t len) override;
    std::vector<uint8_t> bytes;
};

// A fault count: 0 off, -1 until cleared, n > 0 for the next n events.
struct FaultCount {
    int n = 0;
    bool active() const { return n != 0; }
    // True when the fault hits this event (and uses one up).
    bool take();
};

struct LensFaults {
    FaultCount eio;      // dequeue fails with EIO
    FaultCount noframe;  // due frames are dropped (dequeue keeps saying EAGAIN)
    FaultCount size;     // frames come at size_w x size_h
    int size_w = 0, size_h = 0;
    FaultCount xu;        // extension-unit queries fail with EIO
    FaultCount fwstatus;  // firmware queries answer a bad status byte
    bool busy = false;    // another user holds the device: EBUSY on set-up
    bool nostreaming = false;
    bool nocapture = false;
    bool nov4l2 = false;  // QUERYCAP fails with EINVAL
    bool noperm = false;  // extension-unit mapping needs privileges: EPERM
};

// The bridge's image signal processor as the extension unit exposes it.
struct IspRegisters {
    uint32_t exposure = 1000;
    uint16_t gain = 100;
    uint16_t shutter = 1000;
    uint16_t rgb[3] = {256, 256, 256};
    uint8_t flip_a = 0;  // left-right mirror
    uint8_t flip_b = 0;  // upside down
    uint8_t working_mode = 0;
    uint32_t frame_syncs = 0;
    std::string build_date = "16Aug23";  // year digits, month abbreviation, day digits
    std::array<uint8_t, 6> version = {{0x01, 0x00, 0x07, 0x16, 0x08, 0x23}};
    std::map<uint16_t, uint16_t> sensor_regs;
    std::array<uint8_t, 8> result{};  // what selector 2 reads back
};

// The ids of the camera controls a lens offers, in id order.
const std::vector<uint32_t>& lensControlIds();

using ClientId = uintptr_t;

class LensModel {
public:
    // Frame sizes the lens streams: square frames with these edges.
    static const std::vector<int>& frameEdges();
    static const uint8_t kXuGuid[16];
    static const int kXuUnit = 6;
    static const int kMaxBuffers = 8;

    LensModel(int index, BufferBacking& backing, const FrameClock& clock);

    int querycap(v4l2_capability& cap) const;
    int enumFmt(v4l2_fmtdesc& f) const;
    int gFmt(v4l2_format& f) const;
    int tryFmt(v4l2_format& f) const;
    int sFmt(ClientId c, v4l2_format& f);
    int enumFrameSizes(v4l2_frmsizeenum& f) const;
    int enumFrameIntervals(v4l2_frmivalenum& f) const;
    int gParm(v4l2_streamparm& p) const;
    int sParm(ClientId c, v4l2_streamparm& p);
    int enumInput(v4l2_input& in) const;
    int gInput(int& in) const;
    int sInput(int in) const;

    int reqbufs(ClientId c, v4l2_requestbuffers& r);
    int querybuf(v4l2_buffer& b) const;  // any client may look
    int qbuf(ClientId c, v4l2_buffer& b);
    int dqbuf(ClientId c, v4l2_buffer& b);
    int streamon(ClientId c, int type);
    int streamoff(ClientId c, int type);

    int queryctrl(v4l2_queryctrl& q) const;
    int queryExtCtrl(v4l2_query_ext_ctrl& q) const;
    int querymenu(v4l2_querymenu& m) const;
    int gCtrl(v4l2_control& c) const;
    int sCtrl(v4l2_control& c);
    // VIDIOC_G_EXT_CTRLS, VIDIOC_S_EXT_CTRLS or VIDIOC_TRY_EXT_CTRLS.
    int extCtrls(unsigned long request, v4l2_ext_controls& h, v4l2_ext_control* ctrls);

    int xuMap(const uvc_xu_control_mapping& m);
    // data holds q.size bytes.
    int xuQuery(const uvc_xu_control_query& q, uint8_t* data);

    // The client closed the device: its buffers and stream go.
    void clientGone(ClientId c);
    // Tells whether a client still has the device open, given how many
    // descriptors of the node the asker holds itself (1 for a client's
    // request, 0 for the run side); an owner that is gone is dropped when
    // somebody next asks.
    void setAlive(std::function<bool(ClientId, int)> alive) { alive_ = std::move(alive); }
    void reapOwner(int asker_descriptors = 0);

    // Run-side access.
    int index() const { return index_; }
    LensFaults& faults() { return faults_; }
    IspRegisters& isp() { return isp_; }
    const IspRegisters& isp() const { return isp_; }
    // Scene brightness and the exposure and gains metering picks for it.
    void setLight(double light);
    uint32_t meteredExposure() const;
    const uint16_t* meteredRgb() const { return metered_rgb_; }
    // Names of the mapped extension-unit controls, in mapping order.
    std::vector<std::string> mappings() const;
    // Current values of everything, "key=value" words.
    std::map<std::string, std::string> state() const;
    // Control value by V4L2 id; false when unknown.
    bool control(uint32_t id, int32_t& value) const;
    int width() const { return width_; }
    int height() const { return height_; }
    bool streaming() const { return streaming_; }
    ClientId owner() const { return owner_; }
    uint64_t framesDelivered() const { return delivered_; }

private:
    struct Buffer {
        bool queued = false;
        bool done = false;
        uint32_t bytesused = 0;
        uint32_t sequence = 0;
        int64_t timestamp_us = 0;
    };
    struct Mapping {
        uint32_t id;
        std::string name;
        uint8_t selector;
    };

    int ownerCheck(ClientId c);
    void fillFormat(v4l2_format& f, int w, int h) const;
    int nearestEdge(int w, int h) const;
    void fillBuffer(uint32_t i, v4l2_buffer& b) const;
    int64_t periodUs() const;
    void releaseBuffers();
    void meter();
    void meterExposure();
    void meterWhiteBalance();
    Exposure exposure() const;
    int setControl(uint32_t id, int32_t value);
    int32_t controlValue(uint32_t id) const;
    int xuSetIsp(const uint8_t* cmd);

    int index_;
    BufferBacking& backing_;
    const FrameClock& clock_;
    TestPicture picture_;
    LensFaults faults_;
    IspRegisters isp_;

    int width_, height_;
    uint32_t fps_num_ = 1, fps_den_ = 60;
    std::map<uint32_t, int32_t> controls_;

    ClientId owner_ = 0;
    std::function<bool(ClientId, int)> alive_;
    std::vector<Buffer> buffers_;
    std::vector<uint32_t> queue_;  // queued buffer indexes, oldest first
    uint32_t buffer_length_ = 0;
    bool streaming_ = false;
    int64_t stream_start_us_ = 0;
    int64_t last_frame_ = 0;  // frame slot last handed out or dropped
    uint64_t delivered_ = 0;

    double light_ = 1.0;
    double cast_[3] = {1, 1, 1};
    uint16_t metered_rgb_[3] = {400, 256, 300};

    std::vector<Mapping> mappings_;
    std::map<uint8_t, std::vector<uint8_t>> xu_values_;  // raw selectors
};

}  // namespace vcam

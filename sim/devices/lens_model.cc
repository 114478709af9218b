#include "lens_model.h"

#include <errno.h>
#include <linux/usb/video.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vcam {

namespace {

const char* const kPowerLineMenu[] = {"Disabled", "50 Hz", "60 Hz"};
const char* const kExposureMenu[] = {"Auto Mode", "Manual Mode", "Shutter Priority Mode", "Aperture Priority Mode"};

struct CtrlInfo {
    uint32_t id;
    const char* name;
    uint32_t type;
    int32_t min, max, step, def;
    const char* const* menu;
};

// The controls of the bridge's camera terminal and processing unit, in id order.
const CtrlInfo kControls[] = {
    {V4L2_CID_USER_CLASS, "User Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0, 0, nullptr},
    {V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128, nullptr},
    {V4L2_CID_CONTRAST, "Contrast", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128, nullptr},
    {V4L2_CID_SATURATION, "Saturation", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128, nullptr},
    {V4L2_CID_HUE, "Hue", V4L2_CTRL_TYPE_INTEGER, -180, 180, 1, 0, nullptr},
    {V4L2_CID_AUTO_WHITE_BALANCE, "White Balance Temperature, Auto", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1, nullptr},
    {V4L2_CID_GAMMA, "Gamma", V4L2_CTRL_TYPE_INTEGER, 72, 500, 1, 100, nullptr},
    {V4L2_CID_GAIN, "Gain", V4L2_CTRL_TYPE_INTEGER, 0, 100, 1, 0, nullptr},
    {V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", V4L2_CTRL_TYPE_MENU, 0, 2, 1, 1, kPowerLineMenu},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, "White Balance Temperature", V4L2_CTRL_TYPE_INTEGER, 2800, 6500, 1, 4600,
     nullptr},
    {V4L2_CID_SHARPNESS, "Sharpness", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 128, nullptr},
    {V4L2_CID_BACKLIGHT_COMPENSATION, "Backlight Compensation", V4L2_CTRL_TYPE_INTEGER, 0, 2, 1, 1, nullptr},
    {V4L2_CID_CAMERA_CLASS, "Camera Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0, 0, nullptr},
    {V4L2_CID_EXPOSURE_AUTO, "Exposure, Auto", V4L2_CTRL_TYPE_MENU, 0, 3, 1, 0, kExposureMenu},
    {V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", V4L2_CTRL_TYPE_INTEGER, 1, 5000, 1, 156, nullptr},
};

// The names the camera software knows these controls by.
const struct {
    uint32_t id;
    const char* key;
} kControlKeys[] = {
    {V4L2_CID_BRIGHTNESS, "brightness"},
    {V4L2_CID_CONTRAST, "contrast"},
    {V4L2_CID_SATURATION, "saturation"},
    {V4L2_CID_HUE, "hue"},
    {V4L2_CID_GAMMA, "gamma"},
    {V4L2_CID_GAIN, "ctrl_gain"},
    {V4L2_CID_WHITE_BALANCE_TEMPERATURE, "white_balance_temperature"},
    {V4L2_CID_AUTO_WHITE_BALANCE, "white_balance_temperature_auto"},
    {V4L2_CID_EXPOSURE_AUTO, "exposure_auto"},
    {V4L2_CID_EXPOSURE_ABSOLUTE, "exposure_absolute"},
    {V4L2_CID_SHARPNESS, "sharpness"},
    {V4L2_CID_BACKLIGHT_COMPENSATION, "backlight_compensation"},
    {V4L2_CID_POWER_LINE_FREQUENCY, "power_line_frequency"},
};

const CtrlInfo* findControl(uint32_t id) {
    for (const CtrlInfo& c : kControls)
        if (c.id == id) return &c;
    return nullptr;
}

bool isClass(const CtrlInfo& c) { return c.type == V4L2_CTRL_TYPE_CTRL_CLASS; }

// Extension-unit selectors and their sizes in bytes.
int selectorSize(uint8_t sel) {
    switch (sel) {
        case 1:
        case 2:
        case 4:
        case 5:
            return 8;
        case 6:
        case 7:
        case 14:
        case 15:
            return 16;
        case 11:
            return 32;
        default:
            return 0;
    }
}

const double kLight[] = {1.0, 0.625, 0.8, 0.9, 0.7, 1.1};
const uint16_t kMeteredRgb[][3] = {{400, 256, 300}, {410, 260, 305}, {405, 258, 302}};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
template <size_t N>
void copyName(uint8_t (&dst)[N], const char* src) {
    std::memset(dst, 0, N);
    std::strncpy(reinterpret_cast<char*>(dst), src, N - 1);
}
template <size_t N>
void copyName(char (&dst)[N], const char* src) {
    std::memset(dst, 0, N);
    std::strncpy(dst, src, N - 1);
}

}  // namespace

const uint8_t LensModel::kXuGuid[16] = {0xd0, 0x9e, 0xe4, 0x23, 0x78, 0x11, 0x31, 0x4f,
                                        0xae, 0x52, 0xd2, 0xfb, 0x8a, 0x8d, 0x3b, 0x48};

bool MemoryBacking::resize(size_t n) {
    bytes.resize(n);
    return true;
}

bool MemoryBacking::write(size_t offset, const uint8_t* data, size_t len) {
    if (offset + len > bytes.size()) return false;
    std::memcpy(bytes.data() + offset, data, len);
    return true;
}

bool FaultCount::take() {
    if (n == 0) return false;
    if (n > 0) --n;
    return true;
}

const std::vector<uint32_t>& lensControlIds() {
    static const std::vector<uint32_t> ids = [] {
        std::vector<uint32_t> v;
        for (const CtrlInfo& c : kControls)
            if (!isClass(c)) v.push_back(c.id);
        return v;
    }();
    return ids;
}

const std::vector<int>& LensModel::frameEdges() {
    static const std::vector<int> edges = {960, 1088, 1360, 1440, 1504, 1680, 1920, 2048};
    return edges;
}

LensModel::LensModel(int index, BufferBacking& backing, const FrameClock& clock)
    : index_(index), backing_(backing), clock_(clock), picture_(index), width_(1440), height_(1440) {
    for (const CtrlInfo& c : kControls)
        if (!isClass(c)) controls_[c.id] = c.def;
    size_t n = sizeof kMeteredRgb / sizeof kMeteredRgb[0];
    std::copy(kMeteredRgb[size_t(index) < n ? index : n - 1], kMeteredRgb[size_t(index) < n ? index : n - 1] + 3,
              metered_rgb_);
    for (int c = 0; c < 3; ++c) cast_[c] = 256.0 / metered_rgb_[c];
    light_ = kLight[size_t(index) % (sizeof kLight / sizeof kLight[0])];
    meter();
}

void LensModel::setLight(double light) { light_ = light; }

uint32_t LensModel::meteredExposure() const { return uint32_t(std::max(1L, std::lround(1000.0 / light_))); }

void LensModel::meterExposure() { isp_.exposure = meteredExposure(); }

void LensModel::meterWhiteBalance() { std::copy(metered_rgb_, metered_rgb_ + 3, isp_.rgb); }

void LensModel::meter() {
    meterExposure();
    meterWhiteBalance();
}

Exposure LensModel::exposure() const {
    Exposure e;
    e.light = light_;
    std::copy(cast_, cast_ + 3, e.cast);
    e.exposure = isp_.exposure;
    e.gain = isp_.gain;
    std::copy(isp_.rgb, isp_.rgb + 3, e.rgb);
    e.offset = controls_.at(V4L2_CID_BRIGHTNESS) - 128;
    e.mirror = isp_.flip_a != 0;
    e.upside_down = isp_.flip_b != 0;
    return e;
}

// ---- capabilities, formats, inputs

int LensModel::querycap(v4l2_capability& cap) const {
    if (faults_.nov4l2) return EINVAL;
    std::memset(&cap, 0, sizeof cap);
    copyName(cap.driver, "uvcvideo");
    copyName(cap.card, ("UVC Bridge Lens " + std::to_string(index_)).c_str());
    copyName(cap.bus_info, ("usb-vcam-1." + std::to_string(index_ + 1)).c_str());
    cap.version = (3 << 16) | (4 << 8) | 5;
    uint32_t caps = 0;
    if (!faults_.nocapture) caps |= V4L2_CAP_VIDEO_CAPTURE;
    if (!faults_.nostreaming) caps |= V4L2_CAP_STREAMING;
    cap.device_caps = caps;
    cap.capabilities = caps | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

int LensModel::enumFmt(v4l2_fmtdesc& f) const {
    if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || f.index != 0) return EINVAL;
    uint32_t index = f.index, type = f.type;
    std::memset(&f, 0, sizeof f);
    f.index = index;
    f.type = type;
    f.flags = V4L2_FMT_FLAG_COMPRESSED;
    copyName(f.description, "Motion-JPEG");
    f.pixelformat = V4L2_PIX_FMT_MJPEG;
    return 0;
}

static uint32_t frameBytes(int w, int h) { return uint32_t(w) * uint32_t(h) * 2; }

void LensModel::fillFormat(v4l2_format& f, int w, int h) const {
    std::memset(&f, 0, sizeof f);
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.width = uint32_t(w);
    f.fmt.pix.height = uint32_t(h);
    f.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    f.fmt.pix.field = V4L2_FIELD_NONE;
    f.fmt.pix.bytesperline = 0;
    f.fmt.pix.sizeimage = frameBytes(w, h);
    f.fmt.pix.colorspace = V4L2_COLORSPACE_JPEG;
}

int LensModel::gFmt(v4l2_format& f) const {
    if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    fillFormat(f, width_, height_);
    return 0;
}

int LensModel::nearestEdge(int w, int h) const {
    int best = frameEdges().front();
    long best_d = -1;
    for (int e : frameEdges()) {
        long d = std::labs(long(e) - w) + std::labs(long(e) - h);
        if (best_d < 0 || d < best_d) {
            best = e;
            best_d = d;
        }
    }
    return best;
}

int LensModel::tryFmt(v4l2_format& f) const {
    if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    int edge = nearestEdge(int(std::min<uint32_t>(f.fmt.pix.width, 1 << 20)),
                           int(std::min<uint32_t>(f.fmt.pix.height, 1 << 20)));
    fillFormat(f, edge, edge);
    return 0;
}

int LensModel::sFmt(ClientId c, v4l2_format& f) {
    if (f.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    if (faults_.busy) return EBUSY;
    if (int e = ownerCheck(c)) return e;
    if (streaming_ || !buffers_.empty()) return EBUSY;
    tryFmt(f);
    width_ = int(f.fmt.pix.width);
    height_ = int(f.fmt.pix.height);
    return 0;
}

int LensModel::enumFrameSizes(v4l2_frmsizeenum& f) const {
    if (f.pixel_format != V4L2_PIX_FMT_MJPEG || f.index >= frameEdges().size()) return EINVAL;
    f.type = V4L2_FRMSIZE_TYPE_DISCRETE;
    f.discrete.width = f.discrete.height = uint32_t(frameEdges()[f.index]);
    return 0;
}

int LensModel::enumFrameIntervals(v4l2_frmivalenum& f) const {
    if (f.pixel_format != V4L2_PIX_FMT_MJPEG || f.width != f.height || f.index > 1) return EINVAL;
    const std::vector<int>& edges = frameEdges();
    if (std::find(edges.begin(), edges.end(), int(f.width)) == edges.end()) return EINVAL;
    f.type = V4L2_FRMIVAL_TYPE_DISCRETE;
    f.discrete.numerator = 1;
    f.discrete.denominator = f.index == 0 ? 60 : 30;
    return 0;
}

int LensModel::gParm(v4l2_streamparm& p) const {
    if (p.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    std::memset(&p.parm, 0, sizeof p.parm);
    p.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    p.parm.capture.timeperframe.numerator = fps_num_;
    p.parm.capture.timeperframe.denominator = fps_den_;
    return 0;
}

int LensModel::sParm(ClientId c, v4l2_streamparm& p) {
    if (p.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    if (int e = ownerCheck(c)) return e;
    if (streaming_) return EBUSY;
    const v4l2_fract& t = p.parm.capture.timeperframe;
    double fps = (t.numerator == 0 || t.denominator == 0) ? 60.0 : double(t.denominator) / t.numerator;
    fps_num_ = 1;
    fps_den_ = fps >= 45 ? 60 : 30;
    return gParm(p);
}

int LensModel::enumInput(v4l2_input& in) const {
    if (in.index != 0) return EINVAL;
    std::memset(&in, 0, sizeof in);
    copyName(in.name, "Camera 1");
    in.type = V4L2_INPUT_TYPE_CAMERA;
    return 0;
}

int LensModel::gInput(int& in) const {
    in = 0;
    return 0;
}

int LensModel::sInput(int in) const { return in == 0 ? 0 : EINVAL; }

// ---- streaming

void LensModel::reapOwner(int asker_descriptors) {
    if (owner_ != 0 && alive_ && !alive_(owner_, asker_descriptors)) clientGone(owner_);
}

int LensModel::ownerCheck(ClientId c) {
    if (owner_ != 0 && owner_ != c) reapOwner(1);
    return owner_ != 0 && owner_ != c ? EBUSY : 0;
}

int64_t LensModel::periodUs() const { return int64_t(fps_num_) * 1000000 / fps_den_; }

void LensModel::releaseBuffers() {
    buffers_.clear();
    queue_.clear();
    streaming_ = false;
}

int LensModel::reqbufs(ClientId c, v4l2_requestbuffers& r) {
    if (r.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r.memory != V4L2_MEMORY_MMAP) return EINVAL;
    if (faults_.busy) return EBUSY;
    if (int e = ownerCheck(c)) return e;
    if (streaming_) return EBUSY;
    releaseBuffers();
    std::memset(r.reserved, 0, sizeof r.reserved);
    r.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    if (r.count == 0) {
        owner_ = 0;
        return 0;
    }
    uint32_t n = std::min<uint32_t>(r.count, kMaxBuffers);
    const uint32_t page = 4096;
    buffer_length_ = (frameBytes(width_, height_) + page - 1) / page * page;
    if (!backing_.resize(size_t(n) * buffer_length_)) return ENOMEM;
    buffers_.assign(n, Buffer());
    owner_ = c;
    r.count = n;
    return 0;
}

void LensModel::fillBuffer(uint32_t i, v4l2_buffer& b) const {
    const Buffer& buf = buffers_[i];
    std::memset(&b, 0, sizeof b);
    b.index = i;
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.length = buffer_length_;
    b.m.offset = i * buffer_length_;
    b.field = V4L2_FIELD_NONE;
    b.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (buf.queued) b.flags |= V4L2_BUF_FLAG_QUEUED;
    if (buf.done) b.flags |= V4L2_BUF_FLAG_DONE;
    b.bytesused = buf.bytesused;
    b.sequence = buf.sequence;
    b.timestamp.tv_sec = buf.timestamp_us / 1000000;
    b.timestamp.tv_usec = buf.timestamp_us % 1000000;
}

int LensModel::querybuf(v4l2_buffer& b) const {
    if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.index >= buffers_.size()) return EINVAL;
    fillBuffer(b.index, b);
    return 0;
}

int LensModel::qbuf(ClientId c, v4l2_buffer& b) {
    if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.memory != V4L2_MEMORY_MMAP) return EINVAL;
    if (int e = ownerCheck(c)) return e;
    if (b.index >= buffers_.size() || buffers_[b.index].queued) return EINVAL;
    Buffer& buf = buffers_[b.index];
    buf.queued = true;
    buf.done = false;
    buf.bytesused = 0;
    queue_.push_back(b.index);
    fillBuffer(b.index, b);
    return 0;
}

int LensModel::dqbuf(ClientId c, v4l2_buffer& b) {
    if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.memory != V4L2_MEMORY_MMAP) return EINVAL;
    if (int e = ownerCheck(c)) return e;
    if (!streaming_) return EINVAL;
    if (faults_.eio.take()) return EIO;
    if (queue_.empty()) return EAGAIN;
    int64_t now = clock_.nowUs();
    int64_t slot = (now - stream_start_us_) / periodUs();
    if (slot <= last_frame_) return EAGAIN;
    last_frame_ = slot;
    if (faults_.noframe.take()) return EAGAIN;

    int w = width_, h = height_;
    if (faults_.size.take()) {
        w = faults_.size_w;
        h = faults_.size_h;
    }
    const std::vector<uint8_t>& jpeg = picture_.frame(w, h, exposure(), uint64_t(slot));
    uint32_t i = queue_.front();
    queue_.erase(queue_.begin());
    Buffer& buf = buffers_[i];
    buf.queued = false;
    buf.done = false;
    buf.sequence = uint32_t(slot - 1);
    buf.timestamp_us = now;
    size_t n = std::min<size_t>(jpeg.size(), buffer_length_);
    bool ok = !jpeg.empty() && backing_.write(size_t(i) * buffer_length_, jpeg.data(), n);
    buf.bytesused = ok ? uint32_t(n) : 0;
    ++delivered_;
    fillBuffer(i, b);
    if (!ok || n < jpeg.size()) b.flags |= V4L2_BUF_FLAG_ERROR;
    return 0;
}

int LensModel::streamon(ClientId c, int type) {
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    if (faults_.busy) return EBUSY;
    if (int e = ownerCheck(c)) return e;
    if (buffers_.empty()) return EINVAL;
    if (streaming_) return 0;
    streaming_ = true;
    stream_start_us_ = clock_.nowUs();
    last_frame_ = 0;
    return 0;
}

int LensModel::streamoff(ClientId c, int type) {
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
    if (int e = ownerCheck(c)) return e;
    streaming_ = false;
    queue_.clear();
    for (Buffer& b : buffers_) b.queued = b.done = false;
    return 0;
}

void LensModel::clientGone(ClientId c) {
    if (owner_ != c) return;
    releaseBuffers();
    owner_ = 0;
}

// ---- controls

static uint32_t controlFlags(const CtrlInfo& c, const std::map<uint32_t, int32_t>& values) {
    if (isClass(c)) return V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    if (c.id == V4L2_CID_WHITE_BALANCE_TEMPERATURE && values.at(V4L2_CID_AUTO_WHITE_BALANCE) != 0)
        return V4L2_CTRL_FLAG_INACTIVE;
    if (c.id == V4L2_CID_EXPOSURE_ABSOLUTE && values.at(V4L2_CID_EXPOSURE_AUTO) != V4L2_EXPOSURE_MANUAL)
        return V4L2_CTRL_FLAG_INACTIVE;
    return 0;
}

static const CtrlInfo* lookupForQuery(uint32_t id) {
    const uint32_t next = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    if (id & next) {
        uint32_t after = id & ~next;
        for (const CtrlInfo& c : kControls)
            if (c.id > after) return &c;
        return nullptr;
    }
    return findControl(id);
}

// The members both control queries share, the rest of q zeroed.
template <class Query>
static void describeControl(Query& q, const CtrlInfo& c, uint32_t flags) {
    std::memset(&q, 0, sizeof q);
    q.id = c.id;
    q.type = c.type;
    copyName(q.name, c.name);
    q.minimum = c.min;
    q.maximum = c.max;
    q.step = c.step;
    q.default_value = c.def;
    q.flags = flags;
}

int LensModel::queryctrl(v4l2_queryctrl& q) const {
    const CtrlInfo* c = lookupForQuery(q.id);
    if (!c) return EINVAL;
    describeControl(q, *c, controlFlags(*c, controls_));
    return 0;
}

int LensModel::queryExtCtrl(v4l2_query_ext_ctrl& q) const {
    const CtrlInfo* c = lookupForQuery(q.id);
    if (!c) return EINVAL;
    describeControl(q, *c, controlFlags(*c, controls_));
    if (!isClass(*c)) {
        q.elem_size = 4;
        q.elems = 1;
        q.nr_of_dims = 0;
    }
    return 0;
}

int LensModel::querymenu(v4l2_querymenu& m) const {
    const CtrlInfo* c = findControl(m.id);
    if (!c || !c->menu || int64_t(m.index) < c->min || int64_t(m.index) > c->max) return EINVAL;
    uint32_t id = m.id, index = m.index;
    std::memset(&m, 0, sizeof m);
    m.id = id;
    m.index = index;
    char name[sizeof m.name];
    copyName(name, c->menu[index]);
    std::memcpy(m.name, name, sizeof name);
    return 0;
}

// The absolute exposure (100 us steps) and the gain are views of the ISP's
// exposure (10 us steps) and gain (100 is unity) registers: whichever path
// writes them, both read the same state and the picture follows it.
namespace {
const int32_t kIspExposurePerStep = 10;
const int32_t kIspGainUnity = 100, kIspGainPerStep = 15;
}  // namespace

int32_t LensModel::controlValue(uint32_t id) const {
    const CtrlInfo* info = findControl(id);
    switch (id) {
        case V4L2_CID_EXPOSURE_ABSOLUTE:
            return int32_t(std::clamp<int64_t>((int64_t(isp_.exposure) + kIspExposurePerStep / 2) / kIspExposurePerStep,
                                               info->min, info->max));
        case V4L2_CID_GAIN:
            return int32_t(std::clamp<int64_t>(
                (int64_t(isp_.gain) - kIspGainUnity + kIspGainPerStep / 2) / kIspGainPerStep, info->min, info->max));
        default:
            return controls_.at(id);
    }
}

bool LensModel::control(uint32_t id, int32_t& value) const {
    if (controls_.find(id) == controls_.end()) return false;
    value = controlValue(id);
    return true;
}

int LensModel::gCtrl(v4l2_control& c) const {
    const CtrlInfo* info = findControl(c.id);
    if (!info) return EINVAL;
    if (isClass(*info)) return EACCES;
    c.value = controlValue(c.id);
    return 0;
}

// Clamps value into the control's range as the driver does; false for a
// value a menu does not hold.
static bool clampValue(const CtrlInfo& c, int32_t& value) {
    switch (c.type) {
        case V4L2_CTRL_TYPE_MENU:
            return value >= c.min && value <= c.max;
        case V4L2_CTRL_TYPE_BOOLEAN:
            value = value ? 1 : 0;
            return true;
        default: {
            int64_t v = std::clamp<int64_t>(value, c.min, c.max);
            int64_t step = c.step > 0 ? c.step : 1;
            v = c.min + (v - c.min + step / 2) / step * step;
            value = int32_t(std::min<int64_t>(v, c.max));
            return true;
        }
    }
}

int LensModel::setControl(uint32_t id, int32_t value) {
    int32_t old = controls_.at(id);
    controls_[id] = value;
    if (id == V4L2_CID_EXPOSURE_ABSOLUTE) isp_.exposure = uint32_t(value * kIspExposurePerStep);
    if (id == V4L2_CID_GAIN) isp_.gain = uint16_t(kIspGainUnity + value * kIspGainPerStep);
    // Turning an automatic mode on lets the ISP meter the scene again.
    if (id == V4L2_CID_EXPOSURE_AUTO && value != V4L2_EXPOSURE_MANUAL && old == V4L2_EXPOSURE_MANUAL) meterExposure();
    if (id == V4L2_CID_AUTO_WHITE_BALANCE && value && !old) meterWhiteBalance();
    return 0;
}

int LensModel::sCtrl(v4l2_control& c) {
    const CtrlInfo* info = findControl(c.id);
    if (!info) return EINVAL;
    if (isClass(*info)) return EACCES;
    int32_t v = c.value;
    if (!clampValue(*info, v)) return EINVAL;
    c.value = v;
    return setControl(c.id, v);
}

int LensModel::extCtrls(unsigned long request, v4l2_ext_controls& h, v4l2_ext_control* ctrls) {
    const bool get = request == VIDIOC_G_EXT_CTRLS;
    const bool set = request == VIDIOC_S_EXT_CTRLS;
    const bool defaults = h.which == V4L2_CTRL_WHICH_DEF_VAL;
    if (h.which != V4L2_CTRL_WHICH_CUR_VAL && !defaults && (h.which & 0xf0000000) != 0) return EINVAL;
    if (defaults && !get) return EINVAL;
    std::vector<int32_t> values(h.count);
    for (uint32_t i = 0; i < h.count; ++i) {
        const CtrlInfo* info = findControl(ctrls[i].id);
        bool class_ok = h.which == 0 || defaults || V4L2_CTRL_ID2WHICH(ctrls[i].id) == h.which;
        if (!info || isClass(*info) || !class_ok) {
            h.error_idx = i;
            return EINVAL;
        }
        if (get) {
            values[i] = defaults ? info->def : controlValue(info->id);
        } else {
            values[i] = ctrls[i].value;
            if (!clampValue(*info, values[i])) {
                h.error_idx = i;
                return EINVAL;
            }
        }
    }
    for (uint32_t i = 0; i < h.count; ++i) {
        ctrls[i].value = values[i];
        if (set) setControl(ctrls[i].id, values[i]);
    }
    return 0;
}

// ---- extension unit

int LensModel::xuMap(const uvc_xu_control_mapping& m) {
    if (faults_.noperm) return EPERM;
    if (std::memcmp(m.entity, kXuGuid, sizeof kXuGuid) != 0 || selectorSize(m.selector) == 0) return ENOENT;
    switch (m.v4l2_type) {
        case V4L2_CTRL_TYPE_INTEGER:
        case V4L2_CTRL_TYPE_BOOLEAN:
        case V4L2_CTRL_TYPE_BUTTON:
            break;
        default:
            return EINVAL;
    }
    for (const Mapping& have : mappings_)
        if (have.id == m.id) return EEXIST;
    char name[sizeof m.name + 1] = {0};
    std::memcpy(name, m.name, sizeof m.name);
    mappings_.push_back({m.id, name, m.selector});
    return 0;
}

std::vector<std::string> LensModel::mappings() const {
    std::vector<std::string> names;
    for (const Mapping& m : mappings_) names.push_back(m.name);
    return names;
}

int LensModel::xuSetIsp(const uint8_t* cmd) {
    std::array<uint8_t, 8>& r = isp_.result;
    r.fill(0);
    switch (cmd[0]) {
        case 0x00:
            switch (cmd[1]) {
                case 0x00:
                    put32(&r[2], isp_.exposure);
                    break;
                case 0x01:
                    isp_.exposure = le32(cmd + 2);
                    break;
                case 0x02:
                    for (int c = 0; c < 3; ++c) put16(&r[2 + 2 * c], isp_.rgb[c]);
                    break;
                case 0x03:
                    for (int c = 0; c < 3; ++c) isp_.rgb[c] = le16(cmd + 2 + 2 * c);
                    break;
                case 0x04:
                    isp_.gain = le16(cmd + 2);
                    break;
                case 0x05:
                    isp_.shutter = le16(cmd + 2);
                    break;
                case 0x09:
                    isp_.working_mode = cmd[2];
                    break;
                case 0x0b:
                    put32(&r[2], isp_.gain);
                    break;
                case 0x0c:
                    put32(&r[2], isp_.shutter);
                    break;
                default:
                    r[0] = 1;
                    break;
            }
            break;
        case 0x01:
            if (cmd[1] == 0) {
                ++isp_.frame_syncs;
            } else {
                r[0] = 1;
            }
            break;
        case 0x0a:
            if (cmd[1] == 0x03) {
                isp_.sensor_regs[le16(cmd + 2)] = le16(cmd + 4);
            } else {
                r[0] = 1;
            }
            break;
        case 0x0b:
            r[0] = faults_.fwstatus.take() ? 1 : 0;
            std::copy(isp_.version.begin(), isp_.version.end(), r.begin() + 2);
            break;
        case 0x0c: {
            r[0] = faults_.fwstatus.take() ? 1 : 0;
            std::string d = isp_.build_date;
            d.resize(7, '0');
            std::copy(d.begin(), d.end(), r.begin() + 1);
            break;
        }
        case 0x11:
            isp_.flip_b = cmd[1];
            isp_.flip_a = cmd[2];
            break;
        default:
            r[0] = 1;
            break;
    }
    return 0;
}

int LensModel::xuQuery(const uvc_xu_control_query& q, uint8_t* data) {
    if (q.unit != kXuUnit) return ENOENT;
    int size = selectorSize(q.selector);
    if (size == 0) return ENOENT;
    if (faults_.xu.take()) return EIO;
    switch (q.query) {
        case UVC_GET_LEN:
            if (q.size != 2) return ENOBUFS;
            put16(data, uint16_t(size));
            return 0;
        case UVC_GET_INFO:
            if (q.size != 1) return ENOBUFS;
            data[0] = 0x03;  // GET and SET supported
            return 0;
        default:
            break;
    }
    if (q.size != size) return ENOBUFS;
    std::vector<uint8_t>& raw = xu_values_[q.selector];
    raw.resize(size_t(size), 0);
    switch (q.query) {
        case UVC_SET_CUR:
            std::copy(data, data + size, raw.begin());
            if (q.selector == 1) return xuSetIsp(data);
            if (q.selector == 14) xu_values_[15].assign(data, data + size);
            return 0;
        case UVC_GET_CUR:
            if (q.selector == 2) {
                std::copy(isp_.result.begin(), isp_.result.end(), data);
            } else {
                std::copy(raw.begin(), raw.end(), data);
            }
            return 0;
        case UVC_GET_MIN:
        case UVC_GET_RES:
        case UVC_GET_DEF:
            std::memset(data, 0, size_t(size));
            return 0;
        case UVC_GET_MAX:
            std::memset(data, 0xff, size_t(size));
            return 0;
        default:
            return EINVAL;
    }
}

// ---- run-side view

std::map<std::string, std::string> LensModel::state() const {
    std::map<std::string, std::string> s;
    auto num = [](auto v) { return std::to_string(v); };
    s["lens"] = num(index_);
    s["width"] = num(width_);
    s["height"] = num(height_);
    s["fps"] = num(fps_den_ / fps_num_);
    s["streaming"] = streaming_ ? "1" : "0";
    s["buffers"] = num(buffers_.size());
    s["queued"] = num(queue_.size());
    s["frames"] = num(delivered_);
    s["exposure"] = num(isp_.exposure);
    s["gain"] = num(isp_.gain);
    s["shutter"] = num(isp_.shutter);
    s["r"] = num(isp_.rgb[0]);
    s["g"] = num(isp_.rgb[1]);
    s["b"] = num(isp_.rgb[2]);
    s["flip_a"] = num(isp_.flip_a);
    s["flip_b"] = num(isp_.flip_b);
    s["mode"] = num(isp_.working_mode);
    s["syncs"] = num(isp_.frame_syncs);
    s["build_date"] = isp_.build_date;
    s["metered_exposure"] = num(meteredExposure());
    s["mappings"] = num(mappings_.size());
    char light[32];
    snprintf(light, sizeof light, "%g", light_);
    s["light"] = light;
    for (const auto& k : kControlKeys) s[k.key] = num(controlValue(k.id));
    return s;
}

}  // namespace vcam

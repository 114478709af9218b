#include "test_picture.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace vcam {

namespace {
const int kQuality = 85;
const int kDetailLevel = 20;  // the moving detail's grey in the scene
}  // namespace

bool Exposure::operator==(const Exposure& o) const {
    return light == o.light && std::equal(cast, cast + 3, o.cast) && exposure == o.exposure && gain == o.gain &&
           std::equal(rgb, rgb + 3, o.rgb) && offset == o.offset && mirror == o.mirror && upside_down == o.upside_down;
}

double Exposure::factor(int c) const {
    return light * cast[c] * (exposure / 1000.0) * (gain / 100.0) * (rgb[c] / 256.0);
}

struct TestPicture::TjHandle {
    tjhandle h = nullptr;
    TjHandle() : h(tjInitCompress()) {}
    ~TjHandle() {
        if (h) tjDestroy(h);
    }
};

TestPicture::TestPicture(int lens) : lens_(lens), tj_(new TjHandle) {}

TestPicture::~TestPicture() = default;

const std::vector<uint8_t>& TestPicture::scene(int w, int h) {
    if (w == scene_w_ && h == scene_h_) return scene_;
    scene_.assign(size_t(w) * h * 3, 0);
    scene_w_ = w;
    scene_h_ = h;
    static const uint8_t bars[8][3] = {{200, 200, 200}, {200, 200, 40}, {40, 200, 200}, {40, 200, 40},
                                       {200, 40, 200},  {200, 40, 40},  {40, 40, 200},  {20, 20, 20}};
    const double cx = w * (0.3 + 0.12 * (lens_ % 4)), cy = h * 0.33, radius = w * 0.12;
    const int grid = std::max(8, w / 16);
    const int marker = std::max(4, w / 40);
    for (int y = 0; y < h; ++y) {
        double fy = double(y) / h;
        for (int x = 0; x < w; ++x) {
            double fx = double(x) / w;
            // sky to ground
            double r = 150 - 70 * fy + 15 * fx, g = 160 - 80 * fy, b = 185 - 110 * fy - 15 * fx;
            if (fy >= 0.66 && fy < 0.8) {
                const uint8_t* bar = bars[std::min(7, int(fx * 8))];
                r = bar[0];
                g = bar[1];
                b = bar[2];
            }
            double d = std::hypot(x - cx, y - cy);
            if (d < radius) {
                r = g = b = 235;
            } else if (d < radius * 1.15) {
                r = g = b = 30;
            }
            if (x % grid == 0 || y % grid == 0) r = g = b = 45;
            // one mark per lens number in the top left corner
            if (y >= marker && y < 2 * marker && x >= marker && x < marker * (2 * (lens_ + 1) + 1) &&
                ((x / marker) % 2) == 1)
                r = g = b = 250;
            uint8_t* p = &scene_[(size_t(y) * w + x) * 3];
            p[0] = uint8_t(std::clamp(r, 0.0, 255.0));
            p[1] = uint8_t(std::clamp(g, 0.0, 255.0));
            p[2] = uint8_t(std::clamp(b, 0.0, 255.0));
        }
    }
    return scene_;
}

TestPicture::Detail TestPicture::detail(int w, int h, uint64_t sequence) {
    Detail d;
    d.edge = std::min(std::max(4, w / 40), std::max(1, std::min(w, h)));
    d.y = std::clamp(int(h * 0.86), 0, std::max(0, h - d.edge));
    // across the ground from left to right, three pixels a frame
    d.x = int((sequence * 3) % uint64_t(std::max(1, w - d.edge + 1)));
    return d;
}

void TestPicture::expose(const Exposure& e) {
    const int w = frame_w_, h = frame_h_;
    const std::vector<uint8_t>& src = scene(w, h);
    uint8_t lut[3][256];
    for (int c = 0; c < 3; ++c) {
        double k = e.factor(c);
        for (int v = 0; v < 256; ++v) lut[c][v] = uint8_t(std::clamp(std::lround(v * k) + e.offset, 0L, 255L));
        detail_rgb_[c] = lut[c][kDetailLevel];
    }
    exposed_.resize(src.size());
    for (int y = 0; y < h; ++y) {
        int sy = e.upside_down ? h - 1 - y : y;
        const uint8_t* in = &src[size_t(sy) * w * 3];
        uint8_t* out = &exposed_[size_t(y) * w * 3];
        for (int x = 0; x < w; ++x) {
            int sx = e.mirror ? w - 1 - x : x;
            const uint8_t* p = in + size_t(sx) * 3;
            out[x * 3] = lut[0][p[0]];
            out[x * 3 + 1] = lut[1][p[1]];
            out[x * 3 + 2] = lut[2][p[2]];
        }
    }
    under_.clear();
}

// The detail is drawn into the exposed picture; what it covered is kept so
// that the next frame can put it back.
void TestPicture::drawDetail(uint64_t sequence) {
    Detail d = detail(frame_w_, frame_h_, sequence);
    detail_ = d;
    under_.clear();
    for (int y = d.y; y < std::min(frame_h_, d.y + d.edge); ++y) {
        uint8_t* row = &exposed_[(size_t(y) * frame_w_ + d.x) * 3];
        int n = std::min(d.edge, frame_w_ - d.x) * 3;
        under_.insert(under_.end(), row, row + n);
        for (int i = 0; i < n; i += 3) std::copy(detail_rgb_, detail_rgb_ + 3, row + i);
    }
}

void TestPicture::restoreDetail() {
    if (under_.empty()) return;
    const Detail& d = detail_;
    size_t at = 0;
    for (int y = d.y; y < std::min(frame_h_, d.y + d.edge); ++y) {
        uint8_t* row = &exposed_[(size_t(y) * frame_w_ + d.x) * 3];
        size_t n = size_t(std::min(d.edge, frame_w_ - d.x)) * 3;
        std::copy(under_.begin() + at, under_.begin() + at + n, row);
        at += n;
    }
    under_.clear();
}

const std::vector<uint8_t>& TestPicture::frame(int w, int h, const Exposure& e, uint64_t sequence) {
    if (w == frame_w_ && h == frame_h_ && e == frame_exposure_ && sequence == frame_sequence_ && !jpeg_.empty())
        return jpeg_;
    jpeg_.clear();
    if (w <= 0 || h <= 0 || !tj_->h) return jpeg_;
    if (w != frame_w_ || h != frame_h_ || !(e == frame_exposure_) || exposed_.empty()) {
        frame_w_ = w;
        frame_h_ = h;
        frame_exposure_ = e;
        expose(e);
    } else {
        restoreDetail();
    }
    frame_sequence_ = sequence;
    drawDetail(sequence);
    unsigned long cap = tjBufSize(w, h, TJSAMP_422);
    jpeg_.resize(cap);
    unsigned char* out = jpeg_.data();
    unsigned long size = cap;
    if (tjCompress2(tj_->h, exposed_.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_422, kQuality,
                    TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0) {
        jpeg_.clear();
        return jpeg_;
    }
    jpeg_.resize(size);
    return jpeg_;
}

}  // namespace vcam

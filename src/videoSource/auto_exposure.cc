#include "auto_exposure.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <glog/logging.h>

namespace {

unsigned rgb_ratio[3] = {100, 100, 100};
unsigned last_exposure[2] = {0, 0};

}  // namespace

void setRGBRatio(unsigned* ratio) {
    for (int c = 0; c < 3; ++c) rgb_ratio[c] = ratio[c];
    LOG(INFO) << "set r: " << rgb_ratio[0] << "%";
    LOG(INFO) << "set g: " << rgb_ratio[1] << "%";
    LOG(INFO) << "set b: " << rgb_ratio[2] << "%";
}

void getRGBRatio(unsigned* ratio) {
    for (int c = 0; c < 3; ++c) ratio[c] = rgb_ratio[c];
}

void lastExposures(unsigned* out) {
    out[0] = last_exposure[0];
    out[1] = last_exposure[1];
}

bool matchExposure(unsigned a, unsigned b, double factor, unsigned* out) {
    if (a == 0 || b == 0) return false;
    double E = static_cast<double>(a > b ? a : b);
    double e = static_cast<double>(a > b ? b : a);
    double r = E / e;
    double p = std::pow(e, r);
    double x = std::pow(E * p, 1.0 / (r + 1.0));
    if (!std::isfinite(x)) {
        // e^r overflows for lenses far apart: same mean through logarithms
        x = std::exp((std::log(E) + r * std::log(e)) / (r + 1.0));
    }
    double v = x * factor;
    if (std::isnan(v)) return false;
    const double top = static_cast<double>(std::numeric_limits<uint32_t>::max());
    if (v < 0.0) v = 0.0;
    if (v > top) v = top;
    *out = static_cast<unsigned>(v);
    return true;
}

void matchWhiteBalance(const unsigned short* a, const unsigned short* b, const unsigned* ratio, unsigned short* out) {
    for (int c = 0; c < 3; ++c) {
        unsigned m = (static_cast<unsigned>(a[c]) + b[c]) >> 1;
        float g = static_cast<float>(m) * static_cast<float>(ratio[c]) / 100.0f;
        if (!(g < 65535.0f)) g = 65535.0f;
        out[c] = static_cast<unsigned short>(static_cast<unsigned>(g));
    }
}

void consistExposure(std::vector<V4L2Camera>& cameras, double factor) {
    if (cameras.size() != 2 || !cameras[0].isAutoExposure() || !cameras[1].isAutoExposure()) return;
    unsigned read[2] = {0, 0};
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        if (cameras[i].readExposure(&read[i]) == 0)
            last_exposure[i] = read[i];
        else
            ok = false;
    }
    unsigned v;
    // a failed or zero read gives no common exposure this round
    if (!ok || !matchExposure(read[0], read[1], factor, &v)) return;
    cameras[0].setExposure(v);
    cameras[1].setExposure(v);
}

void consistWhiteBalance(std::vector<V4L2Camera>& cameras) {
    if (cameras.size() != 2 || !cameras[0].isAutoWhiteBalance() || !cameras[1].isAutoWhiteBalance()) return;
    unsigned short a[3] = {0, 0, 0};
    unsigned short b[3] = {0, 0, 0};
    // gains that were not read are never written back
    if (cameras[0].readRGB(a) != 0 || cameras[1].readRGB(b) != 0) return;
    unsigned short out[3];
    matchWhiteBalance(a, b, rgb_ratio, out);
    cameras[0].setRGB(out);
    cameras[1].setRGB(out);
}

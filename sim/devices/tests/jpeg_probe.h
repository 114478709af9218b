// Decodes a frame for the lens tests: size, subsampling and mean colour.
#pragma once

#include <turbojpeg.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcamtest {

struct Probe {
    bool ok = false;
    int width = 0, height = 0, subsamp = -1;
    double r = 0, g = 0, b = 0;  // channel means
    double luma() const { return (r + g + b) / 3; }
};

inline Probe probe(const uint8_t* data, size_t size) {
    Probe p;
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    if (tj && tjDecompressHeader3(tj, data, static_cast<unsigned long>(size), &w, &h, &sub, &cs) == 0) {
        std::vector<uint8_t> rgb(size_t(w) * h * 3);
        if (tjDecompress2(tj, data, static_cast<unsigned long>(size), rgb.data(), w, 0, h, TJPF_RGB, TJFLAG_FASTDCT) ==
            0) {
            double s[3] = {0, 0, 0};
            for (size_t i = 0; i < rgb.size(); i += 3)
                for (int c = 0; c < 3; ++c) s[c] += rgb[i + c];
            double n = double(w) * h;
            p.ok = true;
            p.width = w;
            p.height = h;
            p.subsamp = sub;
            p.r = s[0] / n;
            p.g = s[1] / n;
            p.b = s[2] / n;
        }
    }
    if (tj) tjDestroy(tj);
    return p;
}

}  // namespace vcamtest

#include "lens_frames.h"

#include <climits>
#include <cstdlib>
#include <memory>

#include <glog/logging.h>
#include <turbojpeg.h>

#include "auto_exposure.h"
#include "tj_handle.h"

std::vector<Frame> lastFrames(std::vector<V4L2Camera>& cameras) {
    std::vector<Frame> frames;
    frames.reserve(cameras.size());
    for (auto& camera : cameras)
        frames.push_back(
            {reinterpret_cast<const unsigned char*>(camera.data()), static_cast<unsigned long>(camera.size())});
    return frames;
}

void settleCameras(std::vector<V4L2Camera>& cameras, int rounds) {
    for (int round = 0; round < rounds; ++round) {
        for (auto& camera : cameras) camera.readFrame();
        consistExposure(cameras, 1.0);
        consistWhiteBalance(cameras);
    }
}

int argumentNumber(const char* text) {
    long v = strtol(text, nullptr, 10);
    return v < INT_MIN || v > INT_MAX ? -1 : static_cast<int>(v);
}

bool joinedImageSize(int n, int width, int height, bool stacked, int* image_width, int* image_height) {
    if (n < 1 || width <= 0 || height <= 0) return false;
    long long w = width, h = height;
    long long image_w = stacked ? w : w * n;
    long long image_h = stacked ? h * n : h;
    if (image_w * 3 > INT_MAX || image_h > INT_MAX || image_w * image_h * 3 > INT_MAX) return false;
    *image_width = static_cast<int>(image_w);
    *image_height = static_cast<int>(image_h);
    return true;
}

bool decodeFrames(const std::vector<Frame>& frames, int width, int height, const std::vector<unsigned char*>& out,
                  int pitch) {
    if (out.size() < frames.size()) return false;
    TjHandle handle(tjInitDecompress());
    if (!handle) return false;
    for (size_t i = 0; i < frames.size(); ++i) {
        int w = 0, h = 0, subsamp = 0, colorspace = 0;
        if (tjDecompressHeader3(handle.get(), frames[i].data, frames[i].size, &w, &h, &subsamp, &colorspace) != 0)
            return false;
        if (w != width || h != height) {
            LOG(ERROR) << "lens " << i << " frame is " << w << "x" << h << ", not " << width << "x" << height;
            return false;
        }
        if (tjDecompress2(handle.get(), frames[i].data, frames[i].size, out[i], width, pitch, height, TJPF_RGB,
                          TJFLAG_FASTDCT) != 0)
            return false;
    }
    return true;
}

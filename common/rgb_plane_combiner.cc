#include "common/rgb_plane_combiner.h"

#include <cstring>
#include <stdexcept>

#include <glog/logging.h>

namespace {

// N * width * height * 3 bytes, refused when a size is negative or the
// product does not fit the machine's sizes (32 bits on the board): every
// offset the parts are placed at is below it.
size_t combinedSize(int width, int height, int part_num) {
    size_t n = 0;
    if (width < 0 || height < 0 || part_num < 0 ||
        __builtin_mul_overflow(static_cast<size_t>(part_num), static_cast<size_t>(width), &n) ||
        __builtin_mul_overflow(n, static_cast<size_t>(height), &n) || __builtin_mul_overflow(n, size_t{3}, &n) ||
        n > std::vector<uint8_t>().max_size())
        throw std::length_error("RGBPlaneCombiner: frame sizes out of range");
    return n;
}

}  // namespace

RGBPlaneCombiner::RGBPlaneCombiner(int width, int height, int part_num, bool vertical)
    : buffer_(combinedSize(width, height, part_num)),
      width_(width),
      height_(height),
      vertical_(vertical),
      part_num_(part_num) {}

void RGBPlaneCombiner::AddPart(const uint8_t* part, int index) {
    CHECK(index >= 0);
    CHECK(index < part_num_);
    if (vertical_)
        AddVerticalPart(part, index);
    else
        AddHorizontalPart(part, index);
}

void RGBPlaneCombiner::AddVerticalPart(const uint8_t* part, int index) {
    size_t part_size = static_cast<size_t>(width_) * height_ * 3;
    memcpy(buffer_.data() + part_size * index, part, part_size);
}

void RGBPlaneCombiner::AddHorizontalPart(const uint8_t* part, int index) {
    size_t row = static_cast<size_t>(width_) * 3;
    for (int y = 0; y < height_; ++y) {
        size_t dst = (static_cast<size_t>(part_num_) * width_ * y + static_cast<size_t>(width_) * index) * 3;
        memcpy(buffer_.data() + dst, part + row * y, row);
    }
}

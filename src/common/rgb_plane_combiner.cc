#include "common/rgb_plane_combiner.h"

#include <cstring>

#include <glog/logging.h>

RGBPlaneCombiner::RGBPlaneCombiner(int width, int height, int part_num, bool vertical)
    : buffer_(static_cast<size_t>(part_num) * width * height * 3),
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

// Joins equally sized packed RGB frames into one buffer, stacked or side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class RGBPlaneCombiner {
public:
    // Throws std::length_error for a negative size or a buffer larger than
    // the machine can address.
    RGBPlaneCombiner(int width, int height, int part_num, bool vertical);

    // Places part index by the layout given at construction.
    void AddPart(const uint8_t* part, int index);
    // Part index stacked top to bottom.
    void AddVerticalPart(const uint8_t* part, int index);
    // Part index side by side.
    void AddHorizontalPart(const uint8_t* part, int index);

    const uint8_t* data() const { return buffer_.data(); }
    size_t size() const { return buffer_.size(); }

private:
    std::vector<uint8_t> buffer_;
    int width_;
    int height_;
    bool vertical_;
    int part_num_;
};

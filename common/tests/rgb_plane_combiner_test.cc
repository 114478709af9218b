#include <climits>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "common/rgb_plane_combiner.h"

namespace {

std::vector<uint8_t> part(int size, uint8_t start) {
    std::vector<uint8_t> p(size);
    for (int i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(start + i);
    return p;
}

TEST(RGBPlaneCombiner, VerticalStacksParts) {
    RGBPlaneCombiner c(2, 1, 2, true);
    auto a = part(6, 0), b = part(6, 100);
    c.AddPart(a.data(), 0);
    c.AddPart(b.data(), 1);
    std::vector<uint8_t> want = a;
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(std::vector<uint8_t>(c.data(), c.data() + c.size()), want);
}

TEST(RGBPlaneCombiner, HorizontalInterleavesRows) {
    RGBPlaneCombiner c(2, 2, 2, false);
    auto a = part(12, 0), b = part(12, 100);
    c.AddPart(a.data(), 0);
    c.AddPart(b.data(), 1);
    ASSERT_EQ(c.size(), 24u);
    EXPECT_EQ(0, memcmp(c.data(), a.data(), 6));
    EXPECT_EQ(0, memcmp(c.data() + 6, b.data(), 6));
    EXPECT_EQ(0, memcmp(c.data() + 12, a.data() + 6, 6));
    EXPECT_EQ(0, memcmp(c.data() + 18, b.data() + 6, 6));
}

TEST(RGBPlaneCombiner, NonSquarePartAndExplicitLayouts) {
    RGBPlaneCombiner c(3, 2, 2, false);
    auto p = part(18, 7);
    c.AddVerticalPart(p.data(), 1);
    EXPECT_EQ(0, memcmp(c.data() + 18, p.data(), 18));
}

TEST(RGBPlaneCombiner, SizesThatCannotBeAddressedAreRefused) {
    EXPECT_THROW(RGBPlaneCombiner(-1, 2, 2, false), std::length_error);
    EXPECT_THROW(RGBPlaneCombiner(2, 2, -2, true), std::length_error);
    EXPECT_THROW(RGBPlaneCombiner(INT_MAX, INT_MAX, INT_MAX, false), std::length_error);
    if (sizeof(size_t) == 4) {
        // 9.6 GB: wraps to a small buffer in 32 bits, which the parts overrun.
        EXPECT_THROW(RGBPlaneCombiner(40000, 40000, 2, false), std::length_error);
    }
    // The camera's own largest join still fits: four 2048 x 2048 lenses.
    RGBPlaneCombiner c(2048, 2048, 4, false);
    EXPECT_EQ(c.size(), size_t{4} * 2048 * 2048 * 3);
    RGBPlaneCombiner empty(0, 5, 2, true);
    EXPECT_EQ(empty.size(), 0u);
}

TEST(RGBPlaneCombinerDeath, IndexBoundsAreChecked) {
    RGBPlaneCombiner c(1, 1, 2, true);
    auto p = part(3, 0);
    EXPECT_DEATH(c.AddPart(p.data(), 2), "index < part_num_");
    EXPECT_DEATH(c.AddPart(p.data(), -1), "index >= 0");
}

}  // namespace

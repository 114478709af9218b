#include "offset/update_offset.h"

#include <gtest/gtest.h>

#include <string>

#include "expect_offset_error.h"

namespace {

// Two lenses, 2880 x 1440; lens 1 at x 700, y 20, yaw 10, pitch 20.
OffsetParam offsetV1() { return OffsetParam("2_715_1000_30_1_2_3_720_700_20_10_20_5_2880_1440_256"); }

// The origin it was measured against.
OffsetParam originV1() { return OffsetParam("2_705_990_25_0.5_1_2_710_100_5_4_3_2_2880_1440_256"); }

TEST(OffsetUpdater, ConvertsVersionOneWithTheFixedCorrections) {
    OffsetParam offset = offsetV1();
    OffsetParam origin = originV1();
    OffsetUpdater updater(offset, origin);
    EXPECT_EQ(1, updater.update());

    EXPECT_EQ(2, offset.version_);
    EXPECT_EQ(0, offset.lens_version_);
    const LensParam& l1 = offset.lenses_[1];
    EXPECT_EQ(3621.5, l1.x);  // 2880 + (1440 - 700) + 1.5
    EXPECT_DOUBLE_EQ(1424.2, l1.y);
    EXPECT_EQ((1440.0 - 20.0) + 4.2, l1.y);  // the same operations in the same order
    EXPECT_EQ(190.0, l1.yaw);
    EXPECT_EQ(-200.0, l1.pitch);
    EXPECT_EQ(720.0, l1.r);
    EXPECT_EQ(5.0, l1.roll);
    // Lens 0 stays.
    EXPECT_EQ("2_715_1000_30_1_2_3_720_3621.5_1424.2_190_-200_5_2880_1440_512", offset.toString());

    // origin = offset - diff, where diff's lens 1 is mirrored without the corrections:
    // diff x = 2880 + (1440 - 600) = 3720, y = 1440 - 15, yaw 6, pitch 17.
    EXPECT_EQ(2, origin.version_);
    EXPECT_EQ(2, origin.camera_num_);
    EXPECT_EQ(2880, origin.width_);
    EXPECT_EQ(1440, origin.height_);
    const LensParam& o1 = origin.lenses_[1];
    EXPECT_EQ(3621.5 - 3720.0, o1.x);
    EXPECT_EQ(((1440.0 - 20.0) + 4.2) - (1440.0 - 15.0), o1.y);
    EXPECT_EQ(190.0 - 6.0, o1.yaw);
    EXPECT_EQ(-200.0 - 17.0, o1.pitch);
    EXPECT_EQ(710.0, o1.r);
    EXPECT_EQ(2.0, o1.roll);
    const LensParam& o0 = origin.lenses_[0];
    EXPECT_EQ(705.0, o0.r);
    EXPECT_EQ(990.0, o0.x);
    EXPECT_EQ(0.5, o0.yaw);
}

TEST(OffsetUpdater, OddWidthHalvesByIntegerDivision) {
    OffsetParam offset("2_0_0_0_0_0_0_0_700_20_0_0_0_2881_1441_256");
    OffsetParam origin("2_0_0_0_0_0_0_0_0_0_0_0_0_2881_1441_256");
    OffsetUpdater updater(offset, origin);
    EXPECT_EQ(1, updater.update());
    EXPECT_EQ(2881.0 + (1440.0 - 700.0) + 1.5, offset.lenses_[1].x);
    EXPECT_EQ((1441.0 - 20.0) + 4.2, offset.lenses_[1].y);
}

TEST(OffsetUpdater, AlreadyMirroredIsOnlyRelabelled) {
    OffsetParam offset("2_1_2_3_4_5_6_700_1000_20_120_-150_5_2880_1440_256");
    OffsetParam origin = originV1();
    OffsetUpdater updater(offset, origin);
    EXPECT_EQ(1, updater.update());
    EXPECT_EQ(2, offset.version_);
    EXPECT_EQ(2, origin.version_);
    EXPECT_EQ("2_1_2_3_4_5_6_700_1000_20_120_-150_5_2880_1440_512", offset.toString());
    EXPECT_EQ("2_705_990_25_0.5_1_2_710_100_5_4_3_2_2880_1440_512", origin.toString());
}

TEST(OffsetUpdater, MirroredTestIsStrict) {
    // yaw exactly 100 or pitch exactly -100 is not mirrored yet.
    for (const char* text :
         {"2_0_0_0_0_0_0_700_700_20_100_-150_5_2880_1440_256", "2_0_0_0_0_0_0_700_700_20_120_-100_5_2880_1440_256"}) {
        SCOPED_TRACE(text);
        OffsetParam offset(text);
        OffsetParam origin("2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_256");
        OffsetUpdater updater(offset, origin);
        EXPECT_EQ(1, updater.update());
        EXPECT_EQ(3621.5, offset.lenses_[1].x);
        EXPECT_GT(offset.lenses_[1].yaw, 270.0);  // turned by 180
    }
}

TEST(OffsetUpdater, LaterVersionsAreLeftAlone) {
    for (const char* last : {"512", "513", "768"}) {
        SCOPED_TRACE(last);
        OffsetParam offset(std::string("2_1_2_3_4_5_6_7_8_9_10_11_12_2880_1440_") + last);
        OffsetParam origin(std::string("2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_") + last);
        const std::string before = offset.toString();
        const std::string origin_before = origin.toString();
        OffsetUpdater updater(offset, origin);
        EXPECT_EQ(1, updater.update());
        EXPECT_EQ(before, offset.toString());
        EXPECT_EQ(origin_before, origin.toString());
    }
}

TEST(OffsetUpdater, NotConvertibleGivesZeroAndChangesNothing) {
    struct Case {
        const char* offset;
        const char* origin;
    } cases[] = {
        // version 0: no version token
        {"2_1_2_3_4_5_6_7_700_9_10_11_12_2880_1440", "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440"},
        // one lens
        {"1_1_2_3_4_5_6_2880_1440_256", "1_0_0_0_0_0_0_2880_1440_256"},
        // an origin with one lens
        {"2_1_2_3_4_5_6_7_700_9_10_11_12_2880_1440_256", "1_0_0_0_0_0_0_2880_1440_256"},
        // three lenses
        {"3_1_2_3_4_5_6_7_8_9_10_11_12_1_2_3_4_5_6_2880_1440_256",
         "3_0_0_0_0_0_0_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_256"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        OffsetParam offset(c.offset);
        OffsetParam origin(c.origin);
        const std::string before = offset.toString();
        const std::string origin_before = origin.toString();
        OffsetUpdater updater(offset, origin);
        EXPECT_EQ(0, updater.update());
        EXPECT_EQ(before, offset.toString());
        EXPECT_EQ(origin_before, origin.toString());
    }
}

TEST(OffsetUpdater, VersionsOfOffsetAndOriginMustMatch) {
    OffsetParam offset = offsetV1();
    OffsetParam origin("2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_512");
    expectOffsetError([&] { OffsetUpdater updater(offset, origin); }, "offset and origin mismatch");
}

TEST(OffsetUpdater, MismatchedSizesStopTheConversionUntouched) {
    for (const char* origin_text : {"2_0_0_0_0_0_0_0_0_0_0_0_0_1440_1440_256", "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_720_256",
                                    "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_257"}) {
        SCOPED_TRACE(origin_text);
        OffsetParam offset = offsetV1();
        OffsetParam origin(origin_text);
        const std::string before = offset.toString();
        OffsetUpdater updater(offset, origin);
        expectOffsetError([&] { updater.update(); }, "lhs and rhs version mismatch");
        EXPECT_EQ(before, offset.toString());
        EXPECT_EQ(OffsetParam(origin_text).toString(), origin.toString());
    }
}

TEST(OffsetUpdater, UpdateVersion1SkipsTheVersionTestAndKeepsTheOrigin) {
    OffsetParam offset("2_1_2_3_4_5_6_7_700_20_10_20_12_2880_1440");  // version 0
    OffsetParam origin("2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440");
    const std::string origin_before = origin.toString();
    OffsetUpdater updater(offset, origin);
    EXPECT_EQ(1, updater.updateVersion1());
    EXPECT_EQ(3621.5, offset.lenses_[1].x);
    EXPECT_EQ(2, offset.version_);
    EXPECT_EQ(origin_before, origin.toString());

    OffsetParam one("1_1_2_3_4_5_6_2880_1440_256");
    OffsetParam one_origin("1_0_0_0_0_0_0_2880_1440_256");
    OffsetUpdater single(one, one_origin);
    EXPECT_EQ(0, single.updateVersion1());
    EXPECT_EQ(1, one.version_);
}

}  // namespace

#include "offset/offset_param.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "expect_offset_error.h"

namespace {

const char* kZeroText = "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_0";

void expectInvalid(const std::string& text) {
    SCOPED_TRACE("text \"" + text + "\"");
    expectOffsetError([&] { OffsetParam p(text); }, "invalid offset");
}

OffsetParam twoLens(double base, uint8_t version = 1, uint8_t lens_version = 0) {
    OffsetParam p;
    p.camera_num_ = 2;
    p.width_ = 2880;
    p.height_ = 1440;
    p.version_ = version;
    p.lens_version_ = lens_version;
    for (int i = 0; i < 2; ++i) {
        double b = base + 10 * i;
        p.lenses_.push_back({b + 1, b + 2, b + 3, b + 4, b + 5, b + 6});
    }
    return p;
}

TEST(OffsetParamParse, ExampleTextAndVersionZeroBecomesOne) {
    OffsetParam p(kZeroText);
    EXPECT_EQ(2, p.camera_num_);
    ASSERT_EQ(2u, p.lenses_.size());
    EXPECT_EQ(0.0, p.lenses_[1].roll);
    EXPECT_EQ(2880, p.width_);
    EXPECT_EQ(1440, p.height_);
    EXPECT_EQ(1, p.version_);
    EXPECT_EQ(0, p.lens_version_);
    EXPECT_EQ("2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_256", p.toString());
}

TEST(OffsetParamParse, LensValuesInOrder) {
    OffsetParam p("2_700.5_1.25_-3_4e2_5_6_11_12_13_14_15_16_2880_1440_512");
    ASSERT_EQ(2u, p.lenses_.size());
    const LensParam& a = p.lenses_[0];
    EXPECT_EQ(700.5, a.r);
    EXPECT_EQ(1.25, a.x);
    EXPECT_EQ(-3.0, a.y);
    EXPECT_EQ(400.0, a.yaw);
    EXPECT_EQ(5.0, a.pitch);
    EXPECT_EQ(6.0, a.roll);
    const LensParam& b = p.lenses_[1];
    EXPECT_EQ(11.0, b.r);
    EXPECT_EQ(16.0, b.roll);
    EXPECT_EQ(2, p.version_);
    EXPECT_EQ(0, p.lens_version_);
}

TEST(OffsetParamParse, WithoutVersionNumberBothVersionsStayZero) {
    OffsetParam p("2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440");
    EXPECT_EQ(0, p.version_);
    EXPECT_EQ(0, p.lens_version_);
    EXPECT_EQ(kZeroText, p.toString());
    // A trailing "_" adds no empty part, so there is still no version.
    OffsetParam q("0_1440_720_");
    EXPECT_EQ(0, q.version_);
}

TEST(OffsetParamParse, VersionNumberRules) {
    struct Case {
        const char* last;
        int version;
        int lens_version;
    } cases[] = {
        {"513", 2, 1},    {"1", 1, 1},         {"0", 1, 0},     {"256", 1, 0},
        {"255", 1, 255},  {"65535", 255, 255}, {"65536", 1, 0},  // only the low 16 bits count
        {"0\n", 1, 0},                                           // a tool's line end after the number
        {"770abc", 3, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.last);
        OffsetParam p(std::string("0_1440_720_") + c.last);
        EXPECT_EQ(c.version, p.version_);
        EXPECT_EQ(c.lens_version, p.lens_version_);
    }
}

TEST(OffsetParamParse, NoLenses) {
    OffsetParam p("0_1440_720");
    EXPECT_EQ(0, p.camera_num_);
    EXPECT_TRUE(p.lenses_.empty());
    EXPECT_EQ(1440, p.width_);
    EXPECT_EQ(720, p.height_);
    EXPECT_EQ("0_1440_720_0", p.toString());

    OffsetParam negative("-3_1440_720_1");
    EXPECT_EQ(-3, negative.camera_num_);
    EXPECT_TRUE(negative.lenses_.empty());
    EXPECT_EQ(1440, negative.width_);
}

TEST(OffsetParamParse, NumberRulesOfTheStandardLibrary) {
    // Leading blanks skipped, trailing text ignored, parts after the version ignored.
    OffsetParam p(" 1_ 2.5x_3_4_5_6_7_ 640px_480_256_junk_more");
    EXPECT_EQ(1, p.camera_num_);
    EXPECT_EQ(2.5, p.lenses_[0].r);
    EXPECT_EQ(640, p.width_);
    EXPECT_EQ(480, p.height_);
    EXPECT_EQ("1_2.5_3_4_5_6_7_640_480_256", p.toString());
}

TEST(OffsetParamParse, InvalidTexts) {
    expectInvalid("");
    expectInvalid("2_0_0_0");
    expectInvalid("x_1440_720");
    expectInvalid("0_1440");
    expectInvalid("0__720");                      // empty part
    expectInvalid("0_1440_720_v2");               // version no number
    expectInvalid("1_0_0_0_0_zero_0_1440_720");   // lens value no number
    expectInvalid("1_0_0_0_0_0_1e999_1440_720");  // double out of range
    expectInvalid("99999999999_1440_720");        // int out of range
    expectInvalid("0_1440_720_99999999999");
    expectInvalid("2_0_0_0_0_0_0_0_0_0_0_0_2880_1440");  // one value short
    expectInvalid("2000000000_1_2_3");                   // count larger than the text
    expectInvalid("_");
    // NaN is no number, an infinity no finite value; the largest finite
    // values are read.
    for (const char* v : {"nan", "NAN", "-nan", "nan(1)", "inf", "-inf", "Infinity", "infx"})
        expectInvalid(std::string("1_0_0_") + v + "_0_0_0_1440_720");
    EXPECT_EQ(OffsetParam("1_1e308_0_0_0_0_-1.7e308_1440_720").lenses_[0].roll, -1.7e308);
}

TEST(OffsetParamArithmetic, SumsThatOverflowAreNotFinite) {
    OffsetParam a("1_1e308_0_0_0_0_0_1440_720_256");
    EXPECT_TRUE(a.isFinite());
    a += a;
    EXPECT_FALSE(a.isFinite());
    EXPECT_TRUE(OffsetParam("0_1440_720").isFinite());
}

TEST(OffsetParamText, DefaultStreamNumberFormat) {
    OffsetParam p("1_1259.9212_0.5_1000000_-3.5_1e-07_100_2880_1440_513");
    EXPECT_EQ("1_1259.92_0.5_1e+06_-3.5_1e-07_100_2880_1440_513", p.toString());
    LensParam lens{3621.5, 1424.2, 180, -330, 0.1234567, -0.0001};
    std::ostringstream out;
    out << lens;
    EXPECT_EQ("r 3621.5 x 1424.2 y 180 yaw -330 pitch 0.123457 roll -0.0001", out.str());
}

TEST(OffsetParamText, LogForm) {
    OffsetParam p("1_1_2_3_4_5_6_2880_1440_513");
    std::ostringstream out;
    out << p;
    EXPECT_EQ("1_1_2_3_4_5_6_2880_1440_513 version:2 lens_version:1", out.str());
}

TEST(OffsetParamText, TextFormRoundTrip) {
    OffsetParam p = twoLens(0.25, 2, 7);
    OffsetParam q(p.toString());
    EXPECT_EQ(p.toString(), q.toString());
    EXPECT_EQ(2, q.version_);
    EXPECT_EQ(7, q.lens_version_);
    EXPECT_EQ(p.lenses_[1].pitch, q.lenses_[1].pitch);
}

TEST(OffsetParamArithmetic, AddTakesTheRightSidesVersions) {
    OffsetParam a = twoLens(0, 1, 0);
    a.width_ = 1440;
    OffsetParam b = twoLens(100, 3, 4);
    a += b;
    EXPECT_EQ(3, a.version_);
    EXPECT_EQ(4, a.lens_version_);
    EXPECT_EQ(1440, a.width_);  // count and size stay the left side's
    EXPECT_EQ(2, a.camera_num_);
    EXPECT_EQ(1 + 101.0, a.lenses_[0].r);
    EXPECT_EQ(16 + 116.0, a.lenses_[1].roll);
    EXPECT_EQ(12 + 112.0, a.lenses_[1].x);
}

TEST(OffsetParamArithmetic, AddWithFewerLensesOnTheRightIsRefused) {
    OffsetParam a = twoLens(0);
    OffsetParam b("1_1_1_1_1_1_1_2880_1440_512");
    const std::string before = a.toString();
    expectOffsetError([&] { a += b; }, "invalid offset");
    EXPECT_EQ(before, a.toString());
    // More lenses on the right are fine: only the left side's count is added.
    OffsetParam c("1_1_1_1_1_1_1_2880_1440_512");
    c += a;
    EXPECT_EQ("1_2_3_4_5_6_7_2880_1440_256", c.toString());
}

TEST(OffsetParamArithmetic, MeanOfFiveOffsets) {
    OffsetParam sum("2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_0");
    const double rs[5] = {700, 702, 698, 701, 704};
    for (int k = 0; k < 5; ++k) {
        OffsetParam m = twoLens(k);
        m.lenses_[0].r = rs[k];
        sum += m;
    }
    sum /= 5;
    EXPECT_DOUBLE_EQ(701.0, sum.lenses_[0].r);
    EXPECT_DOUBLE_EQ(2 + 2.0, sum.lenses_[0].x);      // mean of 2..6
    EXPECT_DOUBLE_EQ(16 + 2.0, sum.lenses_[1].roll);  // mean of 16..20
    EXPECT_EQ(2880, sum.width_);
}

TEST(OffsetParamArithmetic, DivideByZeroIsRefused) {
    OffsetParam a = twoLens(1);
    expectOffsetError([&] { a /= 0; }, "invalid offset");
    EXPECT_EQ(2.0, a.lenses_[0].r);
    a /= -2;
    EXPECT_EQ(-1.0, a.lenses_[0].r);
}

TEST(OffsetParamArithmetic, Difference) {
    OffsetParam a = twoLens(100, 1, 3);
    OffsetParam b = twoLens(1, 1, 3);
    OffsetParam d = a - b;
    for (const LensParam& lens : d.lenses_) {
        EXPECT_EQ(99.0, lens.r);
        EXPECT_EQ(99.0, lens.roll);
    }
    EXPECT_EQ(2880, d.width_);
    EXPECT_EQ(3, d.lens_version_);
}

TEST(OffsetParamArithmetic, DifferenceRefusesMismatches) {
    const OffsetParam a = twoLens(5);
    auto mismatch = [&](OffsetParam b) { expectOffsetError([&] { (void)(a - b); }, "lhs and rhs version mismatch"); };
    OffsetParam b = twoLens(1);
    b.version_ = 2;
    mismatch(b);
    b = twoLens(1);
    b.lens_version_ = 1;
    mismatch(b);
    b = twoLens(1);
    b.width_ = 2881;
    mismatch(b);
    b = twoLens(1);
    b.height_ = 720;
    mismatch(b);
    mismatch(OffsetParam("1_1_1_1_1_1_1_2880_1440_256"));
}

TEST(OffsetErrorTest, IsARuntimeError) {
    try {
        throw OffsetError("offset and origin mismatch");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("offset and origin mismatch", e.what());
    }
}

TEST(Base64, EncodesWithPadding) {
    EXPECT_EQ("", base64Encode(""));
    EXPECT_EQ("Ml8w", base64Encode("2_0"));
    EXPECT_EQ("Zg==", base64Encode("f"));
    EXPECT_EQ("Zm8=", base64Encode("fo"));
    EXPECT_EQ("Zm9v", base64Encode("foo"));
    EXPECT_EQ("Zm9vYg==", base64Encode("foob"));
    EXPECT_EQ("Zm9vYmE=", base64Encode("fooba"));
    EXPECT_EQ("Zm9vYmFy", base64Encode("foobar"));
    EXPECT_EQ("+/8=", base64Encode(std::string("\xfb\xff", 2)));
    EXPECT_EQ("MF8xNDQwXzcyMF8w", base64Encode("0_1440_720_0"));
}

TEST(Base64, RoundTripOfEveryByteAndOffsetText) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t n = 0; n <= all.size(); n += 1) {
        std::string part = all.substr(0, n);
        std::string enc = base64Encode(part);
        ASSERT_EQ(0u, enc.size() % 4);
        ASSERT_EQ(part, base64Decode(enc)) << "length " << n;
    }
    OffsetParam p(kZeroText);
    EXPECT_EQ(p.toString(), OffsetParam(base64Decode(base64Encode(p.toString()))).toString());
}

TEST(Base64, LenientDecoder) {
    EXPECT_EQ("", base64Decode(""));
    EXPECT_EQ("foob", base64Decode("Zm9vYg"));  // closing "=" missing
    EXPECT_EQ("fooba", base64Decode("Zm9vYmE"));
    EXPECT_EQ("f", base64Decode("Zg="));
    EXPECT_EQ("foo", base64Decode("Zm9vY"));       // one leftover character gives nothing
    EXPECT_EQ("f", base64Decode("Zg==Zm9v"));      // everything after "=" ignored
    EXPECT_EQ("foo", base64Decode("Zm9v\nYmFy"));  // stops at a line break
    EXPECT_EQ("foo", base64Decode("Zm9v YmFy"));
    EXPECT_EQ("foo", base64Decode("Zm9v-YmFy"));  // URL-safe letters are not in the alphabet
    EXPECT_EQ("foo", base64Decode("Zm9v\xc3\xa9YmFy"));
    EXPECT_EQ("", base64Decode("=Zm9v"));
    EXPECT_EQ(std::string("\xfb\xff", 2), base64Decode("+/8"));
}

}  // namespace

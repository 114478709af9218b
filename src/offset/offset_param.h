// Lens offsets: where each lens image lies in the joined panorama, with the
// frame size and format version they refer to. Stored in "/etc/offset.conf"
// as "origin" (plain text form) and "defaultOffset" (base64 of the text form).
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

// An offset text that does not parse, or two offsets that cannot be combined.
class OffsetError : public std::runtime_error {
public:
    explicit OffsetError(const std::string& what);
    ~OffsetError() override;
};

// One lens: radius, centre and three angles.
struct LensParam {
    double r = 0.0;
    double x = 0.0;
    double y = 0.0;
    double yaw = 0.0;
    double pitch = 0.0;
    double roll = 0.0;
};

// The offsets of every lens, plus frame size and versions.
//
// Text form: camera count, six values per lens, width, height and
// version * 256 + lens version, joined by "_", e.g.
// "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_256".
class OffsetParam {
public:
    OffsetParam() = default;
    // Parses the text form; throws OffsetError("invalid offset"), also for
    // a lens value that is NaN or infinite.
    explicit OffsetParam(const std::string& text);

    // The text form, always with the version number.
    std::string toString() const;

    // Adds lens by lens over this offset's lenses and takes other's versions.
    // Throws OffsetError("invalid offset") when other has fewer lenses.
    OffsetParam& operator+=(const OffsetParam& other);
    // Divides every lens value by n; throws OffsetError("invalid offset") for 0.
    OffsetParam& operator/=(int n);

    // True when no lens value is NaN or infinite (sums of large values can
    // overflow).
    bool isFinite() const;

    int32_t camera_num_ = 0;
    std::vector<LensParam> lenses_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    uint8_t version_ = 0;
    uint8_t lens_version_ = 0;
};

// Lens-by-lens difference; versions, lens count and frame size must match,
// else OffsetError("lhs and rhs version mismatch").
OffsetParam operator-(const OffsetParam& lhs, const OffsetParam& rhs);

// Log forms.
std::ostream& operator<<(std::ostream& os, const OffsetParam& param);
std::ostream& operator<<(std::ostream& os, const LensParam& lens);

// Standard base64 ("A-Za-z0-9+/", "=" padding, no line breaks).
std::string base64Encode(const std::string& text);

// Lenient base64 decoding: stops at the end, at the first "=" or at the first
// character outside the alphabet; a last group without its "=" padding still
// gives its bytes, a single leftover character gives none.
std::string base64Decode(const std::string& text);

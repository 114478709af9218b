#include "offset/offset_param.h"

#include <cmath>
#include <locale>
#include <sstream>

OffsetError::OffsetError(const std::string& what) : std::runtime_error(what) {}

OffsetError::~OffsetError() = default;

namespace {

constexpr const char* kInvalid = "invalid offset";

std::vector<std::string> splitParts(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, '_')) parts.push_back(part);
    return parts;
}

const std::string& partAt(const std::vector<std::string>& parts, size_t index) {
    if (index >= parts.size()) throw OffsetError(kInvalid);
    return parts[index];
}

int readInt(const std::vector<std::string>& parts, size_t index) {
    try {
        return std::stoi(partAt(parts, index));
    } catch (const std::logic_error&) {  // invalid_argument, out_of_range
        throw OffsetError(kInvalid);
    }
}

// NaN is no number and an infinity is out of range: neither is an offset.
double readDouble(const std::vector<std::string>& parts, size_t index) {
    double v;
    try {
        v = std::stod(partAt(parts, index));
    } catch (const std::logic_error&) {
        throw OffsetError(kInvalid);
    }
    if (!std::isfinite(v)) throw OffsetError(kInvalid);
    return v;
}

template <typename F>
void forEachValue(LensParam& lens, F f) {
    f(lens.r);
    f(lens.x);
    f(lens.y);
    f(lens.yaw);
    f(lens.pitch);
    f(lens.roll);
}

}  // namespace

OffsetParam::OffsetParam(const std::string& text) {
    const std::vector<std::string> parts = splitParts(text);
    camera_num_ = readInt(parts, 0);
    size_t n = camera_num_ > 0 ? static_cast<size_t>(camera_num_) : 0;
    size_t at = 1;
    for (size_t i = 0; i < n; ++i) {
        // A count larger than the text holds runs out of parts here, before
        // anything is allocated for lenses that do not exist.
        LensParam lens;
        forEachValue(lens, [&](double& v) { v = readDouble(parts, at++); });
        lenses_.push_back(lens);
    }
    width_ = readInt(parts, at++);
    height_ = readInt(parts, at++);
    if (at < parts.size()) {
        int v = readInt(parts, at);
        lens_version_ = static_cast<uint8_t>(v & 0xFF);
        version_ = static_cast<uint8_t>((v >> 8) & 0xFF);
        if (version_ == 0) version_ = 1;
    }
}

std::string OffsetParam::toString() const {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << camera_num_;
    for (const LensParam& lens : lenses_) {
        out << '_' << lens.r << '_' << lens.x << '_' << lens.y << '_' << lens.yaw << '_' << lens.pitch << '_'
            << lens.roll;
    }
    out << '_' << width_ << '_' << height_ << '_' << ((static_cast<int>(version_) << 8) | lens_version_);
    return out.str();
}

OffsetParam& OffsetParam::operator+=(const OffsetParam& other) {
    size_t n = camera_num_ > 0 ? static_cast<size_t>(camera_num_) : 0;
    // Check first, so a short right side leaves this offset untouched.
    if (n > lenses_.size() || n > other.lenses_.size()) throw OffsetError(kInvalid);
    for (size_t i = 0; i < n; ++i) {
        const LensParam& o = other.lenses_[i];
        LensParam& l = lenses_[i];
        l.r += o.r;
        l.x += o.x;
        l.y += o.y;
        l.yaw += o.yaw;
        l.pitch += o.pitch;
        l.roll += o.roll;
    }
    version_ = other.version_;
    lens_version_ = other.lens_version_;
    return *this;
}

OffsetParam& OffsetParam::operator/=(int n) {
    if (n == 0) throw OffsetError(kInvalid);
    const double d = static_cast<double>(n);
    for (LensParam& lens : lenses_) forEachValue(lens, [d](double& v) { v /= d; });
    return *this;
}

bool OffsetParam::isFinite() const {
    for (LensParam lens : lenses_) {
        bool finite = true;
        forEachValue(lens, [&finite](double& v) { finite = finite && std::isfinite(v); });
        if (!finite) return false;
    }
    return true;
}

OffsetParam operator-(const OffsetParam& lhs, const OffsetParam& rhs) {
    if (lhs.version_ != rhs.version_ || lhs.lens_version_ != rhs.lens_version_ || lhs.camera_num_ != rhs.camera_num_ ||
        lhs.width_ != rhs.width_ || lhs.height_ != rhs.height_ || lhs.lenses_.size() != rhs.lenses_.size())
        throw OffsetError("lhs and rhs version mismatch");
    OffsetParam result = lhs;
    for (size_t i = 0; i < result.lenses_.size(); ++i) {
        const LensParam& o = rhs.lenses_[i];
        LensParam& l = result.lenses_[i];
        l.r -= o.r;
        l.x -= o.x;
        l.y -= o.y;
        l.yaw -= o.yaw;
        l.pitch -= o.pitch;
        l.roll -= o.roll;
    }
    return result;
}

std::ostream& operator<<(std::ostream& os, const OffsetParam& param) {
    return os << param.toString() << " version:" << static_cast<int>(param.version_)
              << " lens_version:" << static_cast<int>(param.lens_version_);
}

std::ostream& operator<<(std::ostream& os, const LensParam& lens) {
    return os << "r " << lens.r << " x " << lens.x << " y " << lens.y << " yaw " << lens.yaw << " pitch " << lens.pitch
              << " roll " << lens.roll;
}

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Alphabet index of c, or -1 for any other byte.
int alphabetIndex(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64Encode(const std::string& text) {
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);
    size_t i = 0;
    const size_t size = text.size();
    auto byte = [&](size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(text[k])); };
    for (; i + 3 <= size; i += 3) {
        unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        out += kAlphabet[(v >> 18) & 0x3F];
        out += kAlphabet[(v >> 12) & 0x3F];
        out += kAlphabet[(v >> 6) & 0x3F];
        out += kAlphabet[v & 0x3F];
    }
    const size_t rest = size - i;
    if (rest > 0) {
        unsigned v = byte(i) << 16;
        if (rest == 2) v |= byte(i + 1) << 8;
        out += kAlphabet[(v >> 18) & 0x3F];
        out += kAlphabet[(v >> 12) & 0x3F];
        out += rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : '=';
        out += '=';
    }
    return out;
}

std::string base64Decode(const std::string& text) {
    std::string out;
    unsigned a[4];
    int k = 0;
    for (unsigned char c : text) {
        int index = alphabetIndex(c);
        if (index < 0) break;  // "=", a line end or any other byte ends the data
        a[k++] = static_cast<unsigned>(index);
        if (k == 4) {
            out += static_cast<char>(((a[0] << 2) + (a[1] >> 4)) & 0xFF);
            out += static_cast<char>((((a[1] & 0x0f) << 4) + (a[2] >> 2)) & 0xFF);
            out += static_cast<char>((((a[2] & 0x03) << 6) + a[3]) & 0xFF);
            k = 0;
        }
    }
    if (k >= 2) out += static_cast<char>(((a[0] << 2) + (a[1] >> 4)) & 0xFF);
    if (k == 3) out += static_cast<char>((((a[1] & 0x0f) << 4) + (a[2] >> 2)) & 0xFF);
    return out;
}

#include "bmp/bmp.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

namespace {

bool warnings_on = true;

constexpr const char* kIndent = "                 ";
constexpr int kFileHeaderSize = 14;
constexpr int kInfoHeaderSize = 40;
constexpr int kDefaultPelsPerMeter = 3780;  // 96 dots per inch
constexpr double kInchesPerMeter = 39.37007874;
// Largest image held in memory: 2^28 pixels (1 GiB of RGBA), so that every
// size of every depth fits the 32-bit fields of the file headers.
constexpr int64_t kMaxPixels = int64_t(1) << 28;
// Largest run of header extension or gap bytes kept from a file.
constexpr uint32_t kMaxMetaData = 1 << 20;

constexpr RGBApixel kWhite{255, 255, 255, 0};

struct FileCloser {
    void operator()(FILE* fp) const { fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

std::ostream& warn() { return std::cout << "BMP Warning: "; }
std::ostream& error() { return std::cout << "BMP Error: "; }

bool validDepth(int depth) {
    return depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

// Bytes of one stored row: width * depth bits rounded up to 4 bytes.
int64_t rowBytes(int depth, int width) { return (int64_t(width) * depth + 31) / 32 * 4; }

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>((v >> (8 * k)) & 0xFF));
}

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint16_t swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

uint32_t swap32(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24); }

int32_t swap32s(int32_t v) { return static_cast<int32_t>(swap32(static_cast<uint32_t>(v))); }

BMFH decodeBMFH(const uint8_t* p) {
    BMFH h;
    h.bfType = get16(p);
    h.bfSize = get32(p + 2);
    h.bfReserved1 = get16(p + 6);
    h.bfReserved2 = get16(p + 8);
    h.bfOffBits = get32(p + 10);
    return h;
}

BMIH decodeBMIH(const uint8_t* p) {
    BMIH h;
    h.biSize = get32(p);
    h.biWidth = static_cast<int32_t>(get32(p + 4));
    h.biHeight = static_cast<int32_t>(get32(p + 8));
    h.biPlanes = get16(p + 12);
    h.biBitCount = get16(p + 14);
    h.biCompression = get32(p + 16);
    h.biSizeImage = get32(p + 20);
    h.biXPelsPerMeter = static_cast<int32_t>(get32(p + 24));
    h.biYPelsPerMeter = static_cast<int32_t>(get32(p + 28));
    h.biClrUsed = get32(p + 32);
    h.biClrImportant = get32(p + 36);
    return h;
}

void encode(std::vector<uint8_t>& out, const BMFH& h) {
    put16(out, h.bfType);
    put32(out, h.bfSize);
    put16(out, h.bfReserved1);
    put16(out, h.bfReserved2);
    put32(out, h.bfOffBits);
}

void encode(std::vector<uint8_t>& out, const BMIH& h) {
    put32(out, h.biSize);
    put32(out, static_cast<uint32_t>(h.biWidth));
    put32(out, static_cast<uint32_t>(h.biHeight));
    put16(out, h.biPlanes);
    put16(out, h.biBitCount);
    put32(out, h.biCompression);
    put32(out, h.biSizeImage);
    put32(out, static_cast<uint32_t>(h.biXPelsPerMeter));
    put32(out, static_cast<uint32_t>(h.biYPelsPerMeter));
    put32(out, h.biClrUsed);
    put32(out, h.biClrImportant);
}

bool readBytes(FILE* fp, uint8_t* buffer, size_t size) {
    return SafeFread(reinterpret_cast<char*>(buffer), 1, static_cast<int>(size), fp);
}

bool readHeaders(const std::string& name, BMFH* fh, BMIH* ih) {
    FilePtr fp(fopen(name.c_str(), "rb"));
    uint8_t buf[kFileHeaderSize + kInfoHeaderSize];
    if (!fp || !readBytes(fp.get(), buf, sizeof buf)) {
        if (warnings_on) error() << "Cannot initialize from file " << name << "." << std::endl;
        return false;
    }
    if (fh) *fh = decodeBMFH(buf);
    if (ih) *ih = decodeBMIH(buf + kFileHeaderSize);
    return true;
}

// Scales the masked bits of v to 0..255, rounded.
uint8_t maskedChannel(uint32_t v, uint32_t mask) {
    if (mask == 0) return 0;
    int shift = __builtin_ctz(mask);
    uint64_t max = uint64_t(mask) >> shift;
    uint64_t value = (uint64_t(v) & mask) >> shift;
    return static_cast<uint8_t>((value * 255 + max / 2) / max);
}

bool sameColour(const RGBApixel& a, const RGBApixel& b) {
    return a.Red == b.Red && a.Green == b.Green && a.Blue == b.Blue;
}

uint8_t lerp(uint8_t a, uint8_t b, double t) { return static_cast<uint8_t>(std::lround(a + (double(b) - a) * t)); }

}  // namespace

// ---- warning switch ----

void SetBMPwarningsOn() { warnings_on = true; }
void SetBMPwarningsOff() { warnings_on = false; }
bool GetBMPwarningState() { return warnings_on; }

// ---- headers ----

void BMFH::display() const {
    std::cout << "bfType: " << bfType << "\n"
              << "bfSize: " << bfSize << "\n"
              << "bfReserved1: " << bfReserved1 << "\n"
              << "bfReserved2: " << bfReserved2 << "\n"
              << "bfOffBits: " << bfOffBits << "\n"
              << std::endl;
}

void BMFH::SwitchEndianess() {
    bfType = swap16(bfType);
    bfSize = swap32(bfSize);
    bfReserved1 = swap16(bfReserved1);
    bfReserved2 = swap16(bfReserved2);
    bfOffBits = swap32(bfOffBits);
}

void BMIH::display() const {
    std::cout << "biSize: " << biSize << "\n"
              << "biWidth: " << biWidth << "\n"
              << "biHeight: " << biHeight << "\n"
              << "biPlanes: " << biPlanes << "\n"
              << "biBitCount: " << biBitCount << "\n"
              << "biCompression: " << biCompression << "\n"
              << "biSizeImage: " << biSizeImage << "\n"
              << "biXPelsPerMeter: " << biXPelsPerMeter << "\n"
              << "biYPelsPerMeter: " << biYPelsPerMeter << "\n"
              << "biClrUsed: " << biClrUsed << "\n"
              << "biClrImportant: " << biClrImportant << "\n"
              << std::endl;
}

void BMIH::SwitchEndianess() {
    biSize = swap32(biSize);
    biWidth = swap32s(biWidth);
    biHeight = swap32s(biHeight);
    biPlanes = swap16(biPlanes);
    biBitCount = swap16(biBitCount);
    biCompression = swap32(biCompression);
    biSizeImage = swap32(biSizeImage);
    biXPelsPerMeter = swap32s(biXPelsPerMeter);
    biYPelsPerMeter = swap32s(biYPelsPerMeter);
    biClrUsed = swap32(biClrUsed);
    biClrImportant = swap32(biClrImportant);
}

BMFH GetBMFH(const std::string& FileName) {
    BMFH h;
    if (!readHeaders(FileName, &h, nullptr)) return BMFH();
    return h;
}

BMIH GetBMIH(const std::string& FileName) {
    BMIH h;
    if (!readHeaders(FileName, nullptr, &h)) return BMIH();
    return h;
}

void DisplayBitmapInfo(const std::string& FileName) {
    BMFH fh;
    BMIH ih;
    if (!readHeaders(FileName, &fh, &ih)) return;
    std::cout << "File information for file " << FileName << ":\n\nBMFH:\n";
    fh.display();
    std::cout << "BMIH:\n";
    ih.display();
}

int GetBitmapColorDepth(const std::string& FileName) { return GetBMIH(FileName).biBitCount; }

// ---- image ----

BMP::BMP() = default;

RGBApixel* BMP::pixelData() {
    if (pixels_.empty()) pixels_.assign(size_t(width_) * size_t(height_), kWhite);
    return pixels_.data();
}

const RGBApixel& BMP::pixelAt(size_t index) const { return pixels_.empty() ? kWhite : pixels_[index]; }

BMP::BMP(const BMP& input) = default;
BMP& BMP::operator=(const BMP& input) = default;
BMP::~BMP() = default;

int BMP::TellNumberOfColors() const {
    if (bit_depth_ == 32) return IntPow(2, 24);
    return IntPow(2, bit_depth_);
}

void BMP::SetDPI(int HorizontalDPI, int VerticalDPI) {
    auto toPels = [](int dpi) { return dpi > 0 ? static_cast<int>(std::lround(dpi * kInchesPerMeter)) : 0; };
    x_pels_per_meter_ = toPels(HorizontalDPI);
    y_pels_per_meter_ = toPels(VerticalDPI);
}

int BMP::TellHorizontalDPI() const {
    int pels = x_pels_per_meter_ ? x_pels_per_meter_ : kDefaultPelsPerMeter;
    return static_cast<int>(std::lround(pels / kInchesPerMeter));
}

int BMP::TellVerticalDPI() const {
    int pels = y_pels_per_meter_ ? y_pels_per_meter_ : kDefaultPelsPerMeter;
    return static_cast<int>(std::lround(pels / kInchesPerMeter));
}

size_t BMP::clampedIndex(int i, int j) const {
    if (i < 0 || i >= width_ || j < 0 || j >= height_) {
        if (warnings_on) {
            warn() << "Attempted to access non-existent pixel;" << std::endl
                   << kIndent << "Truncating request to fit in the range [0," << width_ - 1 << "] x [0," << height_ - 1
                   << "]." << std::endl;
        }
        i = std::clamp(i, 0, width_ - 1);
        j = std::clamp(j, 0, height_ - 1);
    }
    return size_t(i) * size_t(height_) + size_t(j);
}

RGBApixel& BMP::operator()(int i, int j) {
    const size_t index = clampedIndex(i, j);
    return pixelData()[index];
}

const RGBApixel& BMP::operator()(int i, int j) const { return pixelAt(clampedIndex(i, j)); }

RGBApixel* BMP::column(int i) { return &(*this)(i, 0); }

RGBApixel BMP::GetPixel(int i, int j) const { return (*this)(i, j); }

bool BMP::SetPixel(int i, int j, RGBApixel NewPixel) {
    if (i < 0 || i >= width_ || j < 0 || j >= height_) {
        if (warnings_on) {
            warn() << "Attempted to set non-existent pixel (" << i << "," << j << ");" << std::endl
                   << kIndent << "the image covers [0," << width_ - 1 << "] x [0," << height_ - 1 << "]." << std::endl;
        }
        return false;
    }
    pixelData()[size_t(i) * size_t(height_) + size_t(j)] = NewPixel;
    return true;
}

RGBApixel BMP::GetColor(int ColorNumber) const {
    if (ColorNumber < 0 || size_t(ColorNumber) >= colors_.size()) {
        if (warnings_on) {
            if (colors_.empty()) {
                warn() << "Attempted to read a color table entry of an image without one." << std::endl;
            } else {
                warn() << "Requested color number " << ColorNumber << " is outside the allowed range [0,"
                       << colors_.size() - 1 << "]." << std::endl;
            }
        }
        return kWhite;
    }
    return colors_[ColorNumber];
}

bool BMP::SetColor(int ColorNumber, RGBApixel NewColor) {
    if (bit_depth_ > 8 || colors_.empty()) {
        if (warnings_on) {
            warn() << "Attempted to change color table for a BMP object" << std::endl
                   << kIndent << "that lacks a color table. Ignoring request." << std::endl;
        }
        return false;
    }
    if (ColorNumber < 0 || size_t(ColorNumber) >= colors_.size()) {
        if (warnings_on) {
            warn() << "Requested color number " << ColorNumber << " is outside the allowed range [0,"
                   << colors_.size() - 1 << "]." << std::endl
                   << kIndent << "Ignoring request to set this color." << std::endl;
        }
        return false;
    }
    colors_[ColorNumber] = NewColor;
    return true;
}

bool BMP::CreateStandardColorTable() {
    if (bit_depth_ > 8) {
        if (warnings_on) {
            warn() << "Attempted to create color table at a bit depth" << std::endl
                   << kIndent << "that does not require a color table. Ignoring request." << std::endl;
        }
        return false;
    }
    colors_.assign(size_t(TellNumberOfColors()), RGBApixel{});
    if (bit_depth_ == 1) {
        colors_[1] = RGBApixel{255, 255, 255, 0};
    } else if (bit_depth_ == 4) {
        // The sixteen classic display colours: eight dark, eight bright.
        static const uint8_t rgb[16][3] = {
            {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
            {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
            {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
        };
        for (int k = 0; k < 16; ++k) colors_[k] = RGBApixel{rgb[k][2], rgb[k][1], rgb[k][0], 0};
    } else {
        // A 3-3-2 colour cube: red in the top three bits, green in the next
        // three, blue in the lowest two.
        for (int k = 0; k < 256; ++k) {
            colors_[k].Red = static_cast<uint8_t>(((k >> 5) & 7) * 255 / 7);
            colors_[k].Green = static_cast<uint8_t>(((k >> 2) & 7) * 255 / 7);
            colors_[k].Blue = static_cast<uint8_t>((k & 3) * 255 / 3);
            colors_[k].Alpha = 0;
        }
    }
    return true;
}

bool BMP::CreateGrayscaleColorTable() {
    if (bit_depth_ > 8) {
        if (warnings_on) {
            warn() << "Attempted to create a grayscale color table at a bit depth" << std::endl
                   << kIndent << "that does not require a color table. Ignoring request." << std::endl;
        }
        return false;
    }
    const int n = TellNumberOfColors();
    colors_.assign(size_t(n), RGBApixel{});
    for (int k = 0; k < n; ++k) {
        uint8_t v = static_cast<uint8_t>(k * 255 / (n - 1));
        colors_[k] = RGBApixel{v, v, v, 0};
    }
    return true;
}

int BMP::FindClosestColor(const RGBApixel& input) const {
    int best = 0;
    int best_distance = -1;
    for (size_t k = 0; k < colors_.size(); ++k) {
        int dr = int(colors_[k].Red) - input.Red;
        int dg = int(colors_[k].Green) - input.Green;
        int db = int(colors_[k].Blue) - input.Blue;
        int d = dr * dr + dg * dg + db * db;
        if (best_distance < 0 || d < best_distance) {
            best_distance = d;
            best = static_cast<int>(k);
            if (d == 0) break;
        }
    }
    return best;
}

bool BMP::SetBitDepth(int NewDepth) {
    if (!validDepth(NewDepth)) {
        if (warnings_on) {
            warn() << "User attempted to set unsupported bit depth " << NewDepth << "." << std::endl
                   << kIndent << "Bit depth remains unchanged at " << bit_depth_ << "." << std::endl;
        }
        return false;
    }
    bit_depth_ = NewDepth;
    colors_.clear();
    if (NewDepth <= 8) CreateStandardColorTable();
    return true;
}

bool BMP::SetSize(int NewWidth, int NewHeight) {
    if (NewWidth < 1 || NewHeight < 1) {
        if (warnings_on) {
            warn() << "User attempted to set a non-positive width or height." << std::endl
                   << kIndent << "Size remains unchanged at " << width_ << " x " << height_ << "." << std::endl;
        }
        return false;
    }
    if (int64_t(NewWidth) * NewHeight > kMaxPixels) {
        if (warnings_on) {
            warn() << "User attempted to set a size too large to store (" << NewWidth << " x " << NewHeight << ")."
                   << std::endl
                   << kIndent << "Size remains unchanged at " << width_ << " x " << height_ << "." << std::endl;
        }
        return false;
    }
    // Every pixel is white until one is asked for: a writer that supplies
    // its own rows never needs them.
    std::vector<RGBApixel>().swap(pixels_);
    width_ = NewWidth;
    height_ = NewHeight;
    return true;
}

// ---- row codecs ----

bool BMP::Write1bitRow(uint8_t* Buffer, int BufferSize, int Row) const {
    if (Row < 0 || Row >= height_ || (width_ + 7) / 8 > BufferSize) return false;
    std::fill(Buffer, Buffer + (width_ + 7) / 8, 0);
    for (int i = 0; i < width_; ++i) {
        int index = FindClosestColor((*this)(i, Row)) & 1;
        Buffer[i / 8] = static_cast<uint8_t>(Buffer[i / 8] | (index << (7 - i % 8)));
    }
    return true;
}

bool BMP::Write4bitRow(uint8_t* Buffer, int BufferSize, int Row) const {
    if (Row < 0 || Row >= height_ || (width_ + 1) / 2 > BufferSize) return false;
    std::fill(Buffer, Buffer + (width_ + 1) / 2, 0);
    for (int i = 0; i < width_; ++i) {
        int index = FindClosestColor((*this)(i, Row)) & 0x0F;
        Buffer[i / 2] = static_cast<uint8_t>(Buffer[i / 2] | (index << (i % 2 ? 0 : 4)));
    }
    return true;
}

bool BMP::Write8bitRow(uint8_t* Buffer, int BufferSize, int Row) const {
    if (Row < 0 || Row >= height_ || width_ > BufferSize) return false;
    for (int i = 0; i < width_; ++i) Buffer[i] = static_cast<uint8_t>(FindClosestColor((*this)(i, Row)));
    return true;
}

bool BMP::Write16bitRow(uint8_t* Buffer, int BufferSize, int Row) const {
    if (Row < 0 || Row >= height_ || int64_t(width_) * 2 > BufferSize) return false;
    for (int i = 0; i < width_; ++i) {
        const RGBApixel& p = (*this)(i, Row);
        uint16_t v = static_cast<uint16_t>(((p.Red >> 3) << 11) | ((p.Green >> 2) << 5) | (p.Blue >> 3));
        Buffer[2 * i] = static_cast<uint8_t>(v & 0xFF);
        Buffer[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    return true;
}

bool BMP::Write24bitRow(uint8_t* Buffer, int BufferSize, int Row) const {
    if (Row < 0 || Row >= height_ || int64_t(width_) * 3 > BufferSize) return false;
    for (int i = 0; i < width_; ++i) {
        const RGBApixel& p = pixelAt(size_t(i) * size_t(height_) + size_t(Row));
        Buffer[3 * i] = p.Blue;
        Buffer[3 * i + 1] = p.Green;
        Buffer[3 * i + 2] = p.Red;
    }
    return true;
}

// The file's rows a band at a time, bottom band first. Within a band the
// pixels are gathered a few columns at a time, so the image is read in long
// runs down its columns, in the order it is stored, instead of one pixel per
// column for every row.
bool BMP::Write24bitRows(FILE* fp, size_t RowSize) const {
    static_assert(sizeof(RGBApixel) == 4, "a pixel is its blue, green, red and alpha bytes");
    const int kBand = 64;
    const int kColumns = 8;
    std::vector<uint8_t> band(RowSize * kBand, 0);
    if (pixels_.empty()) {
        // All white: every line the same, padding zero.
        for (int k = 0; k < kBand; ++k) std::fill_n(&band[size_t(k) * RowSize], size_t(3) * width_, 0xFF);
        for (int bottom = height_ - 1; bottom >= 0; bottom -= kBand) {
            const size_t bytes = RowSize * size_t(std::min(kBand, bottom + 1));
            if (fwrite(band.data(), 1, bytes, fp) != bytes) return false;
        }
        return true;
    }
    for (int bottom = height_ - 1; bottom >= 0; bottom -= kBand) {
        const int rows = std::min(kBand, bottom + 1);
        for (int x0 = 0; x0 < width_; x0 += kColumns) {
            const int columns = std::min(kColumns, width_ - x0);
            // A pixel's first three bytes are its file bytes: each is copied
            // whole and its alpha overwritten by the next column, except in
            // the last column, which is followed by the row's padding.
            const int whole = x0 + columns == width_ ? columns - 1 : columns;
            // Line k of the band is image row bottom - k.
            for (int k = 0; k < rows; ++k) {
                uint8_t* out = &band[size_t(k) * RowSize + size_t(3) * x0];
                const RGBApixel* p = &pixels_[size_t(x0) * size_t(height_) + size_t(bottom - k)];
                for (int x = 0; x < whole; ++x, out += 3, p += height_) std::memcpy(out, p, 4);
                if (whole < columns) std::memcpy(out, p, 3);
            }
        }
        const size_t bytes = RowSize * size_t(rows);
        if (fwrite(band.data(), 1, bytes, fp) != bytes) return false;
    }
    return true;
}

bool BMP::WriteFilledRows(FILE* fp, size_t RowSize, const RowFiller& FillRow) const {
    const int kBand = 64;
    std::vector<uint8_t> band(RowSize * kBand, 0);
    for (int bottom = height_ - 1; bottom >= 0; bottom -= kBand) {
        const int rows = std::min(kBand, bottom + 1);
        for (int k = 0; k < rows; ++k) FillRow(bottom - k, &band[size_t(k) * RowSize]);
        const size_t bytes = RowSize * size_t(rows);
        if (fwrite(band.data(), 1, bytes, fp) != bytes) return false;
    }
    return true;
}

bool BMP::Write32bitRow(uint8_t* Buffer, int BufferSize, int Row) const {
    if (Row < 0 || Row >= height_ || int64_t(width_) * 4 > BufferSize) return false;
    for (int i = 0; i < width_; ++i) {
        const RGBApixel& p = pixelAt(size_t(i) * size_t(height_) + size_t(Row));
        Buffer[4 * i] = p.Blue;
        Buffer[4 * i + 1] = p.Green;
        Buffer[4 * i + 2] = p.Red;
        Buffer[4 * i + 3] = p.Alpha;
    }
    return true;
}

bool BMP::Read1bitRow(const uint8_t* Buffer, int BufferSize, int Row) {
    if (Row < 0 || Row >= height_ || (width_ + 7) / 8 > BufferSize || colors_.size() < 2) return false;
    for (int i = 0; i < width_; ++i) {
        int index = (Buffer[i / 8] >> (7 - i % 8)) & 1;
        pixelData()[size_t(i) * size_t(height_) + size_t(Row)] = colors_[index];
    }
    return true;
}

bool BMP::Read4bitRow(const uint8_t* Buffer, int BufferSize, int Row) {
    if (Row < 0 || Row >= height_ || (width_ + 1) / 2 > BufferSize || colors_.size() < 16) return false;
    for (int i = 0; i < width_; ++i) {
        int index = (Buffer[i / 2] >> (i % 2 ? 0 : 4)) & 0x0F;
        pixelData()[size_t(i) * size_t(height_) + size_t(Row)] = colors_[index];
    }
    return true;
}

bool BMP::Read8bitRow(const uint8_t* Buffer, int BufferSize, int Row) {
    if (Row < 0 || Row >= height_ || width_ > BufferSize || colors_.size() < 256) return false;
    for (int i = 0; i < width_; ++i) pixelData()[size_t(i) * size_t(height_) + size_t(Row)] = colors_[Buffer[i]];
    return true;
}

bool BMP::Read24bitRow(const uint8_t* Buffer, int BufferSize, int Row) {
    if (Row < 0 || Row >= height_ || int64_t(width_) * 3 > BufferSize) return false;
    for (int i = 0; i < width_; ++i) {
        pixelData()[size_t(i) * size_t(height_) + size_t(Row)] =
            RGBApixel{Buffer[3 * i], Buffer[3 * i + 1], Buffer[3 * i + 2], 0};
    }
    return true;
}

bool BMP::Read32bitRow(const uint8_t* Buffer, int BufferSize, int Row) {
    if (Row < 0 || Row >= height_ || int64_t(width_) * 4 > BufferSize) return false;
    for (int i = 0; i < width_; ++i) {
        pixelData()[size_t(i) * size_t(height_) + size_t(Row)] =
            RGBApixel{Buffer[4 * i], Buffer[4 * i + 1], Buffer[4 * i + 2], Buffer[4 * i + 3]};
    }
    return true;
}

bool BMP::ReadMaskedRow(const uint8_t* Buffer, int BufferSize, int Row, int BytesPerPixel, const Masks& masks) {
    if (Row < 0 || Row >= height_ || int64_t(width_) * BytesPerPixel > BufferSize) return false;
    for (int i = 0; i < width_; ++i) {
        const uint8_t* p = Buffer + size_t(i) * BytesPerPixel;
        uint32_t v = BytesPerPixel == 2 ? get16(p) : get32(p);
        pixelData()[size_t(i) * size_t(height_) + size_t(Row)] =
            RGBApixel{maskedChannel(v, masks.blue), maskedChannel(v, masks.green), maskedChannel(v, masks.red),
                      maskedChannel(v, masks.alpha)};
    }
    return true;
}

// ---- files ----

bool BMP::WriteToFile(const std::string& FileName) { return WriteFile(FileName, nullptr); }

bool BMP::WriteRowsToFile(const std::string& FileName, const RowFiller& FillRow) {
    if (bit_depth_ != 24) {
        if (warnings_on) error() << "Rows can be supplied only at 24 bits, not at " << bit_depth_ << "." << std::endl;
        return false;
    }
    return WriteFile(FileName, &FillRow);
}

bool BMP::WriteFile(const std::string& FileName, const RowFiller* FillRow) {
    if (bit_depth_ <= 8 && colors_.size() != size_t(TellNumberOfColors())) CreateStandardColorTable();

    // A link in the file's place is not followed to whatever it names.
    int fd = open(FileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    FilePtr file(fd >= 0 ? fdopen(fd, "wb") : nullptr);
    if (fd >= 0 && !file) close(fd);
    FILE* fp = file.get();
    if (!fp) {
        if (warnings_on) error() << "Cannot open file " << FileName << " for output." << std::endl;
        return false;
    }

    const int64_t row_size = rowBytes(bit_depth_, width_);
    uint32_t off_bits = kFileHeaderSize + kInfoHeaderSize;
    if (bit_depth_ <= 8) off_bits += 4 * uint32_t(colors_.size());
    if (bit_depth_ == 16) off_bits += 12;  // the three bit-field masks

    BMFH fh;
    fh.bfType = 0x4D42;
    fh.bfOffBits = off_bits;
    fh.bfSize = static_cast<uint32_t>(off_bits + row_size * height_);
    BMIH ih;
    ih.biSize = kInfoHeaderSize;
    ih.biWidth = width_;
    ih.biHeight = height_;
    ih.biPlanes = 1;
    ih.biBitCount = static_cast<uint16_t>(bit_depth_);
    ih.biCompression = bit_depth_ == 16 ? 3 : 0;
    ih.biSizeImage = static_cast<uint32_t>(row_size * height_);
    ih.biXPelsPerMeter = x_pels_per_meter_ ? x_pels_per_meter_ : kDefaultPelsPerMeter;
    ih.biYPelsPerMeter = y_pels_per_meter_ ? y_pels_per_meter_ : kDefaultPelsPerMeter;

    std::vector<uint8_t> head;
    head.reserve(off_bits);
    encode(head, fh);
    encode(head, ih);
    if (bit_depth_ <= 8) {
        for (const RGBApixel& c : colors_) {
            head.push_back(c.Blue);
            head.push_back(c.Green);
            head.push_back(c.Red);
            head.push_back(c.Alpha);
        }
    }
    if (bit_depth_ == 16) {
        put32(head, 0xF800);
        put32(head, 0x07E0);
        put32(head, 0x001F);
    }

    bool written = fwrite(head.data(), 1, head.size(), fp) == head.size();
    if (bit_depth_ == 24) {
        const size_t rows = static_cast<size_t>(row_size);
        written = written && (FillRow ? WriteFilledRows(fp, rows, *FillRow) : Write24bitRows(fp, rows));
    }
    std::vector<uint8_t> row(static_cast<size_t>(row_size), 0);
    const int size = static_cast<int>(row_size);
    for (int j = bit_depth_ == 24 ? -1 : height_ - 1; written && j >= 0; --j) {
        bool formed = false;
        switch (bit_depth_) {
            case 1:
                formed = Write1bitRow(row.data(), size, j);
                break;
            case 4:
                formed = Write4bitRow(row.data(), size, j);
                break;
            case 8:
                formed = Write8bitRow(row.data(), size, j);
                break;
            case 16:
                formed = Write16bitRow(row.data(), size, j);
                break;
            case 24:
                formed = Write24bitRow(row.data(), size, j);
                break;
            case 32:
                formed = Write32bitRow(row.data(), size, j);
                break;
        }
        if (!formed) {
            if (warnings_on) error() << "Could not write proper amount of data." << std::endl;
            written = false;
            break;
        }
        written = fwrite(row.data(), 1, row.size(), fp) == row.size();
    }
    // A full disk often shows only when the last buffer is flushed.
    if (fclose(file.release()) != 0) written = false;
    if (!written && warnings_on) error() << "Could not write file " << FileName << "." << std::endl;
    return written;
}

bool BMP::ReadFromFile(const std::string& FileName) {
    FilePtr fp(fopen(FileName.c_str(), "rb"));
    if (!fp) {
        if (warnings_on) error() << "Cannot open file " << FileName << " for input." << std::endl;
        return false;
    }
    BMP image;
    if (!image.ReadBody(fp.get(), FileName)) return false;
    *this = std::move(image);
    return true;
}

bool BMP::ReadBody(FILE* fp, const std::string& FileName) {
    uint8_t buf[kFileHeaderSize + kInfoHeaderSize];
    auto shortFile = [&]() {
        if (warnings_on) error() << "Could not read proper amount of data from " << FileName << "." << std::endl;
        return false;
    };
    if (!readBytes(fp, buf, kFileHeaderSize)) return shortFile();
    const BMFH fh = decodeBMFH(buf);
    if (fh.bfType != 0x4D42) {
        if (warnings_on) error() << FileName << " is not a Windows BMP file!" << std::endl;
        return false;
    }
    if (!readBytes(fp, buf + kFileHeaderSize, 4)) return shortFile();
    const uint32_t info_size = get32(buf + kFileHeaderSize);
    if (info_size < kInfoHeaderSize || info_size - kInfoHeaderSize > kMaxMetaData) {
        if (warnings_on)
            error() << FileName << " has an unsupported info header of " << info_size << " bytes." << std::endl;
        return false;
    }
    if (!readBytes(fp, buf + kFileHeaderSize + 4, kInfoHeaderSize - 4)) return shortFile();
    const BMIH ih = decodeBMIH(buf + kFileHeaderSize);
    meta_data1_.assign(info_size - kInfoHeaderSize, 0);
    if (!meta_data1_.empty() && !readBytes(fp, meta_data1_.data(), meta_data1_.size())) return shortFile();
    uint64_t position = kFileHeaderSize + uint64_t(info_size);

    const int depth = ih.biBitCount;
    if (!validDepth(depth)) {
        if (warnings_on) error() << FileName << " has unsupported bit depth " << depth << "." << std::endl;
        return false;
    }
    const bool bitfields = ih.biCompression == 3 && (depth == 16 || depth == 32);
    if (ih.biCompression != 0 && !bitfields) {
        if (warnings_on) {
            error() << FileName << " is compressed (method " << ih.biCompression << ")." << std::endl
                    << kIndent << "Only uncompressed and bit-field files are supported." << std::endl;
        }
        return false;
    }
    const int64_t width = ih.biWidth;
    const int64_t height = ih.biHeight < 0 ? -int64_t(ih.biHeight) : int64_t(ih.biHeight);
    if (width < 1 || height < 1 || width * height > kMaxPixels) {
        if (warnings_on)
            error() << FileName << " has an unsupported size " << width << " x " << ih.biHeight << "." << std::endl;
        return false;
    }
    const bool top_down = ih.biHeight < 0;

    Masks masks{0x7C00, 0x03E0, 0x001F, 0};  // 5-5-5 is the 16-bit default
    if (bitfields) {
        uint8_t m[16] = {};
        if (meta_data1_.size() >= 12) {
            std::copy(meta_data1_.begin(), meta_data1_.begin() + std::min<size_t>(16, meta_data1_.size()), m);
        } else {
            if (!readBytes(fp, m, 12)) return shortFile();
            position += 12;
        }
        masks = Masks{get32(m), get32(m + 4), get32(m + 8), get32(m + 12)};
    }

    if (!SetBitDepth(depth) || !SetSize(static_cast<int>(width), static_cast<int>(height))) return false;
    x_pels_per_meter_ = ih.biXPelsPerMeter > 0 ? ih.biXPelsPerMeter : 0;
    y_pels_per_meter_ = ih.biYPelsPerMeter > 0 ? ih.biYPelsPerMeter : 0;

    if (depth <= 8) {
        // A shorter table than the depth allows fills the rest with black.
        const uint32_t full = uint32_t(TellNumberOfColors());
        const uint32_t count = ih.biClrUsed > 0 && ih.biClrUsed < full ? ih.biClrUsed : full;
        std::vector<uint8_t> table(size_t(count) * 4);
        if (!readBytes(fp, table.data(), table.size())) return shortFile();
        position += table.size();
        colors_.assign(full, RGBApixel{});
        for (uint32_t k = 0; k < count; ++k)
            colors_[k] = RGBApixel{table[4 * k], table[4 * k + 1], table[4 * k + 2], 0};
    }

    if (fh.bfOffBits < position) {
        if (warnings_on) error() << FileName << " places its pixels inside its headers." << std::endl;
        return false;
    }
    const uint64_t gap = fh.bfOffBits - position;
    if (gap > kMaxMetaData) {
        if (warnings_on) error() << FileName << " has a gap of " << gap << " bytes before its pixels." << std::endl;
        return false;
    }
    meta_data2_.assign(size_t(gap), 0);
    if (gap > 0 && !readBytes(fp, meta_data2_.data(), meta_data2_.size())) return shortFile();

    const int64_t row_size = rowBytes(depth, width_);
    std::vector<uint8_t> row(static_cast<size_t>(row_size));
    const int size = static_cast<int>(row_size);
    for (int k = 0; k < height_; ++k) {
        if (!readBytes(fp, row.data(), row.size())) return shortFile();
        const int j = top_down ? k : height_ - 1 - k;
        bool ok = false;
        switch (depth) {
            case 1:
                ok = Read1bitRow(row.data(), size, j);
                break;
            case 4:
                ok = Read4bitRow(row.data(), size, j);
                break;
            case 8:
                ok = Read8bitRow(row.data(), size, j);
                break;
            case 16:
                ok = ReadMaskedRow(row.data(), size, j, 2, masks);
                break;
            case 24:
                ok = Read24bitRow(row.data(), size, j);
                break;
            case 32:
                ok = bitfields ? ReadMaskedRow(row.data(), size, j, 4, masks) : Read32bitRow(row.data(), size, j);
                break;
        }
        if (!ok) return shortFile();
    }
    return true;
}

// ---- copies and scaling ----

void PixelToPixelCopy(const BMP& From, int FromX, int FromY, BMP& To, int ToX, int ToY) {
    To(ToX, ToY) = From(FromX, FromY);
}

void PixelToPixelCopyTransparent(const BMP& From, int FromX, int FromY, BMP& To, int ToX, int ToY,
                                 const RGBApixel& Transparent) {
    const RGBApixel& p = From(FromX, FromY);
    if (!sameColour(p, Transparent)) To(ToX, ToY) = p;
}

namespace {

template <typename Copy>
void rangedCopy(const BMP& From, int FromL, int FromR, int FromB, int FromT, BMP& To, int ToX, int ToY, Copy copy) {
    if (FromL > FromR) std::swap(FromL, FromR);
    if (FromT > FromB) std::swap(FromT, FromB);
    for (int64_t i = std::max(FromL, 0); i <= std::min(FromR, From.TellWidth() - 1); ++i) {
        int64_t x = ToX + (i - FromL);
        if (x < 0 || x >= To.TellWidth()) continue;
        for (int64_t j = std::max(FromT, 0); j <= std::min(FromB, From.TellHeight() - 1); ++j) {
            int64_t y = ToY + (j - FromT);
            if (y < 0 || y >= To.TellHeight()) continue;
            copy(From(int(i), int(j)), To(int(x), int(y)));
        }
    }
}

}  // namespace

void RangedPixelToPixelCopy(const BMP& From, int FromL, int FromR, int FromB, int FromT, BMP& To, int ToX, int ToY) {
    rangedCopy(From, FromL, FromR, FromB, FromT, To, ToX, ToY, [](const RGBApixel& src, RGBApixel& dst) { dst = src; });
}

void RangedPixelToPixelCopyTransparent(const BMP& From, int FromL, int FromR, int FromB, int FromT, BMP& To, int ToX,
                                       int ToY, const RGBApixel& Transparent) {
    rangedCopy(From, FromL, FromR, FromB, FromT, To, ToX, ToY, [&Transparent](const RGBApixel& src, RGBApixel& dst) {
        if (!sameColour(src, Transparent)) dst = src;
    });
}

bool Rescale(BMP& InputImage, char mode, int NewDimension) {
    const int old_w = InputImage.TellWidth();
    const int old_h = InputImage.TellHeight();
    if (NewDimension < 1) {
        if (warnings_on) {
            warn() << "Rescale asked for a non-positive size " << NewDimension << "." << std::endl
                   << kIndent << "Image remains unchanged." << std::endl;
        }
        return false;
    }
    int64_t new_w = 0;
    int64_t new_h = 0;
    switch (mode) {
        case 'p':
        case 'P':
            new_w = std::max<int64_t>(1, std::llround(double(old_w) * NewDimension / 100.0));
            new_h = std::max<int64_t>(1, std::llround(double(old_h) * NewDimension / 100.0));
            break;
        case 'w':
        case 'W':
            new_w = NewDimension;
            new_h = std::max<int64_t>(1, std::llround(double(old_h) * NewDimension / old_w));
            break;
        case 'h':
        case 'H':
            new_h = NewDimension;
            new_w = std::max<int64_t>(1, std::llround(double(old_w) * NewDimension / old_h));
            break;
        case 'f':
        case 'F':
            if (old_w >= old_h) {
                new_w = NewDimension;
                new_h = std::max<int64_t>(1, std::llround(double(old_h) * NewDimension / old_w));
            } else {
                new_h = NewDimension;
                new_w = std::max<int64_t>(1, std::llround(double(old_w) * NewDimension / old_h));
            }
            break;
        default:
            if (warnings_on) {
                warn() << "Unknown rescale mode '" << mode << "'." << std::endl
                       << kIndent << "Use p (percent), w (width), h (height) or f (fit)." << std::endl;
            }
            return false;
    }
    if (new_w > kMaxPixels || new_h > kMaxPixels) {
        if (warnings_on) warn() << "Rescale size is too large to store." << std::endl;
        return false;
    }

    BMP out(InputImage);
    if (!out.SetSize(static_cast<int>(new_w), static_cast<int>(new_h))) return false;
    for (int i = 0; i < new_w; ++i) {
        double sx = new_w > 1 ? double(i) * (old_w - 1) / double(new_w - 1) : 0.0;
        int x0 = static_cast<int>(sx);
        int x1 = std::min(x0 + 1, old_w - 1);
        double tx = sx - x0;
        for (int j = 0; j < new_h; ++j) {
            double sy = new_h > 1 ? double(j) * (old_h - 1) / double(new_h - 1) : 0.0;
            int y0 = static_cast<int>(sy);
            int y1 = std::min(y0 + 1, old_h - 1);
            double ty = sy - y0;
            const RGBApixel& a = InputImage(x0, y0);
            const RGBApixel& b = InputImage(x1, y0);
            const RGBApixel& c = InputImage(x0, y1);
            const RGBApixel& d = InputImage(x1, y1);
            RGBApixel& p = out(i, j);
            p.Blue = lerp(lerp(a.Blue, b.Blue, tx), lerp(c.Blue, d.Blue, tx), ty);
            p.Green = lerp(lerp(a.Green, b.Green, tx), lerp(c.Green, d.Green, tx), ty);
            p.Red = lerp(lerp(a.Red, b.Red, tx), lerp(c.Red, d.Red, tx), ty);
            p.Alpha = lerp(lerp(a.Alpha, b.Alpha, tx), lerp(c.Alpha, d.Alpha, tx), ty);
        }
    }
    InputImage = std::move(out);
    return true;
}

// ---- helpers ----

int IntPow(int base, int exponent) {
    int result = 1;
    for (int k = 0; k < exponent; ++k) result *= base;
    return result;
}

bool SafeFread(char* buffer, int size, int number, FILE* fp) {
    if (!fp || !buffer || size < 0 || number < 0) return false;
    if (size == 0 || number == 0) return true;
    return fread(buffer, size_t(size), size_t(number), fp) == size_t(number);
}

bool BMPcheckDataSize() {
    bool ok = true;
    auto check = [&](size_t actual, size_t wanted, const char* what) {
        if (actual != wanted) {
            if (warnings_on) error() << what << " has " << actual << " bytes instead of " << wanted << "." << std::endl;
            ok = false;
        }
    };
    check(sizeof(uint8_t), 1, "the byte type");
    check(sizeof(uint16_t), 2, "the word type");
    check(sizeof(uint32_t), 4, "the double-word type");
    check(sizeof(RGBApixel), 4, "RGBApixel");
    return ok;
}

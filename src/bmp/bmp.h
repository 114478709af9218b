// Windows bitmap files: an in-memory RGBA image that is written as an
// uncompressed bitmap (1, 4, 8, 16, 24 or 32 bits per pixel) and read back.
// The calibration program writes its 24-bit "/preview/test.bmp" with it.
//
// Warnings and errors go to standard output, each starting with
// "BMP Warning:" or "BMP Error:", while the warning switch is on (it is on at
// start).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// One pixel, in file order: blue, green, red, alpha.
struct RGBApixel {
    uint8_t Blue = 0;
    uint8_t Green = 0;
    uint8_t Red = 0;
    uint8_t Alpha = 0;
};

// File header (14 bytes on disk, little-endian).
struct BMFH {
    uint16_t bfType = 0;
    uint32_t bfSize = 0;
    uint16_t bfReserved1 = 0;
    uint16_t bfReserved2 = 0;
    uint32_t bfOffBits = 0;

    void display() const;
    // Swaps the byte order of every field.
    void SwitchEndianess();
};

// Info header (40 bytes on disk, little-endian).
struct BMIH {
    uint32_t biSize = 0;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 0;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;

    void display() const;
    void SwitchEndianess();
};

class BMP {
public:
    // 24 bits, 1 x 1, the pixel white with alpha 0.
    BMP();
    BMP(const BMP& input);
    BMP& operator=(const BMP& input);
    BMP(BMP&&) noexcept = default;
    BMP& operator=(BMP&&) noexcept = default;
    ~BMP();

    int TellBitDepth() const { return bit_depth_; }
    int TellWidth() const { return width_; }
    int TellHeight() const { return height_; }
    // 2^depth; 2^24 for 32 bits.
    int TellNumberOfColors() const;
    // Dots per inch; 96 (3780 pixels per metre) until set.
    void SetDPI(int HorizontalDPI, int VerticalDPI);
    int TellHorizontalDPI() const;
    int TellVerticalDPI() const;

    // Pixel (i, j): column i from the left, row j from the top. Indices
    // outside the image are clamped into it, with a warning.
    RGBApixel& operator()(int i, int j);
    const RGBApixel& operator()(int i, int j) const;
    RGBApixel GetPixel(int i, int j) const;
    // Column i (clamped like operator()): its height pixels, top to bottom,
    // lie one after the other in memory, so a whole image is filled fastest
    // column by column through it.
    RGBApixel* column(int i);
    // False (and nothing changed) for a pixel outside the image.
    bool SetPixel(int i, int j, RGBApixel NewPixel);

    // Colour table of the 1, 4 and 8 bit depths.
    RGBApixel GetColor(int ColorNumber) const;
    bool SetColor(int ColorNumber, RGBApixel NewColor);
    bool CreateStandardColorTable();
    bool CreateGrayscaleColorTable();
    // Index of the table entry nearest to input (0 without a table).
    int FindClosestColor(const RGBApixel& input) const;

    // 1, 4, 8, 16, 24 or 32; drops the colour table and makes the standard
    // one for 1, 4 and 8 bits. False (unchanged) for any other depth.
    bool SetBitDepth(int NewDepth);
    // Every pixel of the new size is white with alpha 0 (held only once a
    // pixel is asked for). False (unchanged) for a width or height below 1
    // or a size too large to store.
    bool SetSize(int NewWidth, int NewHeight);

    // True only when the whole file was written and closed. A symbolic link
    // at FileName is not followed: the open fails.
    bool WriteToFile(const std::string& FileName);
    // Fills one file row: image row Row (0 = top) as width blue, green, red
    // triples from Buffer on; the padding after them is left zero.
    using RowFiller = std::function<void(int Row, uint8_t* Buffer)>;
    // Writes the 24-bit file WriteToFile would write for an image of this
    // size and resolution whose rows FillRow supplies, in file order, bottom
    // row first; the pixels held here are not read. False, with an error,
    // at another bit depth.
    bool WriteRowsToFile(const std::string& FileName, const RowFiller& FillRow);
    // Reads an uncompressed (or 16/32-bit bit-field) bitmap. False, with the
    // image unchanged, when the file cannot be read or is not supported.
    bool ReadFromFile(const std::string& FileName);

    // Row codecs: Row is the image row (0 = top); Buffer holds one file row.
    bool Read1bitRow(const uint8_t* Buffer, int BufferSize, int Row);
    bool Read4bitRow(const uint8_t* Buffer, int BufferSize, int Row);
    bool Read8bitRow(const uint8_t* Buffer, int BufferSize, int Row);
    bool Read24bitRow(const uint8_t* Buffer, int BufferSize, int Row);
    bool Read32bitRow(const uint8_t* Buffer, int BufferSize, int Row);
    bool Write1bitRow(uint8_t* Buffer, int BufferSize, int Row) const;
    bool Write4bitRow(uint8_t* Buffer, int BufferSize, int Row) const;
    bool Write8bitRow(uint8_t* Buffer, int BufferSize, int Row) const;
    bool Write24bitRow(uint8_t* Buffer, int BufferSize, int Row) const;
    bool Write32bitRow(uint8_t* Buffer, int BufferSize, int Row) const;

private:
    struct Masks {
        uint32_t red, green, blue, alpha;
    };
    bool ReadMaskedRow(const uint8_t* Buffer, int BufferSize, int Row, int BytesPerPixel, const Masks& masks);
    bool Write16bitRow(uint8_t* Buffer, int BufferSize, int Row) const;
    bool Write24bitRows(FILE* fp, size_t RowSize) const;
    bool WriteFilledRows(FILE* fp, size_t RowSize, const RowFiller& FillRow) const;
    bool WriteFile(const std::string& FileName, const RowFiller* FillRow);
    bool ReadBody(FILE* fp, const std::string& FileName);
    size_t clampedIndex(int i, int j) const;
    // The pixels, made (all white) on first use.
    RGBApixel* pixelData();
    // Pixel number index, white while none are made.
    const RGBApixel& pixelAt(size_t index) const;

    int bit_depth_ = 24;
    int width_ = 1;
    int height_ = 1;
    std::vector<RGBApixel> pixels_;  // column by column, width_ x height_; empty: all white
    std::vector<RGBApixel> colors_;
    int x_pels_per_meter_ = 0;  // 0 = not set
    int y_pels_per_meter_ = 0;
    std::vector<uint8_t> meta_data1_;  // header bytes past the 40-byte info header
    std::vector<uint8_t> meta_data2_;  // bytes between colour table and pixels
};

// The library-wide warning switch.
void SetBMPwarningsOn();
void SetBMPwarningsOff();
bool GetBMPwarningState();

// Header queries on a file; zeroed headers when it cannot be read.
BMFH GetBMFH(const std::string& FileName);
BMIH GetBMIH(const std::string& FileName);
void DisplayBitmapInfo(const std::string& FileName);
int GetBitmapColorDepth(const std::string& FileName);

// Pixel copies between images (clamped like operator()). The transparent
// forms skip source pixels whose red, green and blue equal Transparent's.
void PixelToPixelCopy(const BMP& From, int FromX, int FromY, BMP& To, int ToX, int ToY);
void PixelToPixelCopyTransparent(const BMP& From, int FromX, int FromY, BMP& To, int ToX, int ToY,
                                 const RGBApixel& Transparent);
// Copies columns FromL..FromR and rows FromT..FromB (top to bottom) of From
// to To with the top left corner at (ToX, ToY); parts outside either image
// are left out.
void RangedPixelToPixelCopy(const BMP& From, int FromL, int FromR, int FromB, int FromT, BMP& To, int ToX, int ToY);
void RangedPixelToPixelCopyTransparent(const BMP& From, int FromL, int FromR, int FromB, int FromT, BMP& To, int ToX,
                                       int ToY, const RGBApixel& Transparent);

// Resizes InputImage with bilinear sampling. mode: 'p' percent, 'w' new
// width, 'h' new height, 'f' fit into a NewDimension square (aspect kept).
bool Rescale(BMP& InputImage, char mode, int NewDimension);

int IntPow(int base, int exponent);
// fread of number items of size bytes; true only when all were read.
bool SafeFread(char* buffer, int size, int number, FILE* fp);
// True when the fixed-size file types have the sizes the format needs.
bool BMPcheckDataSize();

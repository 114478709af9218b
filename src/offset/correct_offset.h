// The lens calibration worker: five rounds of settled frames from every lens,
// each joined into "/preview/test.bmp" and measured by discSeek; the mean of
// the three measurements whose radii lie closest to the mean of all five,
// plus the stored "origin", becomes the "defaultOffset" of "/etc/offset.conf".
#pragma once

#include <string>
#include <vector>

#include "V4l2Camera.h"
#include "bmp/bmp.h"
#include "common/worker_status.h"
#include "offset/offset_param.h"

namespace lensalign {

// Exit statuses the controller reads.
using Status = worker_status::Status;
using worker_status::kOk, worker_status::kUsage, worker_status::kCamera, worker_status::kBitmap, worker_status::kOffset,
    worker_status::kCodec;

extern const char kUsageText[];
// Two lenses, every value 0, 2880 x 1440: what the measurements add to.
extern const char kStartOffset[];
extern const char kBitmapPath[];

const int kRounds = 5;
const int kWarmUpFrames = 30;
const int kBest = 3;

struct Calibration {
    Calibration() = default;
    Calibration(const Calibration&) = delete;
    Calibration& operator=(const Calibration&) = delete;
    // Closes the FIFO end, whichever way the run ended.
    ~Calibration();

    int camera_num = 0;
    int width = 0;
    int height = 0;
    bool stacked = false;
    // The bitmap: side by side width * camera_num x height, stacked width x
    // height * camera_num.
    int image_width = 0;
    int image_height = 0;
    int fifo_fd = -1;
    BMP bitmap;
    std::vector<V4L2Camera> cameras;
    // One RGB frame of width x height per lens.
    std::vector<std::vector<unsigned char>> buffers;
    std::vector<OffsetParam> results;
};

// Reads the four positional arguments and sizes the bitmap; false for
// another count, no lens, a frame size the lenses do not stream (square
// frames of the resolution table's edges), or a bitmap too large to hold.
bool parseArguments(int argc, char** argv, Calibration& c);

void openCamera(Calibration& c);
void closeCamera(Calibration& c);
void initBuffer(Calibration& c);
void clearBuffer(Calibration& c);
void warmUpCamera(Calibration& c);

// Every lens's last frame into its buffer; kCodec when one does not decode
// or is not of the asked size.
Status decodeFrames(Calibration& c);

// One row of the joined picture (0 = top) from the lens buffers, as the
// bitmap file's blue, green, red bytes: side by side lens i's pixel (x, y) at
// (i * width + x, y), or stacked, where lens i's decoded pixel number
// x * height + y lands at (x, i * height + y).
void horizontalCombine(const Calibration& c, int row, uint8_t* out);
void verticalCombine(const Calibration& c, int row, uint8_t* out);

// The joined picture as "/preview/test.bmp", filled row by row in the
// file's order; false when it cannot be written.
bool writeBitmap(Calibration& c);

// The analysis tool's output as a measurement: an offset text whose every
// part is a number read whole (a line end may follow) and whose values are
// finite, with nothing after its version; else OffsetError.
OffsetParam measurement(std::string text);

// Runs discSeek on the bitmap; its offset, or OffsetError.
OffsetParam analyse();

// kCamera, logged, when a lens of the count has no video node.
Status checkLensNodes(int camera_num);

// Sum over the first camera_num lenses that both hold of the squared
// distance of the radii.
double radiusKey(const OffsetParam& p, const OffsetParam& mean, int camera_num);

// Sorts the measurements by their key against mean; equal keys keep their
// order. OffsetError when a key overflows.
void rankResults(std::vector<OffsetParam>& results, const OffsetParam& mean, int camera_num);

// The start offset plus the first kBest ranked measurements, divided by kBest.
OffsetParam meanOfBest(const std::vector<OffsetParam>& ranked);

// Adds the stored "origin" to best and stores it, base64, as "defaultOffset"
// with every other member kept. Throws OffsetError when the origin is no
// offset or holds fewer lenses than best; kOffset when the file cannot be
// opened or rewritten, OffsetError when the sum is not finite. The file is
// unchanged in every failure.
Status storeOffset(OffsetParam best);

// Sets a lens control through the shell tools: "gain" and "shutter" with
// xuProbe, any other name with v4l2-ctl.
void setCameraProperty(int index, std::string const& name, int value);

// Everything after the arguments: the program's status.
int calibrate(Calibration& c);

}  // namespace lensalign

// The still-photo worker: every lens captured once, matched, decoded into one
// joined RGB image, encoded as one JPEG with the lens offset as its Exif model.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "V4l2Camera.h"
#include "common/worker_status.h"
#include "lens_frames.h"

namespace stillgrab {

// Exit statuses the controller reads.
using Status = worker_status::Status;
using worker_status::kOk, worker_status::kUsage, worker_status::kOutputFile, worker_status::kCamera,
    worker_status::kConfig, worker_status::kNoMemory, worker_status::kCodec;

extern const char kUsageText[];

struct Photo {
    int camera_num = 0;
    int width = 0;
    int height = 0;
    int mode = 0;
    std::string image_path;
    bool stacked = false;
    int image_width = 0;
    int image_height = 0;
    int fifo_fd = -1;
    std::vector<V4L2Camera> cameras;
    std::vector<unsigned char> joined;
    std::string model;
};

// Reads the six positional arguments; false when they are too few or give
// no valid image (no lens, no pixels, or a size the buffers cannot hold).
bool parseArguments(int argc, char** argv, Photo& photo);

// The "defaultOffset" text of "/etc/offset.conf", or "".
std::string queryModelText();

void openCamera(Photo& photo);
void warmUpCamera(Photo& photo);
void initBuffer(Photo& photo);
void clearBuffer(Photo& photo);

// Decode every lens's last frame straight into its place in the joined
// image: side by side (row y holds row y of lens 0, then lens 1, ...) or
// stacked (lens 0's frame, then lens 1's, ...). kCodec when a frame does not
// decode or is not of the asked size.
Status horizontalCombine(Photo& photo);
Status verticalCombine(Photo& photo);

// An encoded photo, kept in the codec's own buffer (no copy of it is made).
class Jpeg {
public:
    const unsigned char* data() const { return buf_.get(); }
    size_t size() const { return size_; }
    // Takes over a buffer the codec allocated.
    void reset(unsigned char* buf, size_t size);

private:
    struct Free {
        void operator()(unsigned char* buf) const;
    };
    std::unique_ptr<unsigned char, Free> buf_;
    size_t size_ = 0;
};

// Encodes the joined image (RGB, 4:4:4, quality 100, fast DCT).
Status encodeImage(const Photo& photo, Jpeg& jpeg);

// Writes the JPEG to a new file; a name already taken (by any entry, a link
// too, which is never followed) or a failed create, write, flush or close is
// kOutputFile and leaves no partial file.
Status writeImage(const std::string& path, const unsigned char* data, size_t size);

// Sets the Exif camera model with exiv2 (its result is ignored).
void writeModel(const std::string& path, const std::string& model);

// The whole photo after the arguments: the program's status.
int takePhoto(Photo& photo, const char* program);

}  // namespace stillgrab

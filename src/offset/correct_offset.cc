#include "offset/correct_offset.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <glog/logging.h>

#include "common/dameon_util.h"
#include "common/process_util.h"
#include "config/config_paths.h"
#include "config/property_config.h"
#include "config/resolution_config.h"
#include "fifo_ipc/client_fifo.h"
#include "lens_frames.h"

namespace lensalign {

const char kUsageText[] = "usage: stillGrab <cameraNum width height orientation>";
const char kStartOffset[] = "2_0_0_0_0_0_0_0_0_0_0_0_0_2880_1440_0";
const char kBitmapPath[] = "/preview/test.bmp";

namespace {

// True when text is a number with nothing before or after it: decimal for an
// integer, any floating-point form otherwise.
bool wholeNumber(const std::string& text, bool integer) {
    if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    if (integer)
        strtol(text.c_str(), &end, 10);
    else
        strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size();
}

// Keys paired with their measurement's capture position.
struct Ranked {
    double key;
    size_t index;
};

}  // namespace

Calibration::~Calibration() { pnocamera::CloseFifo(fifo_fd); }

bool parseArguments(int argc, char** argv, Calibration& c) {
    if (argc != 5) return false;
    c.camera_num = argumentNumber(argv[1]);
    c.width = argumentNumber(argv[2]);
    c.height = argumentNumber(argv[3]);
    c.stacked = std::string(argv[4]) != "h";
    // refused before anything is allocated for a frame no lens delivers
    if (!lensFrameSize(c.width, c.height)) return false;
    return joinedImageSize(c.camera_num, c.width, c.height, c.stacked, &c.image_width, &c.image_height);
}

void openCamera(Calibration& c) {
    c.cameras = std::vector<V4L2Camera>(static_cast<size_t>(c.camera_num));
    for (int i = 0; i < c.camera_num; ++i) c.cameras[i].openCamera(i, c.width, c.height);
}

void closeCamera(Calibration& c) {
    for (auto& camera : c.cameras) camera.release();
}

void initBuffer(Calibration& c) {
    c.buffers.assign(static_cast<size_t>(c.camera_num),
                     std::vector<unsigned char>(static_cast<size_t>(c.width) * c.height * 3));
}

void clearBuffer(Calibration& c) { std::vector<std::vector<unsigned char>>().swap(c.buffers); }

void warmUpCamera(Calibration& c) { settleCameras(c.cameras, kWarmUpFrames); }

Status decodeFrames(Calibration& c) {
    std::vector<unsigned char*> out;
    for (auto& buffer : c.buffers) out.push_back(buffer.data());
    return ::decodeFrames(lastFrames(c.cameras), c.width, c.height, out, 0) ? kOk : kCodec;
}

// The file keeps the picture row by row, as the lenses' frames are, so a side
// by side row is the lenses' rows one after the other.
void horizontalCombine(const Calibration& c, int row, uint8_t* out) {
    const size_t row_bytes = static_cast<size_t>(c.width) * 3;
    for (int i = 0; i < c.camera_num; ++i) {
        const unsigned char* p = c.buffers[i].data() + static_cast<size_t>(row) * row_bytes;
        for (int x = 0; x < c.width; ++x, p += 3, out += 3) {
            out[0] = p[2];
            out[1] = p[1];
            out[2] = p[0];
        }
    }
}

// Stacked, row y of band i gathers every height-th decoded pixel of lens i.
void verticalCombine(const Calibration& c, int row, uint8_t* out) {
    const int i = row / c.height;
    const size_t step = static_cast<size_t>(c.height) * 3;
    const unsigned char* p = c.buffers[i].data() + static_cast<size_t>(row % c.height) * 3;
    for (int x = 0; x < c.width; ++x, p += step, out += 3) {
        out[0] = p[2];
        out[1] = p[1];
        out[2] = p[0];
    }
}

bool writeBitmap(Calibration& c) {
    // A link left in the bitmap's place goes, never the file it points to;
    // the library does not follow one made meanwhile.
    if (unlink(kBitmapPath) != 0 && errno != ENOENT && errno != EISDIR) PLOG(WARNING) << "remove " << kBitmapPath;
    const auto combine = c.stacked ? verticalCombine : horizontalCombine;
    return c.bitmap.WriteRowsToFile(kBitmapPath, [&c, combine](int row, uint8_t* out) { combine(c, row, out); });
}

OffsetParam measurement(std::string text) {
    OffsetParam p(text);  // finite values only
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at; (at = text.find('_', from)) != std::string::npos; from = at + 1)
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    const size_t values = 6 * p.lenses_.size();
    if (parts.size() != values + 3 && parts.size() != values + 4) throw OffsetError("invalid offset");
    for (size_t i = 0; i < parts.size(); ++i)
        if (!wholeNumber(parts[i], i == 0 || i > values)) throw OffsetError("invalid offset");
    return p;
}

OffsetParam analyse() {
    OffsetParam p = measurement(readCmdOutput(std::string("discSeek ") + kBitmapPath));
    LOG(INFO) << "param " << p;
    return p;
}

Status checkLensNodes(int camera_num) {
    for (int i = 0; i < camera_num; ++i) {
        const std::string node = "/dev/video" + std::to_string(i);
        struct stat st;
        if (stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            LOG(ERROR) << "no lens " << node << " for " << camera_num << " lenses";
            return kCamera;
        }
    }
    return kOk;
}

double radiusKey(const OffsetParam& p, const OffsetParam& mean, int camera_num) {
    size_t n = camera_num > 0 ? static_cast<size_t>(camera_num) : 0;
    n = std::min({n, p.lenses_.size(), mean.lenses_.size()});
    double key = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double d = p.lenses_[i].r - mean.lenses_[i].r;
        key += d * d;
    }
    return key;
}

void rankResults(std::vector<OffsetParam>& results, const OffsetParam& mean, int camera_num) {
    std::vector<Ranked> order;
    for (size_t i = 0; i < results.size(); ++i) {
        const double key = radiusKey(results[i], mean, camera_num);
        // Radii so far apart that their squares overflow rank nothing.
        if (!std::isfinite(key)) throw OffsetError("invalid offset");
        order.push_back({key, i});
    }
    std::stable_sort(order.begin(), order.end(), [](const Ranked& a, const Ranked& b) { return a.key < b.key; });
    std::vector<OffsetParam> ranked;
    ranked.reserve(results.size());
    for (const Ranked& r : order) ranked.push_back(results[r.index]);
    results.swap(ranked);
}

OffsetParam meanOfBest(const std::vector<OffsetParam>& ranked) {
    if (ranked.size() < static_cast<size_t>(kBest)) throw OffsetError("invalid offset");
    OffsetParam best(kStartOffset);
    for (int i = 0; i < kBest; ++i) best += ranked[i];
    best /= kBest;
    return best;
}

Status storeOffset(OffsetParam best) {
    // The property file gives up on a file it can neither open nor create.
    FILE* fp = fopen(camera_paths::kOffsetConf, "a+");
    if (!fp) {
        PLOG(ERROR) << "open offset file err";
        return kOffset;
    }
    fclose(fp);
    PropertyConfig config(camera_paths::kOffsetConf);
    best += OffsetParam(config.queryProperty("origin"));
    if (!best.isFinite()) throw OffsetError("invalid offset");
    const std::string encoded = base64Encode(best.toString());
    LOG(INFO) << "offset param " << best;
    LOG(INFO) << "base64 string" << encoded;
    return config.setProperties({{"defaultOffset", encoded}}) ? kOk : kOffset;
}

void setCameraProperty(int index, std::string const& name, int value) {
    const bool isp = name == "gain" || name == "shutter";
    const std::vector<std::string> argv = {isp ? "xuProbe" : "v4l2-ctl", "-d", "/dev/video" + std::to_string(index),
                                           "-c", name + "=" + std::to_string(value)};
    std::string cmd;
    for (const auto& a : argv) cmd += (cmd.empty() ? "" : " ") + a;
    LOG(INFO) << "cmd " << cmd;
    pnocamera::runProcess(argv);
}

int calibrate(Calibration& c) {
    try {
        // Nothing is allocated for lenses that are not there.
        if (checkLensNodes(c.camera_num) != kOk) return kCamera;
        if (!c.bitmap.SetSize(c.image_width, c.image_height) || !c.bitmap.SetBitDepth(24)) return kBitmap;
        openCamera(c);
        OffsetParam sum(kStartOffset);
        initBuffer(c);
        c.results.clear();
        for (int round = 0; round < kRounds; ++round) {
            warmUpCamera(c);
            LOG(INFO) << "to caculate ";
            if (decodeFrames(c) != kOk) return kCodec;
            if (!writeBitmap(c)) return kBitmap;
            OffsetParam p = analyse();
            sum += p;
            if (!sum.isFinite()) throw OffsetError("invalid offset");
            c.results.push_back(p);
        }
        sum /= kRounds;
        if (!sum.isFinite()) throw OffsetError("invalid offset");
        rankResults(c.results, sum, c.camera_num);
        Status s = storeOffset(meanOfBest(c.results));
        if (s != kOk) return s;
        clearBuffer(c);
        sync();
        pnocamera::CloseFifo(c.fifo_fd);
        c.fifo_fd = -1;
        closeCamera(c);
        return kOk;
    } catch (const HardwareException& e) {
        LOG(ERROR) << "camera err: " << e.what();
        return kCamera;
    } catch (const OffsetError& e) {
        LOG(ERROR) << "offset err: " << e.what();
        return kOffset;
    } catch (const std::exception& e) {
        LOG(ERROR) << "calibration err: " << e.what();
        return kOffset;
    }
}

}  // namespace lensalign

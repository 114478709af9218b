#include "still_grab.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <glog/logging.h>
#include <turbojpeg.h>

#include "auto_exposure.h"
#include "common/process_util.h"
#include "config/app_config.h"
#include "config/config_paths.h"
#include "config/property_config.h"
#include "config/resolution_config.h"
#include "fifo_ipc/client_fifo.h"
#include "fifo_ipc/cmd_msg.h"
#include "tj_handle.h"

namespace stillgrab {

const char kUsageText[] = "usage: stillGrab <cameraNum wdith height mode imagePath orientation>";

namespace {

const int kWarmUpRounds = 30;

// Lens i's part of the joined image starts i * lens_offset bytes in.
Status decodeInto(Photo& photo, size_t lens_offset, int pitch) {
    std::vector<unsigned char*> out;
    for (size_t i = 0; i < photo.cameras.size(); ++i) out.push_back(photo.joined.data() + lens_offset * i);
    return decodeFrames(lastFrames(photo.cameras), photo.width, photo.height, out, pitch) ? kOk : kCodec;
}

}  // namespace

bool parseArguments(int argc, char** argv, Photo& photo) {
    if (argc < 7) return false;
    photo.camera_num = argumentNumber(argv[1]);
    photo.width = argumentNumber(argv[2]);
    photo.height = argumentNumber(argv[3]);
    photo.mode = argumentNumber(argv[4]);
    photo.image_path = argv[5];
    photo.stacked = std::string(argv[6]) != "h";
    // refused before anything is allocated for a frame no lens delivers
    if (!lensFrameSize(photo.width, photo.height)) return false;
    return joinedImageSize(photo.camera_num, photo.width, photo.height, photo.stacked, &photo.image_width,
                           &photo.image_height);
}

std::string queryModelText() { return PropertyConfig(camera_paths::kOffsetConf).queryProperty("defaultOffset"); }

void openCamera(Photo& photo) {
    photo.cameras = std::vector<V4L2Camera>(static_cast<size_t>(photo.camera_num));
    for (int i = 0; i < photo.camera_num; ++i) {
        photo.cameras[i].openCamera(i, photo.width, photo.height);
        photo.cameras[i].setWorkingMode(static_cast<unsigned>(photo.mode));
    }
    AppConfig config(camera_paths::kAppConfig);
    uint32_t ratio[3] = {100, 100, 100};
    config.queryRGBRatio(ratio);
    unsigned rgb[3] = {ratio[0], ratio[1], ratio[2]};
    setRGBRatio(rgb);
}

void warmUpCamera(Photo& photo) {
    settleCameras(photo.cameras, kWarmUpRounds);
    photo.cameras[0].frameSync();
    for (auto& camera : photo.cameras) camera.readFrame();
}

void initBuffer(Photo& photo) {
    photo.joined.assign(static_cast<size_t>(photo.image_width) * photo.image_height * 3, 0);
}

void clearBuffer(Photo& photo) { std::vector<unsigned char>().swap(photo.joined); }

Status horizontalCombine(Photo& photo) {
    // Lens i's rows start i frame-widths into each joined row.
    return decodeInto(photo, static_cast<size_t>(photo.width) * 3, photo.image_width * 3);
}

Status verticalCombine(Photo& photo) {
    return decodeInto(photo, static_cast<size_t>(photo.width) * photo.height * 3, photo.width * 3);
}

void Jpeg::Free::operator()(unsigned char* buf) const { tjFree(buf); }

void Jpeg::reset(unsigned char* buf, size_t size) {
    buf_.reset(buf);
    size_ = buf ? size : 0;
}

Status encodeImage(const Photo& photo, Jpeg& jpeg) {
    TjHandle handle(tjInitCompress());
    if (!handle) return kCodec;
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    int ret = tjCompress2(handle.get(), photo.joined.data(), photo.image_width, 0, photo.image_height, TJPF_RGB, &out,
                          &out_size, TJSAMP_444, 100, TJFLAG_FASTDCT);
    jpeg.reset(out, ret == 0 ? out_size : 0);
    return ret == 0 ? kOk : kCodec;
}

Status writeImage(const std::string& path, const unsigned char* data, size_t size) {
    // A new file only: nothing at the name, not even a link, is followed
    // or overwritten.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    FILE* fp = fd < 0 ? nullptr : fdopen(fd, "w");
    if (!fp) {
        PLOG(ERROR) << "create jpeg file err";
        if (fd >= 0) {
            close(fd);
            unlink(path.c_str());
        }
        return kOutputFile;
    }
    bool ok = fwrite(data, 1, size, fp) == size;
    ok = fflush(fp) == 0 && ok;
    ok = fclose(fp) == 0 && ok;
    if (!ok) {
        // A full card: no half-written photo stays behind.
        PLOG(ERROR) << "write jpeg file err";
        unlink(path.c_str());
        return kOutputFile;
    }
    return kOk;
}

void writeModel(const std::string& path, const std::string& model) {
    LOG(INFO) << "exiv2 -M \"set Exif.Image.Model " << model << "\" " << path;
    // The model text comes from a file clients can set: it goes to exiv2 as
    // one argument, never through a shell.
    pnocamera::runProcess({"exiv2", "-M", "set Exif.Image.Model " + model, path});
}

int takePhoto(Photo& photo, const char* program) {
    try {
        photo.model = queryModelText();
        openCamera(photo);

        CmdMessage prepare("prepare");
        prepare.AddDataMember<std::string>("process", program);
        if (photo.fifo_fd != -1) pnocamera::WriteClientFifo(photo.fifo_fd, prepare.GetString());

        warmUpCamera(photo);
        initBuffer(photo);
        Status s = photo.stacked ? verticalCombine(photo) : horizontalCombine(photo);
        if (s != kOk) return s;
        Jpeg jpeg;
        s = encodeImage(photo, jpeg);
        clearBuffer(photo);
        if (s != kOk) return s;
        s = writeImage(photo.image_path, jpeg.data(), jpeg.size());
        if (s != kOk) return s;
        writeModel(photo.image_path, photo.model);
        sync();
        pnocamera::CloseFifo(photo.fifo_fd);
        photo.fifo_fd = -1;
        return kOk;
    } catch (const HardwareException& e) {
        LOG(ERROR) << "camera err: " << e.what();
        return kCamera;
    } catch (const ConfigError& e) {
        LOG(ERROR) << "config err: " << e.what();
        return kConfig;
    } catch (const std::bad_alloc&) {
        LOG(ERROR) << "out of memory";
        return kNoMemory;
    }
}

}  // namespace stillgrab

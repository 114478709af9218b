#include "V4l2Camera_impl.h"

#include <glog/logging.h>

#include "HardwareException.h"
#include "common/dameon_util.h"

const std::unordered_map<std::string, cameraProperty> V4L2CameraImpl::property_map_ = {
    {"brightness", CAM_PROP_BRIGHTNESS},
    {"contrast", CAM_PROP_CONTRAST},
    {"saturation", CAM_PROP_SATURATION},
    {"hue", CAM_PROP_HUE},
    {"gamma", CAM_PROP_GAMMA},
    {"gain", CAM_PROP_GAIN},
    {"white_balance_temperature", CAM_PROP_WHITE_BALANCE_TEMPERATURE},
    {"white_balance_temperature_auto", CAM_PROP_WHITE_BALANCE_TEMPERATURE_AUTO},
    {"exposure_auto", CAM_PROP_EXPOSURE_AUTO},
    {"exposure_absolute", CAM_PROP_EXPOSURE_ABSOLUTE},
    {"sharpness", CAM_PROP_SHARPNESS},
    {"backlight_compensation", CAM_PROP_BACKLIGHT_COMPENSATION},
    {"power_line_frequency", CAM_PROP_POWER_LINE_FREQUENCY},
};

V4L2CameraImpl::V4L2CameraImpl() : last_values_(10) { camera_clear(&device_); }

V4L2CameraImpl::~V4L2CameraImpl() { release(); }

void V4L2CameraImpl::openCamera(int index, int width, int height) {
    if (open_) release();
    node_ = index;
    if (camera_init(&device_, index, width, height) < 0) {
        LOG(ERROR) << "open video /dev/video" << index << "error";
        open_ = false;
        throw HardwareException("open camera err...");
    }
    aitFlip(&device_, 0, 0);
    if (index == 1) aitFlip(&device_, 1, 1);
    reset();

    std::string lock_path = "/var/run/video" + std::to_string(index) + ".lck";
    if (lockfile(lock_path.c_str()) < 0) {
        // another process has this lens: give the device back before leaving
        camera_free(&device_);
        open_ = false;
        throw HardwareException("lck camera err...");
    }
    LOG(INFO) << "open video /dev/video" << index;
    open_ = true;
}

void V4L2CameraImpl::readFrame() {
    std::lock_guard<std::mutex> guard(lock_);
    if (frame_held_) {
        picture_free(&device_);
        frame_held_ = false;
    }
    frame_size_ = picture_get(&device_, &frame_data_);
    // held only when the driver gave a buffer out (an empty one included)
    frame_held_ = frame_size_ >= 0;
    if (frame_size_ <= 0) {
        frame_data_ = nullptr;
        throw HardwareException("unable to read camera...");
    }
}

int V4L2CameraImpl::readExposure(unsigned* out) {
    std::lock_guard<std::mutex> guard(lock_);
    int ret = aitReadExposure(&device_, out);
    if (ret != 0) LOG(ERROR) << "read exposure error " << ret;
    return ret;
}

int V4L2CameraImpl::setExposure(unsigned exposure) {
    std::lock_guard<std::mutex> guard(lock_);
    int ret = aitWriteExposure(&device_, exposure);
    if (ret != 0) LOG(ERROR) << "set exposure error";
    return ret;
}

int V4L2CameraImpl::readRGB(unsigned short* rgb) {
    std::lock_guard<std::mutex> guard(lock_);
    int ret = aitReadRGB(&device_, rgb);
    if (ret != 0) LOG(ERROR) << "read rgb error " << ret;
    return ret;
}

int V4L2CameraImpl::setRGB(unsigned short* rgb) {
    std::lock_guard<std::mutex> guard(lock_);
    int ret = aitWriteRGB(&device_, rgb);
    if (ret != 0) LOG(ERROR) << "read rgb error " << ret;
    return ret;
}

int V4L2CameraImpl::setWorkingMode(unsigned mode) { return aitSetWorkingMode(&device_, mode); }

int V4L2CameraImpl::frameSync() { return aitFrameSync(&device_); }

void V4L2CameraImpl::reset() {
    static const std::pair<const char*, int> defaults[] = {
        {"hue", 0},
        {"gamma", 128},
        {"contrast", 120},
        {"sharpness", 128},
        {"saturation", 128},
        {"exposure_auto", 1},
        {"brightness", 128},
        {"exposure_auto", 0},
        {"white_balance_temperature_auto", 1},
        {"power_line_frequency", 1},
    };
    for (const auto& d : defaults) setV4L2Property(d.first, d.second);
}

bool V4L2CameraImpl::isAutoExposure() const { return queryV4L2Property("exposure_auto") == 0; }

bool V4L2CameraImpl::isAutoWhiteBalance() const { return queryV4L2Property("white_balance_temperature_auto") == 1; }

bool V4L2CameraImpl::setV4L2Property(std::string const& name, int value) {
    std::lock_guard<std::mutex> guard(lock_);
    auto last = last_values_.find(name);
    if (last != last_values_.end() && last->second == value) {
        LOG(INFO) << "set same value . skip " << name << " " << value;
        return true;
    }
    int ret;
    if (name == "gain" || name == "shutter") {
        // the ISP writers answer a failed transfer with a positive errno
        int isp = name == "gain" ? BrgXU_WriteISP_gain(device_.fd, static_cast<unsigned>(value))
                                 : BrgXU_WriteISP_shutter(device_.fd, static_cast<unsigned>(value));
        ret = isp == 0 ? 0 : -1;
    } else {
        auto prop = property_map_.find(name);
        if (prop == property_map_.end()) {
            LOG(INFO) << "v4l2 property not found " << name;
            return false;
        }
        ret = setV4L2Ctrl(&device_, prop->second, value);
        if (name == "exposure_auto") {
            // the ISP picks its own gain and shutter again: resend them next time
            last_values_.erase("gain");
            last_values_.erase("shutter");
        }
    }
    if (ret < 0) {
        LOG(INFO) << "adjust " << name << value << " failed";
        return false;
    }
    LOG(INFO) << "adjust " << name << value << " success";
    last_values_[name] = value;
    return true;
}

int V4L2CameraImpl::queryV4L2Property(std::string const& name) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto last = last_values_.find(name);
    if (last != last_values_.end()) return last->second;
    auto prop = property_map_.find(name);
    if (prop == property_map_.end()) {
        LOG(INFO) << "query no exsit property " << name;
        return -1;
    }
    int value = getV4L2Ctrl(const_cast<cam_dev*>(&device_), prop->second);
    if (value < 0) {
        LOG(INFO) << "query propery failed " << name;
        return -1;
    }
    last_values_[name] = value;
    return value;
}

void V4L2CameraImpl::release() {
    if (!open_) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (frame_held_) picture_free(&device_);
    camera_free(&device_);
    open_ = false;
    frame_held_ = false;
    frame_data_ = nullptr;
    frame_size_ = 0;
    LOG(INFO) << "release video /dev/video" << node_;
}

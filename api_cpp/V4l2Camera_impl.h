// One open lens: the capture-layer record, a mutex around every device call
// and a cache of the control values last set or read.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

#include "cam_dev.h"

class V4L2CameraImpl {
public:
    V4L2CameraImpl();
    ~V4L2CameraImpl();
    V4L2CameraImpl(const V4L2CameraImpl&) = delete;
    V4L2CameraImpl& operator=(const V4L2CameraImpl&) = delete;

    // Opens lens index at width x height; throws HardwareException.
    void openCamera(int index, int width, int height);
    // Gives back the held frame and dequeues the next; throws HardwareException.
    void readFrame();
    const char* data() const { return frame_data_; }
    int size() const { return frame_size_; }
    bool isOpen() const { return open_; }
    int node() const { return node_; }

    // ISP calls: 0, or the bridge's error code (logged).
    int readExposure(unsigned* out);
    int setExposure(unsigned exposure);
    int readRGB(unsigned short* rgb);
    int setRGB(unsigned short* rgb);
    int setWorkingMode(unsigned mode);
    int frameSync();

    void reset();
    bool isAutoExposure() const;
    bool isAutoWhiteBalance() const;
    bool setV4L2Property(std::string const& name, int value);
    int queryV4L2Property(std::string const& name) const;
    void release();

    static const std::unordered_map<std::string, cameraProperty> property_map_;

private:
    mutable std::unordered_map<std::string, int> last_values_;
    int node_ = 0;
    int frame_size_ = 0;
    bool open_ = false;
    bool frame_held_ = false;
    cam_dev device_;
    char* frame_data_ = nullptr;
    mutable std::mutex lock_;
};

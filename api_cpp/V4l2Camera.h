// A lens of the camera: open by index, read JPEG frames, drive the ISP and
// the V4L2 controls. Failures that end the job throw HardwareException.
#pragma once

#include <memory>
#include <string>

#include "HardwareException.h"

class V4L2CameraImpl;

class V4L2Camera {
public:
    V4L2Camera();
    ~V4L2Camera();
    V4L2Camera(const V4L2Camera&) = delete;
    V4L2Camera& operator=(const V4L2Camera&) = delete;
    V4L2Camera(V4L2Camera&&) = delete;
    V4L2Camera& operator=(V4L2Camera&&) = delete;

    void openCamera(int index, int width, int height);
    void readFrame();
    const char* data() const;
    int size() const;
    bool isOpen() const;
    int node() const;
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

private:
    std::unique_ptr<V4L2CameraImpl> impl_;
};

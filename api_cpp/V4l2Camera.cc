#include "V4l2Camera.h"

#include "V4l2Camera_impl.h"

HardwareException::HardwareException(std::string const& message) : std::runtime_error(message) {}
HardwareException::~HardwareException() = default;

V4L2Camera::V4L2Camera() : impl_(std::make_unique<V4L2CameraImpl>()) {}
V4L2Camera::~V4L2Camera() = default;

void V4L2Camera::openCamera(int index, int width, int height) { impl_->openCamera(index, width, height); }
void V4L2Camera::readFrame() { impl_->readFrame(); }
const char* V4L2Camera::data() const { return impl_->data(); }
int V4L2Camera::size() const { return impl_->size(); }
bool V4L2Camera::isOpen() const { return impl_->isOpen(); }
int V4L2Camera::node() const { return impl_->node(); }
int V4L2Camera::readExposure(unsigned* out) { return impl_->readExposure(out); }
int V4L2Camera::setExposure(unsigned exposure) { return impl_->setExposure(exposure); }
int V4L2Camera::readRGB(unsigned short* rgb) { return impl_->readRGB(rgb); }
int V4L2Camera::setRGB(unsigned short* rgb) { return impl_->setRGB(rgb); }
int V4L2Camera::setWorkingMode(unsigned mode) { return impl_->setWorkingMode(mode); }
int V4L2Camera::frameSync() { return impl_->frameSync(); }
void V4L2Camera::reset() { impl_->reset(); }
bool V4L2Camera::isAutoExposure() const { return impl_->isAutoExposure(); }
bool V4L2Camera::isAutoWhiteBalance() const { return impl_->isAutoWhiteBalance(); }
bool V4L2Camera::setV4L2Property(std::string const& name, int value) { return impl_->setV4L2Property(name, value); }
int V4L2Camera::queryV4L2Property(std::string const& name) const { return impl_->queryV4L2Property(name); }
void V4L2Camera::release() { impl_->release(); }

// Makers of the carousel stops and the USB-storage screen, so the photo and
// record screens and the USB check reach them without their headers.
#pragma once

#include <memory>

class CameraState;
struct Context;

std::shared_ptr<CameraState> makeShutdownState(Context& ctx);
std::shared_ptr<CameraState> makeAPState(Context& ctx);
std::shared_ptr<CameraState> makeSettingsState(Context& ctx);
std::shared_ptr<CameraState> makeDeviceState(Context& ctx);

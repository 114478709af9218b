// Maker of the USB-storage screen, so the USB check reaches it without its
// header.
#pragma once

#include <memory>

class CameraState;
struct Context;

std::shared_ptr<CameraState> makeDeviceState(Context& ctx);

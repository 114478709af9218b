#include "controller/state/screen_hooks.h"

#include "controller/state/device_state.h"

std::shared_ptr<CameraState> makeDeviceState(Context& ctx) { return std::make_shared<DeviceState>(ctx); }

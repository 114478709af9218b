#include "controller/state/screen_hooks.h"

#include "controller/state/ap_state.h"
#include "controller/state/device_state.h"
#include "controller/state/settings_state.h"
#include "controller/state/shutdown_state.h"

std::shared_ptr<CameraState> makeShutdownState(Context& ctx) { return std::make_shared<ShutdownState>(ctx); }
std::shared_ptr<CameraState> makeAPState(Context& ctx) { return std::make_shared<APState>(ctx); }
std::shared_ptr<CameraState> makeSettingsState(Context& ctx) { return std::make_shared<SettingsState>(ctx); }
std::shared_ptr<CameraState> makeDeviceState(Context& ctx) { return std::make_shared<DeviceState>(ctx); }

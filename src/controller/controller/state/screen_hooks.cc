#include "controller/state/screen_hooks.h"

#include "controller/state/CameraState.h"

// The shutdown and access-point screens are not built yet.
std::shared_ptr<CameraState> makeShutdownState(Context&) { return nullptr; }
std::shared_ptr<CameraState> makeAPState(Context&) { return nullptr; }

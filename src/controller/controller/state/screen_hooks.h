// Screens of the carousel that come with the menus. Each maker gives the
// new screen, or nothing while that screen is not part of the build; the
// carousel then stays where it is.
#pragma once

#include <memory>

class CameraState;
struct Context;

std::shared_ptr<CameraState> makeShutdownState(Context& ctx);
std::shared_ptr<CameraState> makeAPState(Context& ctx);

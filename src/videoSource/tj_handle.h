// A TurboJPEG handle that is destroyed with its owner.
#pragma once

#include <memory>

#include <turbojpeg.h>

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

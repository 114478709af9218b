// Shared by the event loop's callbacks.
#pragma once

#include <exception>

#include <glog/logging.h>

// No error of a handler, a state or a model call may end the loop.
template <typename F>
void guarded(const char* where, F f) {
    try {
        f();
    } catch (const std::exception& e) {
        LOG(ERROR) << where << " failed: " << e.what();
    } catch (...) {
        LOG(ERROR) << where << " failed";
    }
}

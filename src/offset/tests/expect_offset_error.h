// The offset tests' check of a refused offset.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "offset/offset_param.h"

// Expects OffsetError with exactly this message.
template <typename F>
void expectOffsetError(F f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no OffsetError, expected \"" << message << "\"";
    } catch (const OffsetError& e) {
        EXPECT_EQ(message, e.what());
    }
}

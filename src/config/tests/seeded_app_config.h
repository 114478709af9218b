// The camera's configuration as the virtual camera seeds it, read through
// AppConfig.
#pragma once

#include <gtest/gtest.h>

#include "config/app_config.h"
#include "config/config_paths.h"

// Expects the seeded file's lens count, orientation and photo size.
inline void expectSeededAppConfig() {
    AppConfig config(camera_paths::kAppConfig);
    EXPECT_EQ(config.queryCameraNum(), 2);
    EXPECT_EQ(config.queryOrientation(), "h");
    ConfigParam photo;
    config.queryTakePhotoParam(photo);
    EXPECT_EQ(photo.width, 1440);
    EXPECT_EQ(photo.height, 1440);
}

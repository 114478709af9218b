// The capture tests' round trip of the lens's ISP registers.
#pragma once

#include <vector>

#include <gtest/gtest.h>

#include "V4l2Camera.h"

// Sets the exposure and the RGB gains through cam and expects both read back
// as set; back holds the gains read.
inline void expectIspReadBack(V4L2Camera& cam, unsigned exposure, unsigned short rgb[3], unsigned short back[3]) {
    EXPECT_EQ(cam.setExposure(exposure), 0);
    unsigned e = 0;
    EXPECT_EQ(cam.readExposure(&e), 0);
    EXPECT_EQ(e, exposure);
    EXPECT_EQ(cam.setRGB(rgb), 0);
    EXPECT_EQ(cam.readRGB(back), 0);
    EXPECT_EQ(std::vector<unsigned short>(back, back + 3), std::vector<unsigned short>(rgb, rgb + 3));
}

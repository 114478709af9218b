// Brings two open lenses to one exposure and one set of white-balance gains
// while their automatic modes run, so the joined picture has no seam in
// brightness or colour.
#pragma once

#include <vector>

#include "V4l2Camera.h"

// Per-channel white-balance ratio in percent (R, G, B), 100 each at start.
void setRGBRatio(unsigned* ratio);
// The ratio now in force.
void getRGBRatio(unsigned* ratio);

// One exposure for both cameras, scaled by factor (1: unscaled). Does nothing
// unless there are exactly two cameras, both in automatic exposure.
void consistExposure(std::vector<V4L2Camera>& cameras, double factor);

// One set of white-balance gains for both cameras, the channel means scaled
// by the ratio. Does nothing unless there are exactly two cameras, both in
// automatic white balance.
void consistWhiteBalance(std::vector<V4L2Camera>& cameras);

// The exposures last read from camera 0 and camera 1 by the matching.
void lastExposures(unsigned* out);

// The common exposure of two lenses: x = (E * e^r)^(1/(r+1)) with E the
// larger, e the smaller exposure and r = E/e, times factor. False (nothing
// to write) when an exposure is 0 or the result is not a number.
bool matchExposure(unsigned a, unsigned b, double factor, unsigned* out);

// The common gains: per channel the mean rounded down, times ratio / 100,
// saturating at 16 bits.
void matchWhiteBalance(const unsigned short* a, const unsigned short* b, const unsigned* ratio, unsigned short* out);

// Lens frames as the worker programs take them: the settling rounds before a
// capture, the size of the joined picture, and the JPEG frames decoded to RGB.
#pragma once

#include <cstddef>
#include <vector>

#include "V4l2Camera.h"

// One lens's JPEG frame.
struct Frame {
    const unsigned char* data;
    unsigned long size;
};

// The frame each lens read last, in lens order.
std::vector<Frame> lastFrames(std::vector<V4L2Camera>& cameras);

// rounds times: one frame from every lens in index order, then one exposure
// and one set of white-balance gains for the lenses.
void settleCameras(std::vector<V4L2Camera>& cameras, int rounds);

// A decimal number of a worker's command line; -1, which every such argument
// refuses, for one past int (cut to int it could read as a good size).
int argumentNumber(const char* text);

// The joined picture of n frames of width x height, side by side or
// stacked. False when there is no lens or no pixel, or when the picture's
// RGB bytes (or one row of them) would not fit the codec's int sizes.
bool joinedImageSize(int n, int width, int height, bool stacked, int* image_width, int* image_height);

// Decodes frame i (fast DCT, RGB) to out[i], rows pitch bytes apart (0: w*3).
// False when a frame does not decode or is not of the asked size.
bool decodeFrames(const std::vector<Frame>& frames, int width, int height, const std::vector<unsigned char*>& out,
                  int pitch);

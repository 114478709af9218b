// The capture format the lens tests ask for: MJPEG at a size, as the
// capture layer asks it.
#pragma once

#include <linux/videodev2.h>

namespace vcamtest {

inline v4l2_format mjpegFormat(int width, int height) {
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.width = width;
    f.fmt.pix.height = height;
    f.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    f.fmt.pix.field = V4L2_FIELD_INTERLACED;
    return f;
}

}  // namespace vcamtest

// The capture library against the virtual camera's lenses: open, stream,
// decode, controls, every ISP command, matching of two lenses, contention.
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include "V4l2Camera.h"
#include "auto_exposure.h"
#include "cam_dev.h"
#include "isp_read_back.h"
#include "support/camtest.h"

using camtest::LogCapture;

namespace {

struct Decoded {
    int width = 0;
    int height = 0;
    double luma = -1;      // mean of R+G+B / 3
    double red_green = 0;  // mean R / mean G
    double blue_green = 0;
};

// Decodes one JPEG frame to RGB; width 0 when it is not a JPEG.
Decoded decode(const char* data, int size) {
    Decoded d;
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    auto* src = reinterpret_cast<const unsigned char*>(data);
    if (tjDecompressHeader3(tj, src, size, &w, &h, &sub, &cs) == 0) {
        std::vector<unsigned char> rgb(size_t(w) * h * 3);
        if (tjDecompress2(tj, src, size, rgb.data(), w, 0, h, TJPF_RGB, TJFLAG_FASTDCT) == 0) {
            double r = 0, g = 0, b = 0;
            for (size_t i = 0; i < rgb.size(); i += 3) {
                r += rgb[i];
                g += rgb[i + 1];
                b += rgb[i + 2];
            }
            double n = double(w) * h;
            d.width = w;
            d.height = h;
            d.luma = (r + g + b) / (3 * n);
            d.red_green = g > 0 ? r / g : 0;
            d.blue_green = g > 0 ? b / g : 0;
        }
    }
    tjDestroy(tj);
    return d;
}

Decoded frameOf(V4L2Camera& cam, int skip = 3) {
    for (int i = 0; i < skip; ++i) cam.readFrame();
    cam.readFrame();
    return decode(cam.data(), cam.size());
}

bool isCharDevice(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

class LensTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(isCharDevice("/dev/video0")) << "the virtual camera has no lens 0";
        ASSERT_TRUE(isCharDevice("/dev/video1")) << "the virtual camera has no lens 1";
    }
};

}  // namespace

TEST_F(LensTest, FramesDecodeToTheAskedSize) {
    for (int size : {960, 1440, 2048}) {
        V4L2Camera cam;
        cam.openCamera(0, size, size);
        for (int i = 0; i < 5; ++i) {
            cam.readFrame();
            ASSERT_GT(cam.size(), 0);
            Decoded d = decode(cam.data(), cam.size());
            EXPECT_EQ(d.width, size);
            EXPECT_EQ(d.height, size);
        }
        cam.release();
        EXPECT_FALSE(cam.isOpen());
    }
}

TEST_F(LensTest, CaptureLayerStreamsTwoBuffers) {
    cam_dev dev;
    ASSERT_EQ(camera_init(&dev, 1, 1440, 1440), 0);
    EXPECT_EQ(dev.granted, 2u);
    EXPECT_EQ(dev.mapped, 2u);
    EXPECT_EQ(buffer_count, 2u);
    EXPECT_NE(dev.xu, nullptr);
    std::vector<uint32_t> seen;
    for (int i = 0; i < 6; ++i) {
        char* data = nullptr;
        int n = picture_get(&dev, &data);
        ASSERT_GT(n, 0);
        EXPECT_EQ(static_cast<unsigned char>(data[0]), 0xff);
        EXPECT_EQ(static_cast<unsigned char>(data[1]), 0xd8);
        seen.push_back(dev.frame.index);
        ASSERT_EQ(picture_free(&dev), 0);
    }
    EXPECT_NE(std::find(seen.begin(), seen.end(), 0u), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), 1u), seen.end());
    char date[9] = {0};
    EXPECT_EQ(aitGetVersion(&dev, date), 0u);
    EXPECT_EQ(std::strlen(date), 8u);
    EXPECT_EQ(std::string(date, 2), "20");
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(isdigit(date[i])) << date;
    int month = std::stoi(std::string(date + 4, 2));
    EXPECT_GE(month, 1);
    EXPECT_LE(month, 12);
    EXPECT_EQ(camera_free(&dev), 0);
}

TEST_F(LensTest, ControlsSetClampedAndReadBack) {
    cam_dev dev;
    ASSERT_EQ(camera_init(&dev, 0, 1440, 1440), 0);
    EXPECT_EQ(setV4L2Ctrl(&dev, CAM_PROP_BRIGHTNESS, 100), 1);
    EXPECT_EQ(getV4L2Ctrl(&dev, CAM_PROP_BRIGHTNESS), 100);
    EXPECT_EQ(setV4L2Ctrl(&dev, CAM_PROP_CONTRAST, 1000000), 0) << "the driver clamps";
    int contrast = getV4L2Ctrl(&dev, CAM_PROP_CONTRAST);
    EXPECT_GE(contrast, 0);
    EXPECT_LT(contrast, 1000000);
    testing::internal::CaptureStdout();
    EXPECT_EQ(setV4L2Ctrl(&dev, static_cast<cameraProperty>(V4L2_CID_BASE + 0x7f), 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ setV4L2Ctrl ] ERROR\n");
    EXPECT_EQ(camera_free(&dev), 0);

    V4L2Camera cam;
    cam.openCamera(0, 1440, 1440);
    EXPECT_TRUE(cam.isAutoExposure());
    EXPECT_TRUE(cam.isAutoWhiteBalance());
    for (const char* name : {"brightness", "contrast", "saturation", "hue", "gamma", "sharpness",
                             "power_line_frequency", "backlight_compensation"}) {
        int v = cam.queryV4L2Property(name);
        EXPECT_GE(v, 0) << name;
    }
    EXPECT_EQ(cam.queryV4L2Property("gamma"), 128);
    EXPECT_TRUE(cam.setV4L2Property("saturation", 90));
    EXPECT_EQ(cam.queryV4L2Property("saturation"), 90);
}

TEST_F(LensTest, IspRegistersKeepWhatWasWritten) {
    V4L2Camera cam;
    cam.openCamera(1, 1440, 1440);
    unsigned short rgb[3] = {300, 256, 350};
    unsigned short back[3] = {0, 0, 0};
    expectIspReadBack(cam, 1234, rgb, back);
    EXPECT_TRUE(cam.setV4L2Property("gain", 1600));
    EXPECT_TRUE(cam.setV4L2Property("shutter", 5000));
    EXPECT_EQ(cam.setWorkingMode(1), 0);
    EXPECT_EQ(cam.frameSync(), 0);

    cam_dev dev;
    cam.release();
    ASSERT_EQ(camera_init(&dev, 1, 1440, 1440), 0);
    unsigned gain = 0, shutter = 0;
    EXPECT_EQ(aitReadGain(&dev, &gain), 0);
    EXPECT_EQ(aitReadShutter(&dev, &shutter), 0);
    EXPECT_EQ(gain, 1600u);
    EXPECT_EQ(shutter, 5000u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(aitWriteGain(&dev, 20001), -1);
    EXPECT_EQ(aitWriteShutter(&dev, 0), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(aitReadGain(&dev, &gain), 0);
    EXPECT_EQ(gain, 1600u);
    EXPECT_EQ(aitFlip(&dev, 1, 0), 0);
    EXPECT_EQ(camera_free(&dev), 0);
}

TEST_F(LensTest, FrameBrightnessFollowsExposure) {
    V4L2Camera cam;
    cam.openCamera(0, 960, 960);
    ASSERT_EQ(cam.setExposure(300), 0);
    double dark = frameOf(cam).luma;
    ASSERT_EQ(cam.setExposure(3000), 0);
    double bright = frameOf(cam).luma;
    EXPECT_GT(bright, dark + 10) << dark << " " << bright;
}

TEST_F(LensTest, MatchingConvergesTwoLenses) {
    std::vector<V4L2Camera> cams(2);
    cams[0].openCamera(0, 960, 960);
    cams[1].openCamera(1, 960, 960);
    unsigned short warm[3] = {600, 256, 200};
    unsigned short cold[3] = {200, 256, 600};
    ASSERT_EQ(cams[0].setExposure(500), 0);
    ASSERT_EQ(cams[1].setExposure(4000), 0);
    ASSERT_EQ(cams[0].setRGB(warm), 0);
    ASSERT_EQ(cams[1].setRGB(cold), 0);
    Decoded a0 = frameOf(cams[0]);
    Decoded b0 = frameOf(cams[1]);
    ASSERT_GT(a0.width, 0);
    ASSERT_GT(b0.width, 0);

    consistExposure(cams, 1);
    consistWhiteBalance(cams);

    unsigned e0 = 0, e1 = 0;
    ASSERT_EQ(cams[0].readExposure(&e0), 0);
    ASSERT_EQ(cams[1].readExposure(&e1), 0);
    unsigned want = 0;
    ASSERT_TRUE(matchExposure(500, 4000, 1, &want));
    EXPECT_EQ(e0, want);
    EXPECT_EQ(e1, want);
    unsigned short g0[3], g1[3];
    ASSERT_EQ(cams[0].readRGB(g0), 0);
    ASSERT_EQ(cams[1].readRGB(g1), 0);
    EXPECT_EQ(std::vector<unsigned short>(g0, g0 + 3), (std::vector<unsigned short>{400, 256, 400}));
    EXPECT_EQ(std::vector<unsigned short>(g1, g1 + 3), (std::vector<unsigned short>{400, 256, 400}));

    // the pictures came closer in brightness and in colour
    Decoded a1 = frameOf(cams[0]);
    Decoded b1 = frameOf(cams[1]);
    EXPECT_LT(std::fabs(a1.luma - b1.luma), std::fabs(a0.luma - b0.luma));
    EXPECT_LT(std::fabs(a1.red_green - b1.red_green), std::fabs(a0.red_green - b0.red_green));
    EXPECT_LT(std::fabs(a1.blue_green - b1.blue_green), std::fabs(a0.blue_green - b0.blue_green));

    // a second round keeps them together
    consistExposure(cams, 1);
    ASSERT_EQ(cams[0].readExposure(&e0), 0);
    ASSERT_EQ(cams[1].readExposure(&e1), 0);
    EXPECT_EQ(e0, e1);
}

// The scene a lens looks at, and its JPEG frames as the bridge sends them
// (baseline, 4:2:2), exposed with the ISP's current exposure, gain and
// white-balance gains.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vcam {

// What the ISP applies to one frame. Channel factor: light * cast[c] *
// exposure / 1000 * gain / 100 * rgb[c] / 256, so a lens whose exposure and
// gains are its own metered values shows the scene at its nominal level.
struct Exposure {
    double light = 1.0;             // scene brightness of this lens
    double cast[3] = {1, 1, 1};     // colour of the light per channel
    uint32_t exposure = 1000;
    uint32_t gain = 100;
    uint16_t rgb[3] = {256, 256, 256};
    bool mirror = false;            // left-right
    bool upside_down = false;

    bool operator==(const Exposure& o) const;
    double factor(int channel) const;
};

class TestPicture {
public:
    explicit TestPicture(int lens);
    ~TestPicture();
    TestPicture(const TestPicture&) = delete;
    TestPicture& operator=(const TestPicture&) = delete;

    // A JPEG of width x height; the last one is kept and handed out again
    // while nothing changed. Empty when encoding failed.
    const std::vector<uint8_t>& frame(int width, int height, const Exposure& e);

    // The unexposed scene, RGB rows top to bottom (for tests).
    const std::vector<uint8_t>& scene(int width, int height);

private:
    struct TjHandle;
    int lens_;
    int scene_w_ = 0, scene_h_ = 0;
    std::vector<uint8_t> scene_;
    std::vector<uint8_t> exposed_;
    int frame_w_ = 0, frame_h_ = 0;
    Exposure frame_exposure_;
    std::vector<uint8_t> jpeg_;
    std::unique_ptr<TjHandle> tj_;
};

}  // namespace vcam

// A stand-in for the video driver's ioctls, for tests that need no lens:
// it records every extension-unit transfer and answers as a bridge ISP would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include <linux/uvcvideo.h>

#include "cam_ioctl.h"

namespace camtest {

class FakeDriver {
public:
    struct Xfer {
        int fd;
        uint8_t unit;
        uint8_t selector;
        uint8_t query;
        uint16_t size;
        std::vector<uint8_t> data;
    };

    FakeDriver();   // routes the layer's ioctls here
    ~FakeDriver();  // and back to the driver
    FakeDriver(const FakeDriver&) = delete;
    FakeDriver& operator=(const FakeDriver&) = delete;

    // Every UVCIOC_CTRL_QUERY, in order.
    std::vector<Xfer> xfers;
    // SET_CUR packets sent to selector 1.
    std::vector<std::vector<uint8_t>> commands() const;
    // Every UVCIOC_CTRL_MAP record, in order.
    std::vector<uvc_xu_control_mapping> mappings;
    int map_errno = 0;  // fail every mapping with this

    // Queued errors for the next transfers (0 lets one through); when empty
    // transfers succeed. EINTR is counted as a try.
    std::deque<int> xfer_errors;

    // ISP state.
    std::deque<unsigned> exposure_answers;  // read-exposure answers in order
    unsigned exposure = 0;
    unsigned gain = 0;
    unsigned shutter = 0;
    std::deque<std::vector<unsigned short>> rgb_answers;
    unsigned short rgb[3] = {0, 0, 0};
    uint8_t fw_status = 0;
    uint8_t fw_date[7] = {'1', '5', 'M', 'a', 'r', '0', '9'};
    uint8_t fw_version[6] = {1, 2, 3, 4, 5, 6};

    // Standard controls: value per id; ids not here fail with EINVAL.
    std::map<uint32_t, int> ctrls;
    std::map<uint32_t, std::pair<int, int>> ranges;    // clamps a set
    std::vector<std::pair<uint32_t, int>> s_ctrl_log;  // every S_CTRL asked
    int g_ctrl_calls = 0;
    int s_ctrl_calls = 0;

    // Any other request goes here (default: ENOTTY).
    std::function<int(int fd, unsigned long request, void* arg)> other;

private:
    static int dispatch(int fd, unsigned long request, void* arg);
    int handle(int fd, unsigned long request, void* arg);
    int query(int fd, void* arg);
    std::vector<uint8_t> last_cmd_;
    cam_ioctl_fn previous_;
    static FakeDriver* current_;
};

}  // namespace camtest

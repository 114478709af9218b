#include "fake_driver.h"

#include <errno.h>

#include <algorithm>
#include <cstring>

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>

#include "brg_xu.h"

namespace camtest {

FakeDriver* FakeDriver::current_ = nullptr;

FakeDriver::FakeDriver() {
    current_ = this;
    previous_ = cam_set_ioctl(&FakeDriver::dispatch);
}

FakeDriver::~FakeDriver() {
    cam_set_ioctl(previous_);
    current_ = nullptr;
}

std::vector<std::vector<uint8_t>> FakeDriver::commands() const {
    std::vector<std::vector<uint8_t>> out;
    for (auto& x : xfers)
        if (x.selector == BRG_XU_SEL_SET_ISP && x.query == UVC_SET_CUR) out.push_back(x.data);
    return out;
}

int FakeDriver::dispatch(int fd, unsigned long request, void* arg) { return current_->handle(fd, request, arg); }

int FakeDriver::handle(int fd, unsigned long request, void* arg) {
    if (request == UVCIOC_CTRL_QUERY) return query(fd, arg);
    if (request == UVCIOC_CTRL_MAP) {
        auto* m = static_cast<uvc_xu_control_mapping*>(arg);
        mappings.push_back(*m);
        if (map_errno) {
            errno = map_errno;
            return -1;
        }
        return 0;
    }
    if (request == VIDIOC_G_CTRL || request == VIDIOC_S_CTRL) {
        auto* c = static_cast<v4l2_control*>(arg);
        auto it = ctrls.find(c->id);
        request == VIDIOC_G_CTRL ? ++g_ctrl_calls : ++s_ctrl_calls;
        if (request == VIDIOC_S_CTRL) s_ctrl_log.emplace_back(c->id, c->value);
        if (it == ctrls.end()) {
            errno = EINVAL;
            return -1;
        }
        if (request == VIDIOC_G_CTRL) {
            c->value = it->second;
        } else {
            int v = c->value;
            auto r = ranges.find(c->id);
            if (r != ranges.end()) v = std::max(r->second.first, std::min(r->second.second, v));
            it->second = v;
        }
        return 0;
    }
    if (other) return other(fd, request, arg);
    errno = ENOTTY;
    return -1;
}

int FakeDriver::query(int fd, void* arg) {
    auto* q = static_cast<uvc_xu_control_query*>(arg);
    Xfer x{fd, q->unit, q->selector, q->query, q->size, {}};
    if (q->query == UVC_SET_CUR) x.data.assign(q->data, q->data + q->size);
    xfers.push_back(x);
    if (!xfer_errors.empty()) {
        int err = xfer_errors.front();
        xfer_errors.pop_front();
        if (err) {
            errno = err;
            return -1;
        }
    }
    if (q->query == UVC_SET_CUR && q->selector == BRG_XU_SEL_SET_ISP) {
        last_cmd_.assign(q->data, q->data + 8);
        const uint8_t* p = q->data;
        if (p[0] == BRG_GRP_ISP) {
            switch (p[1]) {
                case BRG_ISP_WRITE_EXPOSURE:
                    exposure = brg_get_le32(p + 2);
                    break;
                case BRG_ISP_WRITE_RGB:
                    rgb[0] = brg_get_le16(p + 2);
                    rgb[1] = brg_get_le16(p + 4);
                    rgb[2] = brg_get_le16(p + 6);
                    break;
                case BRG_ISP_WRITE_GAIN:
                    gain = brg_get_le16(p + 2);
                    break;
                case BRG_ISP_WRITE_SHUTTER:
                    shutter = brg_get_le16(p + 2);
                    break;
                default:
                    break;
            }
        }
        return 0;
    }
    if (q->query == UVC_GET_CUR && q->selector == BRG_XU_SEL_GET_ISP) {
        uint8_t r[8] = {0};
        if (last_cmd_.size() == 8 && last_cmd_[0] == BRG_GRP_ISP) {
            switch (last_cmd_[1]) {
                case BRG_ISP_READ_EXPOSURE: {
                    unsigned e = exposure;
                    if (!exposure_answers.empty()) {
                        e = exposure_answers.front();
                        exposure_answers.pop_front();
                    }
                    brg_put_le32(r + 2, e);
                    break;
                }
                case BRG_ISP_READ_RGB: {
                    unsigned short v[3] = {rgb[0], rgb[1], rgb[2]};
                    if (!rgb_answers.empty()) {
                        std::copy(rgb_answers.front().begin(), rgb_answers.front().end(), v);
                        rgb_answers.pop_front();
                    }
                    brg_put_le16(r + 2, v[0]);
                    brg_put_le16(r + 4, v[1]);
                    brg_put_le16(r + 6, v[2]);
                    break;
                }
                case BRG_ISP_READ_GAIN:
                    brg_put_le32(r + 2, gain);
                    break;
                case BRG_ISP_READ_SHUTTER:
                    brg_put_le32(r + 2, shutter);
                    break;
                default:
                    break;
            }
        } else if (last_cmd_.size() == 8 && last_cmd_[0] == BRG_GRP_FW_DATE) {
            r[0] = fw_status;
            std::memcpy(r + 1, fw_date, 7);
        } else if (last_cmd_.size() == 8 && last_cmd_[0] == BRG_GRP_FW_VERSION) {
            r[0] = fw_status;
            std::memcpy(r + 2, fw_version, 6);
        }
        std::memcpy(q->data, r, std::min<size_t>(q->size, 8));
        return 0;
    }
    // other selectors: echo nothing, succeed
    if (q->query == UVC_GET_CUR) std::memset(q->data, 0xA5, q->size);
    return 0;
}

}  // namespace camtest

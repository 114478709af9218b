// The bridge's command family on the extension unit and vendor requests:
// ISP and MMP commands, video options, sensor registers, bit rate, TV
// preview, flash write protection, ROM-boot reset, face detection; and the
// pan-tilt-zoom controls through V4L2.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "BrgXu.h"
#include "brg_transport.h"

using brg::kVendorIn;
using brg::kVendorOut;
using brg::xuChecked;
using brg::xuTransfer;

int BrgIspCmdSet(BrgDevHandle* handle, uint8_t* cmd) {
    return xuChecked(handle, cmd, BRG_XU_ISP_SET, 8, true, 500, "BrgIspCmdSet failed : 0x%X");
}

int BrgIspCmdGetResult(BrgDevHandle* handle, uint8_t* cmd, unsigned int timeout) {
    if (!handle) return -1;
    int r = xuTransfer(handle, cmd, BRG_XU_ISP_GET, 8, false, timeout);
    if (r < 0) printf("BrgIspCmdGet failed : 0x%X", static_cast<unsigned>(r));
    return r;
}

int BrgMMPCmdSet16(BrgDevHandle* handle, uint8_t* cmd) {
    if (!handle) return -1;
    return xuTransfer(handle, cmd, BRG_XU_MMP16_SET, 16, true, 1000);
}

int BrgMMPCmdGetResult16(BrgDevHandle* handle, uint8_t* cmd) {
    return xuChecked(handle, cmd, BRG_XU_MMP16_GET, 16, false, 500, "BrgIspCmdGet failed : 0x%X");
}

int BrgXU_SetVideoOption(BrgDevHandle* handle, uint32_t options) {
    uint8_t cmd[16] = {0x02, 0x02};
    BrgPutLe32(cmd + 2, options);
    return BrgXU_XuCmd(handle, cmd, BRG_XU_MMP16_SET, 16, 1);
}

int BrgXU_GetVideoOption(BrgDevHandle* handle, uint32_t* options) {
    uint8_t cmd[16] = {0x02, 0x01};
    int r = BrgXU_XuCmd(handle, cmd, BRG_XU_MMP16_SET, 16, 1);
    if (r != 0) return r;
    memset(cmd, 0, sizeof(cmd));
    r = BrgXU_XuCmd(handle, cmd, BRG_XU_MMP16_GET, 16, 0);
    if (r != 0) return r;
    // Answer bytes 1-4, little-endian as the set command sends it.
    if (options) *options = BrgGetLe32(cmd + 1);
    return 0;
}

int WriteSensorReg(BrgDevHandle* handle, uint16_t addr, uint16_t val) {
    uint8_t cmd[8] = {0x0A, 0x03};
    BrgPutLe16(cmd + 2, addr);
    BrgPutLe16(cmd + 4, val);
    return BrgIspCmdSet(handle, cmd);
}

int ReadSensorReg(BrgDevHandle* handle, uint16_t addr, uint16_t* val) {
    uint8_t cmd[8] = {0x0A, 0x02};
    BrgPutLe16(cmd + 2, addr);
    int r = BrgIspCmdSet(handle, cmd);
    if (r != 0) return r;
    r = BrgIspCmdGetResult(handle, cmd, 1000);
    // A failed read leaves the register value unknown.
    if (r < 0) return BRG_TRANSFER_FAILED;
    if (val) *val = static_cast<uint16_t>(cmd[3] << 8 | cmd[2]);
    return 0;
}

int SetH264Bitrate(BrgDevHandle* handle, uint16_t kbps) {
    uint8_t cmd[8] = {0x08, 0xFF};
    BrgPutLe16(cmd + 2, kbps);
    return BrgIspCmdSet(handle, cmd);
}

int Set_SEC_TV_PreviewParam(BrgDevHandle* handle, uint8_t signal_type, uint8_t mode, uint16_t crop_x, uint16_t crop_y,
                            uint16_t crop_w, uint16_t crop_h, uint16_t scale_w, uint16_t scale_h) {
    uint8_t cmd[16] = {0x01, signal_type, mode};
    const uint16_t values[6] = {crop_x, crop_y, crop_w, crop_h, scale_w, scale_h};
    for (int i = 0; i < 6; ++i) BrgPutLe16(cmd + 3 + 2 * i, values[i]);
    return BrgMMPCmdSet16(handle, cmd);
}

int DisableFlashWP(BrgDevHandle* handle) {
    if (!handle) return -1;
    uint8_t cmd[16] = {0x07, 0x00};
    if (BrgMMPCmdSet16(handle, cmd) < 0) return BRG_TRANSFER_FAILED;
    uint8_t cmd2[16] = {0x07, 0x02};
    return BrgMMPCmdSet16(handle, cmd2) < 0 ? BRG_TRANSFER_FAILED : 0;
}

int RombootReset(BrgDevHandle* handle) {
    uint8_t cmd[16] = {0xFF, 0x03};
    int r = BrgXU_XuCmd(handle, cmd, BRG_XU_MMP16_SET, 16, 1);
    if (r != 0) return r;
    uint8_t cmd2[16] = {0x16, 0x00};
    return BrgXU_XuCmd(handle, cmd2, BRG_XU_MMP_SET, 16, 1);
}

int SetFD_Param(BrgDevHandle* handle, FACE_CMD* param) {
    if (!handle) return -1;
    int r = libusb_control_transfer(handle->handle, kVendorOut, 2, 0, 0, reinterpret_cast<uint8_t*>(param),
                                    sizeof(FACE_CMD), 500);
    if (r < 0) {
        printf("Failed to set FD parameter 0x%X", static_cast<unsigned>(r));
        return BRG_TRANSFER_FAILED;
    }
    return 0;
}

int GetFD_Position(BrgDevHandle* handle, FacePositionList* list) {
    if (!handle) return -1;
    uint8_t answer[81] = {0};
    int r = libusb_control_transfer(handle->handle, kVendorIn, 1, 0, 0, answer, sizeof(answer), 500);
    if (r < 0) {
        printf("Failed to get fd pos array: 0x%X", static_cast<unsigned>(r));
        return BRG_TRANSFER_FAILED;
    }
    // Only the rectangles the answer holds: at most ten, and only whole ones.
    int count = r > 0 ? answer[0] : 0;
    count = std::min(count, std::min(10, (r - 1) / 8));
    list->num_face = static_cast<uint16_t>(count);
    for (int i = 0; i < count; ++i) {
        const uint8_t* p = answer + 1 + 8 * i;
        list->face_rect[i].left = BrgGetLe16(p);
        list->face_rect[i].top = BrgGetLe16(p + 2);
        list->face_rect[i].right = BrgGetLe16(p + 4);
        list->face_rect[i].bottom = BrgGetLe16(p + 6);
    }
    return 0;
}

namespace {

constexpr uint32_t kPtzClass = 0x009A0001;

int ptzControl(int fd, uint32_t axis, int32_t* val, bool set) {
    int own = -1;
    if (fd <= 0) {
        own = open("/dev/video0", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (own < 0) {
            puts("Failed to open uvc device.\r");
            return BRG_TRANSFER_FAILED;
        }
        fd = own;
    }
    v4l2_ext_control ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    ctrl.id = axis;
    ctrl.value = *val;
    v4l2_ext_controls ctrls;
    memset(&ctrls, 0, sizeof(ctrls));
    ctrls.ctrl_class = kPtzClass;
    ctrls.count = 1;
    ctrls.controls = &ctrl;
    int r = ioctl(fd, set ? VIDIOC_S_EXT_CTRLS : VIDIOC_G_EXT_CTRLS, &ctrls);
    int err = errno;
    if (own >= 0) close(own);
    if (r < 0) {
        printf("PTZ ioctrl error 0x%d\r\n", err);
        printf("%s\r\n", strerror(err));
        return BRG_TRANSFER_FAILED;
    }
    if (!set) *val = ctrl.value;
    return 0;
}

}  // namespace

int GetPTZ_Pos(int fd, uint32_t axis, int32_t* val) { return ptzControl(fd, axis, val, false); }

int SetPTZ_Pos(int fd, uint32_t axis, int32_t val) { return ptzControl(fd, axis, &val, true); }

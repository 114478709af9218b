#include "BrgXu.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr unsigned int kXuTimeout = 1000;
constexpr uint8_t kXuSetType = 0x20;  // host to device, class, interface
constexpr uint8_t kXuGetType = 0xA0;  // device to host, class, interface
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;

// Vendor requests of the download paths.
constexpr uint8_t kReqAnnounceLength = 0x82;
constexpr uint8_t kReqPartialBurn = 4;
constexpr uint8_t kReqCheckSum = 7;
constexpr uint8_t kReqLogStart = 0x85;
constexpr uint8_t kReqLogStop = 0x86;

constexpr uint8_t kDownloadEp = 0x04;
constexpr uint8_t kPcsyncEp = 0x01;
constexpr uint8_t kLogEp = 0x85;

constexpr int kChunk = 32;
constexpr uint8_t kBurnFailed = 0x82;

// The longest image the tool's 32-bit lengths and messages carry, with the
// room the update paths put behind it.
constexpr uint64_t kMaxImageLength = INT32_MAX - 64;

// One extension-unit control transfer; the libusb result.
int xuTransfer(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint16_t length, bool set,
               unsigned int timeout) {
    return libusb_control_transfer(handle->handle, set ? kXuSetType : kXuGetType, set ? kSetCur : kGetCur,
                                   static_cast<uint16_t>(selector << 8), BRG_XU_INDEX, data, length, timeout);
}

// BrgXU_XuCmd that also hands back the libusb result.
int xuCmd(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint8_t length, uint8_t direction, int* usb_result) {
    if (!handle) return -1;
    int r = xuTransfer(handle, data, selector, length, direction != 0, kXuTimeout);
    if (usb_result) *usb_result = r;
    if (r < 0) {
        printf("xuProbe failed : 0x%X", static_cast<unsigned>(r));
        return BRG_TRANSFER_FAILED;
    }
    return 0;
}

int vendorOut(BrgDevHandle* handle, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
              unsigned int timeout) {
    return libusb_control_transfer(handle->handle, kVendorOut, request, value, index, data, length, timeout);
}

// Tells the module how many bytes follow on the bulk endpoint.
bool announceLength(BrgDevHandle* handle, uint32_t length) {
    return vendorOut(handle, kReqAnnounceLength, static_cast<uint16_t>(length & 0xFFFF),
                     static_cast<uint16_t>(length >> 16), nullptr, 0, kXuTimeout) >= 0;
}

// Sends data on a bulk OUT endpoint in pieces of up to piece bytes. Stops at
// the first piece that fails or goes out short, so a holed image is never
// followed by its burn command.
bool sendBulk(BrgDevHandle* handle, uint8_t endpoint, const uint8_t* data, uint32_t length, uint32_t piece,
              unsigned int timeout) {
    for (uint32_t sent = 0; sent < length;) {
        int n = static_cast<int>(std::min(piece, length - sent));
        int done = 0;
        int r = libusb_bulk_transfer(handle->handle, endpoint, const_cast<uint8_t*>(data + sent), n, &done, timeout);
        if (r == LIBUSB_ERROR_TIMEOUT) {
            printf("PCSYNC_BULK_OUT_EP(%d) timeout.\r\n", endpoint);
            return false;
        }
        if (r < 0 || done != n) {
            printf("PCSYNC_BULK_OUT_EP(%d) Error.\r\n", endpoint);
            return false;
        }
        sent += static_cast<uint32_t>(n);
    }
    return true;
}

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

}  // namespace

libusb_device* FindBrgDevice(libusb_device** list, uint16_t vid, uint16_t pid) {
    for (libusb_device** dev = list; *dev; ++dev) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(*dev, &desc) < 0) {
            fprintf(stderr, "failed to get device descriptor");
            return nullptr;
        }
        if (desc.idVendor == vid && desc.idProduct == pid) return *dev;
    }
    return nullptr;
}

BrgDevHandle* OpenBrgDevice(uint16_t vid, uint16_t pid, uint8_t interface_num) {
    libusb_context* cntx = nullptr;
    int r = libusb_init(&cntx);
    puts("lubusb initialized. \r");
    if (r < 0) {
        printf("libusb_init return error 0x%X,\r\n", static_cast<unsigned>(r));
        return nullptr;
    }
    libusb_device** list = nullptr;
    if (libusb_get_device_list(cntx, &list) < 0) {
        libusb_exit(cntx);
        return nullptr;
    }
    puts("get device list.\r");
    libusb_device* dev = FindBrgDevice(list, vid, pid);
    if (!dev) {
        puts("No BRG device has been detected.\r");
        libusb_free_device_list(list, 1);
        libusb_exit(cntx);
        return nullptr;
    }
    puts("found a usb device.\r");
    libusb_device_handle* dh = nullptr;
    if (libusb_open(dev, &dh) != 0) {
        libusb_free_device_list(list, 1);
        libusb_exit(cntx);
        return nullptr;
    }
    int hr = 0;
    if (interface_num != BRG_NO_INTERFACE) {
        // The claim decides; a driver that cannot be detached makes it fail.
        libusb_detach_kernel_driver(dh, interface_num);
        hr = libusb_claim_interface(dh, interface_num);
    }
    printf("OpenBrgDevice claim interface. interface=%d hr=%d\r\n", interface_num, hr);
    if (hr != 0) {
        libusb_close(dh);
        libusb_free_device_list(list, 1);
        libusb_exit(cntx);
        return nullptr;
    }
    auto* handle = static_cast<BrgDevHandle*>(calloc(1, sizeof(BrgDevHandle)));
    if (!handle) {
        if (interface_num != BRG_NO_INTERFACE) libusb_release_interface(dh, interface_num);
        libusb_close(dh);
        libusb_free_device_list(list, 1);
        libusb_exit(cntx);
        return nullptr;
    }
    handle->handle = dh;
    handle->cntx = cntx;
    handle->interface_num = interface_num;
    libusb_free_device_list(list, 1);
    return handle;
}

bool CheckDeviceExist(uint16_t vid, uint16_t pid) {
    libusb_context* cntx = nullptr;
    if (libusb_init(&cntx) < 0) return false;
    libusb_device** list = nullptr;
    bool found = false;
    if (libusb_get_device_list(cntx, &list) >= 0) {
        found = FindBrgDevice(list, vid, pid) != nullptr;
        libusb_free_device_list(list, 1);
    }
    libusb_exit(cntx);
    return found;
}

void CloseBrgDevice(BrgDevHandle* handle) {
    if (!handle) return;
    if (handle->interface_num <= 254) libusb_release_interface(handle->handle, handle->interface_num);
    libusb_close(handle->handle);
    libusb_exit(handle->cntx);
    free(handle);
}

int BrgXU_XuCmd(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint8_t length, uint8_t direction) {
    return xuCmd(handle, data, selector, length, direction, nullptr);
}

int BrgIspCmdSet(BrgDevHandle* handle, uint8_t* cmd) {
    if (!handle) return -1;
    int r = xuTransfer(handle, cmd, BRG_XU_ISP_SET, 8, true, 500);
    if (r < 0) {
        printf("BrgIspCmdSet failed : 0x%X", static_cast<unsigned>(r));
        return BRG_TRANSFER_FAILED;
    }
    return 0;
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
    if (!handle) return -1;
    int r = xuTransfer(handle, cmd, BRG_XU_MMP16_GET, 16, false, 500);
    if (r < 0) {
        printf("BrgIspCmdGet failed : 0x%X", static_cast<unsigned>(r));
        return BRG_TRANSFER_FAILED;
    }
    return 0;
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

bool ReadFirmwareImage(const char* path, std::vector<uint8_t>& buffer, uint32_t& length, size_t pad,
                       const char* size_message) {
    // Non-blocking, so a FIFO given as the image does not hang the open.
    int fd = path ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    FilePtr file(fd >= 0 ? fdopen(fd, "rb") : nullptr);
    if (!file) {
        if (fd >= 0) close(fd);
        printf("file %s not exist. \r\n", path ? path : "");
        return false;
    }
    return ReadFirmwareStream(file.get(), path, buffer, length, pad, size_message);
}

bool ReadFirmwareStream(FILE* file, const char* path, std::vector<uint8_t>& buffer, uint32_t& length, size_t pad,
                        const char* size_message) {
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
        printf("file %s is a directory. \r\n", path);
        return false;
    }
    off_t end = -1;
    if (fseeko(file, 0, SEEK_END) == 0) end = ftello(file);
    if (end < 0 || fseeko(file, 0, SEEK_SET) != 0) {
        printf("file %s size unknown. \r\n", path);
        return false;
    }
    if (static_cast<uint64_t>(end) > kMaxImageLength) {
        printf("file %s too large. \r\n", path);
        return false;
    }
    length = static_cast<uint32_t>(end);
    if (size_message) printf(size_message, static_cast<int>(length));
    if (length == 0) {
        printf("file %s is empty. \r\n", path);
        return false;
    }
    try {
        buffer.assign(length + pad, 0);
    } catch (const std::exception&) {  // no memory, or more than a vector holds here
        printf("file %s too large. \r\n", path);
        return false;
    }
    if (fread(buffer.data(), 1, length, file) != length) {
        printf("read file %s failed. \r\n", path);
        buffer.clear();
        return false;
    }
    return true;
}

int UpdateFirmwareUvcPath(BrgDevHandle* handle, const char* path, int /*chip*/) {
    std::vector<uint8_t> image;
    uint32_t length = 0;
    if (!ReadFirmwareImage(path, image, length, kChunk, "binary size=%d bytes\r\n")) return BRG_TRANSFER_FAILED;

    // The init and every chunk must reach the module whole before the burn
    // command may follow.
    uint8_t cmd[8] = {0x01, 0x00, 0x03, 0, 0, 0, 0, 0};
    puts("UVC path fw update init.\r");
    int usb = 0;
    if (xuCmd(handle, cmd, BRG_XU_MMP_SET, sizeof(cmd), 1, &usb) != 0 || usb != sizeof(cmd)) {
        puts("\r\nUVC path fw update init failed.\r");
        return BRG_TRANSFER_FAILED;
    }
    puts("UVC path fw data transfer.\r");
    const uint32_t chunks = (length + kChunk - 1) / kChunk;
    for (uint32_t i = 0; i < chunks; ++i) {
        if (xuCmd(handle, image.data() + static_cast<size_t>(i) * kChunk, BRG_XU_FW_DATA, kChunk, 1, &usb) != 0 ||
            usb != kChunk) {
            printf("\r\nUVC path fw data transfer failed at chunk %u.\r\n", i + 1);
            return BRG_TRANSFER_FAILED;
        }
    }
    std::vector<uint8_t>().swap(image);

    puts("Start burning.\r");
    cmd[1] = 0x01;
    // Only a burn command the module took is followed by the status polls;
    // a module that leaves the bus during them has rebooted into the image.
    if (xuCmd(handle, cmd, BRG_XU_MMP_SET, sizeof(cmd), 1, &usb) != 0 || usb != sizeof(cmd)) {
        printf("\r\nUpdate flash failed. %d\r\n", 1884);
        return BRG_TRANSFER_FAILED;
    }
    sleep(1);
    for (int poll = 0; poll < 10; ++poll) {
        int r = xuCmd(handle, cmd, BRG_XU_MMP_GET, sizeof(cmd), 0, &usb);
        if (r != 0 && usb == LIBUSB_ERROR_NO_DEVICE) {
            puts("Device Reboot.\r");
            return 0;
        }
        // A failed read leaves the burn command (byte 0 = 1) in the buffer.
        if (r == 0 && cmd[0] == 0) {
            puts("Update flash successfully.\r");
            return 0;
        }
        if (r == 0 && cmd[0] == kBurnFailed) {
            printf("Update flash failed. %d\r\n", 1884);
            return BRG_TRANSFER_FAILED;
        }
        sleep(1);
    }
    puts("Update flash timeout.\r");
    return BRG_TRANSFER_FAILED;
}

namespace {

// The vendor-request download shared by UpdateFirmware and its check-sum
// variant: read, announce, send on endpoint 0x04, optional check, burn.
int downloadAndBurn(BrgDevHandle* handle, const char* path, unsigned int piece_timeout, const uint64_t* checksum,
                    uint8_t burn_request, int fail_number) {
    if (!handle) return -1;
    std::vector<uint8_t> image;
    uint32_t length = 0;
    if (!ReadFirmwareImage(path, image, length, 0, "binary size=%d bytes\r\n")) return BRG_TRANSFER_FAILED;
    if (!announceLength(handle, length) || !sendBulk(handle, kDownloadEp, image.data(), length, 32768, piece_timeout)) {
        printf("Update flash failed. %d\r\n", fail_number);
        return BRG_TRANSFER_FAILED;
    }
    if (checksum) {
        uint8_t data[12];
        for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(*checksum >> (8 * i));
        BrgPutLe32(data + 8, length);
        if (vendorOut(handle, kReqCheckSum, 0, 0, data, sizeof(data), 30000) < 0) {
            puts("Check sum does not match.\r");
            return BRG_TRANSFER_FAILED;
        }
    }
    puts("Start burning.\r");
    if (vendorOut(handle, burn_request, static_cast<uint16_t>(length & 0xFFFF), static_cast<uint16_t>(length >> 16),
                  nullptr, 0, 30000) < 0) {
        printf("Update flash failed. %d\r\n", fail_number);
        return BRG_TRANSFER_FAILED;
    }
    puts("Update flash successfully.\r");
    return 0;
}

}  // namespace

int UpdateFirmware(BrgDevHandle* handle, const char* path, int chip) {
    uint8_t request = 3;
    switch (chip) {
        case 2:
            request = 6;
            break;
        case 3:
            request = 5;
            break;
        case 4:
            request = 8;
            break;
        default:
            request = 3;
            break;
    }
    return downloadAndBurn(handle, path, 5000, nullptr, request, 649);
}

int UpdateBrgFirmwareWithCheckSum(BrgDevHandle* handle, const char* path, uint64_t checksum) {
    return downloadAndBurn(handle, path, 1000, &checksum, 3, 772);
}

int PartialUpdateFlash(BrgDevHandle* handle, const char* path, uint32_t flash_address, bool with_length) {
    if (!handle) return -1;
    std::vector<uint8_t> image;
    uint32_t length = 0;
    const size_t prefix = with_length ? 4 : 0;
    if (!ReadFirmwareImage(path, image, length, prefix, "binary size=%d bytes\r\n")) return BRG_TRANSFER_FAILED;
    if (with_length) {
        std::copy_backward(image.begin(), image.begin() + length, image.end());
        BrgPutLe32(image.data(), length);
    }
    const uint32_t total = length + static_cast<uint32_t>(prefix);
    constexpr uint32_t kPart = 524288;
    printf("Num of parts:%d\r\n", static_cast<int>((total + kPart - 1) / kPart));
    for (uint32_t offset = 0; offset < total; offset += kPart) {
        const uint32_t part = std::min(kPart, total - offset);
        bool ok =
            announceLength(handle, part) && sendBulk(handle, kDownloadEp, image.data() + offset, part, 32768, 1000);
        if (ok) {
            puts("Start partial update flash.\r");
            printf("Flash Address: 0x%X, Length: 0x%X bytes \r\n", flash_address, part);
            uint8_t data[8];
            BrgPutLe32(data, flash_address);
            BrgPutLe32(data + 4, part);
            ok = vendorOut(handle, kReqPartialBurn, 0, 1, data, sizeof(data), 30000) >= 0;
        }
        if (!ok) {
            printf("Partial Update flash failed. %d\r\n", 1210);
            return BRG_TRANSFER_FAILED;
        }
        flash_address += part;
    }
    puts("Partial update flash successfully.\r");
    return 0;
}

int UpdateFirmwarePcsyncPath(BrgDevHandle* handle, const char* path, int /*chip*/) {
    if (!handle) return -1;
    std::vector<uint8_t> image;
    uint32_t length = 0;
    if (!ReadFirmwareImage(path, image, length, 0, "binary size=%d bytes\r\n")) return BRG_TRANSFER_FAILED;
    bool ok = announceLength(handle, length) && sendBulk(handle, kPcsyncEp, image.data(), length, 64, 100);
    puts("Start burning.\r");
    if (!ok) {
        printf("Update flash failed. %d\r\n", 2122);
        return BRG_TRANSFER_FAILED;
    }
    puts("Update flash successfully.\r");
    return 0;
}

int UpdateFirmwareUvcPath2(BrgDevHandle* handle, const uint8_t* data, uint32_t length, uint8_t storage_type,
                           uint8_t package_type) {
    if (!handle) return -1;
    uint8_t cmd[8] = {0x01, 0x00, storage_type, package_type, 0, 0, 0, 0};
    int result = BrgXU_XuCmd(handle, cmd, BRG_XU_MMP_SET, sizeof(cmd), 1);
    if (result != 0) {
        puts("\r\nUpdate flash error !!!!.\r");
        return BRG_TRANSFER_FAILED;
    }
    pThread::Sleep(300);
    int usb = 0;
    for (uint32_t offset = 0; offset < length; offset += kChunk) {
        printf("Vender Command result= 0x%X \r\n", static_cast<unsigned>(result));
        // The last chunk is filled up with zero bytes.
        uint8_t chunk[kChunk] = {0};
        memcpy(chunk, data + offset, std::min<uint32_t>(kChunk, length - offset));
        result = xuCmd(handle, chunk, BRG_XU_FW_DATA, kChunk, 1, &usb);
        if (result != 0 || usb != kChunk) {
            puts("\r\nUpdate flash error !!!!.\r");
            return BRG_TRANSFER_FAILED;
        }
    }
    cmd[1] = 0x01;
    if (xuCmd(handle, cmd, BRG_XU_MMP_SET, sizeof(cmd), 1, &usb) != 0 || usb != sizeof(cmd)) {
        puts("\r\nUpdate flash error !!!!.\r");
        return BRG_TRANSFER_FAILED;
    }
    for (int poll = 0; poll < 20; ++poll) {
        if (poll > 0) sleep(1);
        if (BrgXU_XuCmd(handle, cmd, BRG_XU_MMP_GET, sizeof(cmd), 0) != 0) continue;
        if (cmd[0] == 0) {
            puts("Update flash successfully.\r");
            return 0;
        }
        if (cmd[0] == kBurnFailed) {
            puts("Update flash error !!!!.\r");
            return BRG_TRANSFER_FAILED;
        }
    }
    puts("Update flash timeout !!!!.\r");
    return BRG_TRANSFER_FAILED;
}

int AQUILA_UpdateCnxtFlash(BrgDevHandle* handle, const char* loader_path, const char* firmware_path) {
    std::vector<uint8_t> loader, firmware;
    uint32_t loader_len = 0, firmware_len = 0;
    if (!ReadFirmwareImage(loader_path, loader, loader_len, 0) ||
        !ReadFirmwareImage(firmware_path, firmware, firmware_len, 0))
        return BRG_TRANSFER_FAILED;
    const uint64_t total = static_cast<uint64_t>(loader_len) + firmware_len;
    if (total > kMaxImageLength) {
        printf("file %s too large. \r\n", firmware_path);
        return BRG_TRANSFER_FAILED;
    }
    std::vector<uint8_t> package(16 + total + 32, 0);
    memcpy(package.data(), "CNXT", 4);
    BrgPutLe32(package.data() + 4, loader_len);
    BrgPutLe32(package.data() + 8, firmware_len);
    memcpy(package.data() + 16, loader.data(), loader_len);
    memcpy(package.data() + 16 + loader_len, firmware.data(), firmware_len);
    return UpdateFirmwareUvcPath2(handle, package.data(), static_cast<uint32_t>(total + 16), 3, 3);
}

int FalconUpdateFlash(const char* camera_image, const char* flash_image, uint16_t loader_vid, uint16_t loader_pid,
                      uint16_t camera_vid, uint16_t camera_pid) {
    printf("Try to open miniuvc device PID=0x%X, VID=0x%X\r\n", loader_pid, loader_vid);
    BrgDevHandle* handle = OpenBrgDevice(loader_vid, loader_pid, BRG_NO_INTERFACE);
    if (handle) {
        int r = UpdateFirmwareUvcPath(handle, camera_image, 0);
        CloseBrgDevice(handle);
        if (r != 0) {
            puts("Camera firmware download failed.\r");
            return r;
        }
        sleep(3);
        handle = nullptr;
        for (int i = 0; i < 10 && !handle; ++i) handle = OpenBrgDevice(camera_vid, camera_pid, BRG_NO_INTERFACE);
        if (!handle) {
            puts("Camera firmware download failed.\r");
            return BRG_TRANSFER_FAILED;
        }
        r = UpdateFirmwareUvcPath(handle, flash_image, 0);
        if (r != 0) puts("Failed to update device flash.\r");
        CloseBrgDevice(handle);
        return r;
    }
    printf("Try to open camera device PID=0x%X, VID=0x%X\r\n", camera_pid, camera_vid);
    handle = OpenBrgDevice(camera_vid, camera_pid, BRG_NO_INTERFACE);
    if (!handle) {
        puts("Failed to open device. exit.\r");
        return BRG_TRANSFER_FAILED;
    }
    int r = UpdateFirmwareUvcPath(handle, flash_image, 0);
    CloseBrgDevice(handle);
    return r;
}

CVideoDump::~CVideoDump() { Close(); }

bool CVideoDump::Open(const char* name) {
    Close();
    fd = fopen(name, "w+b");
    return fd != nullptr;
}

void CVideoDump::Close() {
    if (fd) fclose(fd);
    fd = nullptr;
}

int CVideoDump::Write(const void* data, size_t length) {
    if (fd) {
        fwrite(data, 1, length, fd);
        fflush(fd);
    }
    return 0;
}

CDeviceLogThread::CDeviceLogThread(BrgDevHandle* handle) : pThread(false, 0), ait_handle(handle) {}

// The thread reads this object's members: it ends before they go.
CDeviceLogThread::~CDeviceLogThread() { Stop(); }

void CDeviceLogThread::Run() {
    if (ait_handle) StartFirmwareLog(ait_handle);
}

void CDeviceLogThread::StartFirmwareLog(BrgDevHandle* handle) {
    if (!handle) return;
    CVideoDump sinks[LOG_MSG_MAX_NUM];
    sinks[LOG_MSG_FW_MESSAGE].Open("FwMeg.txt");
    sinks[LOG_MSG_AUDIO_MESSAGE].Open("AudioMsg.dat");
    sinks[LOG_MSG_DRAM_MESSAGE].Open("DramMsg.dat");
    sinks[LOG_MSG_FLASH_MESSAGE].Open("FlashMsg.dat");
    vendorOut(handle, kReqLogStart, 0, 0, nullptr, 0, 1000);
    LogLoop([handle](uint8_t* block, int size,
                     int* got) { return libusb_bulk_transfer(handle->handle, kLogEp, block, size, got, 1000); },
            sinks);
    vendorOut(handle, kReqLogStop, 0, 0, nullptr, 0, 1000);
}

void CDeviceLogThread::LogLoop(const BlockReader& read, CVideoDump (&sinks)[LOG_MSG_MAX_NUM]) {
    std::vector<uint8_t> buffer(kBufferSize);
    while (!Shutdown) {
        std::fill(buffer.begin(), buffer.end(), 0);
        int got = 0;
        int r = read(buffer.data(), kBlockSize, &got);
        if (Shutdown) break;
        if (r == LIBUSB_ERROR_TIMEOUT) continue;
        if (r < 0) {
            puts("transfer error, exit.\r");
            break;
        }
        size_t held = CollectMessage(read, buffer.data(), static_cast<size_t>(got));
        DispatchMessage(buffer.data(), held, sinks);
    }
}

size_t CDeviceLogThread::CollectMessage(const BlockReader& read, uint8_t* buffer, size_t held) {
    size_t received = held;
    bool last_full = held == static_cast<size_t>(kBlockSize);
    auto announced = [&]() -> size_t {
        if (received < sizeof(log_header_t)) return 0;
        return static_cast<size_t>(BrgGetLe16(buffer + 2)) + BrgGetLe16(buffer + 10);
    };
    uint8_t spare[kBlockSize];
    while (!Shutdown && (received < announced() || last_full)) {
        // Behind the data held while it fits; the rest of a message longer
        // than the buffer is read and dropped.
        const bool fits = held + kBlockSize <= kBufferSize;
        uint8_t* into = fits ? buffer + held : spare;
        int got = 0;
        if (read(into, kBlockSize, &got) < 0) {
            puts("transfer error, exit.\r");
            break;
        }
        got = std::max(0, std::min(got, kBlockSize));
        if (fits) {
            held += static_cast<size_t>(got);
        } else {
            const size_t keep = std::min(kBufferSize - held, static_cast<size_t>(got));
            memcpy(buffer + held, spare, keep);
            held += keep;
        }
        received += static_cast<size_t>(got);
        last_full = got == kBlockSize;
    }
    return held;
}

void CDeviceLogThread::DispatchMessage(const uint8_t* buffer, size_t held, CVideoDump (&sinks)[LOG_MSG_MAX_NUM]) {
    if (held < sizeof(log_header_t)) return;
    const size_t header_len = BrgGetLe16(buffer + 2);
    if (header_len < sizeof(log_header_t) || header_len > held) return;
    const uint16_t type = BrgGetLe16(buffer + 8);
    const uint8_t* body = buffer + header_len;
    const size_t body_len = held - header_len;
    switch (type) {
        case LOG_MSG_FW_MESSAGE:
            sinks[type].Write(body, body_len);
            printf("%.*s", static_cast<int>(body_len), reinterpret_cast<const char*>(body));
            break;
        case LOG_MSG_AUDIO_MESSAGE:
        case LOG_MSG_DRAM_MESSAGE:
        case LOG_MSG_FLASH_MESSAGE:
            sinks[type].Write(body, body_len);
            break;
        default:
            puts("!!!!!!!!! DeviceMessageLog:: Unknown Message ID !!!!!!!!!.\r");
            break;
    }
}

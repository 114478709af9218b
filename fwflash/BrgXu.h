// Device layer of the firmware tool: the camera module's UVC bridge chip
// over libusb (open by vendor and product id, extension-unit and vendor
// control transfers), the firmware update paths built on it, and the reader
// of the module's log stream (BrgXu.cc, VendorCommands.cc,
// FirmwareUpdate.cc, DeviceLog.cc).
//
// Results: 0 success, -1 for a null handle, BRG_TRANSFER_FAILED
// (0x80000003) when a USB transfer failed. Progress and errors go to
// standard output, most lines ending in a carriage return.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "brg_records.h"
#include "ptasking.h"

struct BrgDevHandle {
    libusb_device_handle* handle;
    libusb_context* cntx;
    int interface_num;  // 255: no interface claimed
};

constexpr int BRG_TRANSFER_FAILED = static_cast<int>(0x80000003u);
constexpr uint8_t BRG_NO_INTERFACE = 255;

// The bridge's extension unit (entity 6 on interface 0) and its selectors.
constexpr uint16_t BRG_XU_INDEX = 0x0600;
constexpr uint16_t BRG_XU_ISP_SET = 1;
constexpr uint16_t BRG_XU_ISP_GET = 2;
constexpr uint16_t BRG_XU_FW_DATA = 3;
constexpr uint16_t BRG_XU_MMP_SET = 4;
constexpr uint16_t BRG_XU_MMP_GET = 5;
constexpr uint16_t BRG_XU_MMP16_SET = 14;
constexpr uint16_t BRG_XU_MMP16_GET = 15;

// The camera module as its normal UVC device.
constexpr uint16_t BRG_VID = 0x114D;
constexpr uint16_t BRG_UVC_PID = 0x858A;

static_assert(sizeof(FACE_CMD) == 32, "FACE_CMD is 32 bytes");
static_assert(sizeof(_FaceRect) == 8, "_FaceRect is 8 bytes");
static_assert(sizeof(FacePositionList) == 162, "FacePositionList is 162 bytes");
static_assert(sizeof(log_header_t) == 16, "log_header_t is 16 bytes");

// Little-endian fields of the module's commands and records.
inline void BrgPutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void BrgPutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t BrgGetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t BrgGetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Opening and closing.
libusb_device* FindBrgDevice(libusb_device** list, uint16_t vid, uint16_t pid);
BrgDevHandle* OpenBrgDevice(uint16_t vid, uint16_t pid, uint8_t interface_num);
bool CheckDeviceExist(uint16_t vid, uint16_t pid);
void CloseBrgDevice(BrgDevHandle* handle);

// Extension-unit request: direction non-zero SET_CUR, 0 GET_CUR into data.
int BrgXU_XuCmd(BrgDevHandle* handle, uint8_t* data, uint16_t selector, uint8_t length, uint8_t direction);

// Vendor command family.
int BrgIspCmdSet(BrgDevHandle* handle, uint8_t* cmd);
int BrgIspCmdGetResult(BrgDevHandle* handle, uint8_t* cmd, unsigned int timeout);
int BrgMMPCmdSet16(BrgDevHandle* handle, uint8_t* cmd);
int BrgMMPCmdGetResult16(BrgDevHandle* handle, uint8_t* cmd);
int BrgXU_SetVideoOption(BrgDevHandle* handle, uint32_t options);
int BrgXU_GetVideoOption(BrgDevHandle* handle, uint32_t* options);
int WriteSensorReg(BrgDevHandle* handle, uint16_t addr, uint16_t val);
int ReadSensorReg(BrgDevHandle* handle, uint16_t addr, uint16_t* val);
int SetH264Bitrate(BrgDevHandle* handle, uint16_t kbps);
int Set_SEC_TV_PreviewParam(BrgDevHandle* handle, uint8_t signal_type, uint8_t mode, uint16_t crop_x, uint16_t crop_y,
                            uint16_t crop_w, uint16_t crop_h, uint16_t scale_w, uint16_t scale_h);
int DisableFlashWP(BrgDevHandle* handle);
int RombootReset(BrgDevHandle* handle);
int SetFD_Param(BrgDevHandle* handle, FACE_CMD* param);
int GetFD_Position(BrgDevHandle* handle, FacePositionList* list);

// Pan-tilt-zoom through V4L2 extended controls; fd <= 0 opens "/dev/video0".
int GetPTZ_Pos(int fd, uint32_t axis, int32_t* val);
int SetPTZ_Pos(int fd, uint32_t axis, int32_t val);

// Reads a firmware image whole into buffer, followed by pad zero bytes.
// Refuses (with the tool's message) a file that cannot be opened, a
// directory, one whose size cannot be measured, an empty one, one too large
// for the tool's 32-bit lengths, and a short read.
// size_message (a printf format taking the length), when set, is printed
// once the length is known.
bool ReadFirmwareImage(const char* path, std::vector<uint8_t>& buffer, uint32_t& length, size_t pad,
                       const char* size_message = nullptr);
// The same over an open stream (closed by the caller); path names it in messages.
bool ReadFirmwareStream(FILE* file, const char* path, std::vector<uint8_t>& buffer, uint32_t& length, size_t pad,
                        const char* size_message = nullptr);

// Pacing of the extension-unit updates' status polls: the pause before the
// first poll and between polls, and how long one poll waits for its answer
// (a second each on the module; in-process tests shorten them).
struct BrgPollPacing {
    int wait_ms = 1000;
    unsigned answer_ms = 1000;
};
extern BrgPollPacing g_brg_poll_pacing;

// Update paths.
int UpdateFirmwareUvcPath(BrgDevHandle* handle, const char* path, int chip);
int UpdateFirmware(BrgDevHandle* handle, const char* path, int chip);
int UpdateBrgFirmwareWithCheckSum(BrgDevHandle* handle, const char* path, uint64_t checksum);
int PartialUpdateFlash(BrgDevHandle* handle, const char* path, uint32_t flash_address, bool with_length);
int UpdateFirmwarePcsyncPath(BrgDevHandle* handle, const char* path, int chip);
int UpdateFirmwareUvcPath2(BrgDevHandle* handle, const uint8_t* data, uint32_t length, uint8_t storage_type,
                           uint8_t package_type);
int AQUILA_UpdateCnxtFlash(BrgDevHandle* handle, const char* loader_path, const char* firmware_path);
int FalconUpdateFlash(const char* camera_image, const char* flash_image, uint16_t loader_vid, uint16_t loader_pid,
                      uint16_t camera_vid, uint16_t camera_pid);

// A file sink.
class CVideoDump {
public:
    CVideoDump() = default;
    ~CVideoDump();
    CVideoDump(const CVideoDump&) = delete;
    CVideoDump& operator=(const CVideoDump&) = delete;

    bool Open(const char* name);
    void Close();
    int Write(const void* data, size_t length);

private:
    FILE* fd = nullptr;
};

// Pulls the module's log messages and sorts them into files by type.
class CDeviceLogThread : public pThread {
public:
    explicit CDeviceLogThread(BrgDevHandle* handle);
    ~CDeviceLogThread() override;
    void Run() override;

    void StartFirmwareLog(BrgDevHandle* handle);

    static constexpr size_t kBufferSize = 32768;
    static constexpr int kBlockSize = 512;
    // Reads one bulk block: the libusb result, the bytes in got.
    using BlockReader = std::function<int(uint8_t* block, int size, int* got)>;
    // The message loop over any block source, until Shutdown or a transfer
    // error; sinks are indexed by message type.
    void LogLoop(const BlockReader& read, CVideoDump (&sinks)[LOG_MSG_MAX_NUM]);

private:
    // Collects one message behind the first block into buffer; returns the
    // bytes kept (at most kBufferSize; the rest of a longer message is read
    // and dropped).
    size_t CollectMessage(const BlockReader& read, uint8_t* buffer, size_t held);
    static void DispatchMessage(const uint8_t* buffer, size_t held, CVideoDump (&sinks)[LOG_MSG_MAX_NUM]);

    BrgDevHandle* ait_handle;
};

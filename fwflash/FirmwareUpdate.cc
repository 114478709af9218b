// The firmware updates: reading an image, the extension-unit path the tool
// runs, the vendor-request downloads, the package and two-stage variants.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "BrgXu.h"
#include "brg_transport.h"

using brg::kXuTimeout;
using brg::vendorOut;
using brg::xuCmd;

BrgPollPacing g_brg_poll_pacing;

namespace {

// Vendor requests of the download paths.
constexpr uint8_t kReqAnnounceLength = 0x82;
constexpr uint8_t kReqPartialBurn = 4;
constexpr uint8_t kReqCheckSum = 7;

constexpr uint8_t kDownloadEp = 0x04;
constexpr uint8_t kPcsyncEp = 0x01;

constexpr int kChunk = 32;
constexpr uint8_t kBurnFailed = 0x82;

// The longest image the tool's 32-bit lengths and messages carry, with the
// room the update paths put behind it.
constexpr uint64_t kMaxImageLength = INT32_MAX - 64;

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
    pThread::Sleep(g_brg_poll_pacing.wait_ms);
    for (int poll = 0; poll < 10; ++poll) {
        int r = xuCmd(handle, cmd, BRG_XU_MMP_GET, sizeof(cmd), 0, &usb, g_brg_poll_pacing.answer_ms);
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
        pThread::Sleep(g_brg_poll_pacing.wait_ms);
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
        if (poll > 0) pThread::Sleep(g_brg_poll_pacing.wait_ms);
        if (xuCmd(handle, cmd, BRG_XU_MMP_GET, sizeof(cmd), 0, nullptr, g_brg_poll_pacing.answer_ms) != 0) continue;
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

// The file sink and the reader of the module's log stream.
#include <algorithm>
#include <cstring>

#include "BrgXu.h"
#include "brg_transport.h"

using brg::vendorOut;

namespace {

constexpr uint8_t kReqLogStart = 0x85;
constexpr uint8_t kReqLogStop = 0x86;
constexpr uint8_t kLogEp = 0x85;

}  // namespace

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

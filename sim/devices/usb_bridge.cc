// The module as its UVC bridge 0x114D:0x858A: the configuration, the
// extension-unit update with its status polls, the vendor requests
// (downloads, partial updates, face detection, the log switch) and the
// device log stream.
#include <algorithm>
#include <cstring>

#include "usb_module.h"
#include "usb_wire.h"

namespace vcam {

using namespace usbwire;

namespace {

// Extension unit of the bridge and its controls.
constexpr uint16_t kXuIndex = 0x0600;
constexpr uint8_t kSelData = 3;
constexpr uint8_t kSelCommand = 4;
constexpr uint8_t kSelStatus = 5;
constexpr uint8_t kBusy = 0x01;
constexpr uint8_t kFailed = 0x82;

const uint8_t kXuGuid[16] = {0xd0, 0x9e, 0xe4, 0x23, 0x78, 0x11, 0x31, 0x4f,
                             0xae, 0x52, 0xd2, 0xfb, 0x8a, 0x8d, 0x3b, 0x48};

constexpr size_t kLogBlock = 512;

}  // namespace

namespace usbwire {

// Configuration of the UVC bridge: the video function (control interface
// with the extension unit, streaming interface with one MJPEG format) and
// the vendor endpoints.
std::string bridgeConfiguration() {
    std::string vc;
    // camera input terminal
    vc += std::string{18, 0x24, 0x02, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0};
    // extension unit 6, 15 controls, fed by the terminal
    vc += std::string{27, 0x24, 0x06, 6};
    vc.append(reinterpret_cast<const char*>(kXuGuid), 16);
    vc += std::string{15, 1, 1, 2, char(0xFF), 0x7F, 0};
    // output terminal fed by the unit
    vc += std::string{9, 0x24, 0x03, 2, 0x01, 0x01, 0, 6, 0};
    std::string vcHeader = {13, 0x24, 0x01, 0x00, 0x01};
    put16(vcHeader, uint16_t(13 + vc.size()));
    put32(vcHeader, 48000000);
    vcHeader += std::string{1, 1};

    std::string vs;
    vs += std::string{11, 0x24, 0x06, 1, 1, 1, 1, 0, 0, 0, 0};
    std::string frame = {30, 0x24, 0x07, 1, 0};
    put16(frame, 1440);
    put16(frame, 1440);
    put32(frame, 1440u * 1440 * 16 * 30);
    put32(frame, 1440u * 1440 * 16 * 60);
    put32(frame, 1440u * 1440 * 2);
    put32(frame, 166666);
    frame += char(1);
    put32(frame, 166666);
    vs += frame;
    std::string vsHeader = {14, 0x24, 0x01, 1};
    put16(vsHeader, uint16_t(14 + vs.size()));
    vsHeader += std::string{char(kEpVideo), 0, 2, 0, 0, 0, 1, 0};

    std::string body;
    body += std::string{8, 0x0B, 0, 2, 0x0E, 0x03, 0, 0};     // interface association
    body += std::string{9, 0x04, 0, 0, 4, 0x0E, 0x01, 0, 0};  // video control
    body += vcHeader + vc;
    body += endpoint(kEpStatus, 0x03, 16, 8);
    body += std::string{5, 0x25, 0x03, 16, 0};
    body += endpoint(kEpPcsync, 0x02, 512, 0);
    body += endpoint(kEpDownload, 0x02, 512, 0);
    body += endpoint(kEpLog, 0x02, 512, 0);
    body += std::string{9, 0x04, 1, 0, 1, 0x0E, 0x02, 0, 0};  // video streaming
    body += vsHeader + vs;
    body += endpoint(kEpVideo, 0x02, 512, 0);
    return configuration(2, body);
}

}  // namespace usbwire

UsbResult UsbModule::controlUvc(const uint8_t s[8], uint8_t* data, size_t len, std::string& line) {
    if ((s[0] & 0x60) == 0x40) return vendor(s, data, len, line);
    unsigned selector = s[3];
    unsigned index = s[4] | s[5] << 8;
    bool set = s[0] == 0x20 && s[1] == 0x01;
    bool get = s[0] == 0xA0 && s[1] == 0x81;
    if ((s[0] & 0x60) != 0x20 || index != kXuIndex || (!set && !get)) {
        line = "ctrl " + hex2(s[0]) + " " + hex2(s[1]) + " " + hex4(s[2] | s[3] << 8) + " " + hex4(index) + " " +
               std::to_string(len) + " stalled";
        return {UsbResult::Stall, 0};
    }
    if (get && selector == kSelStatus) return statusPoll(data, len, line);
    if (get) {
        line = "xu get " + std::to_string(selector) + " " + std::to_string(len);
        UsbFault f = takeFault("get", long(selector));
        std::memset(data, 0, len);
        UsbResult r{UsbResult::Done, len};
        return f == UsbFault::None ? r : applyFault(f, r, len, line);
    }
    line = "xu set " + std::to_string(selector) + " " + std::to_string(len);
    if (selector != kSelData) line += " " + hexOf(data, len);
    UsbFault f = UsbFault::None;
    bool init = selector == kSelCommand && len >= 2 && data[0] == 1 && data[1] == 0;
    bool burn = selector == kSelCommand && len >= 2 && data[0] == 1 && data[1] == 1;
    if (init) chunks_ = 0;
    if (selector == kSelData)
        f = takeFault("chunk", ++chunks_);
    else if (init)
        f = takeFault("init", 0);
    else if (burn)
        f = takeFault("burn", 0);
    else
        f = takeFault("set", long(selector));
    UsbResult r{UsbResult::Done, len};
    if (f != UsbFault::None) {
        r = applyFault(f, r, len, line);
        if (r.kind != UsbResult::Done) return r;
    }
    if (selector == kSelData) {
        if (collecting_) collected_.append(reinterpret_cast<const char*>(data), r.actual);
    } else if (init) {
        collecting_ = true;
        burning_ = false;
        collected_.clear();
    } else if (burn) {
        collecting_ = false;
        burning_ = true;
        polls_ = 0;
        image_ = collected_;
        collected_.clear();
        if (ending_.end == UsbEnding::Drop && ending_.busy <= 0) {
            line += " leaves";
            leave(UsbIdentity::Uvc, return_ms_);
        }
    }
    return r;
}

UsbResult UsbModule::statusPoll(uint8_t* data, size_t len, std::string& line) {
    line = "xu get 5 " + std::to_string(len);
    UsbFault f = takeFault("poll", 0);
    std::memset(data, 0, len);
    UsbResult r{UsbResult::Done, len};
    if (f != UsbFault::None) {
        r = applyFault(f, r, len, line);
        if (r.kind != UsbResult::Done) return r;
    }
    if (burning_) {
        ++polls_;
        if (polls_ <= ending_.busy) {
            if (len > 0) data[0] = kBusy;
        } else {
            switch (ending_.end) {
                case UsbEnding::Ok:
                    burning_ = false;
                    break;
                case UsbEnding::Fail:
                    if (len > 0) data[0] = kFailed;
                    break;
                case UsbEnding::Silent:
                    line += " -> none";
                    return {UsbResult::Never, 0};
                case UsbEnding::Drop:
                    line += " -> left the bus";
                    burning_ = false;
                    leave(UsbIdentity::Uvc, return_ms_);
                    return {UsbResult::NoDevice, 0};
            }
        }
    }
    line += " -> " + hexOf(data, r.actual);
    return r;
}

UsbResult UsbModule::vendor(const uint8_t s[8], uint8_t* data, size_t len, std::string& line) {
    uint32_t value = uint32_t(s[2] | s[3] << 8) | uint32_t(s[4] | s[5] << 8) << 16;
    uint8_t req = s[1];
    line = "vendor " + hex2(s[0]) + " " + hex2(req) + " " + hex4(s[2] | s[3] << 8) + " " + hex4(s[4] | s[5] << 8) +
           " " + std::to_string(len);
    if ((s[0] & 0x80) == 0 && len > 0) line += " " + hexOf(data, len);
    UsbFault f = takeFault("vendor", req);
    UsbResult r{UsbResult::Done, len};
    if (f != UsbFault::None) {
        r = applyFault(f, r, len, line);
        if (r.kind != UsbResult::Done) return r;
    }
    auto stall = [&](const char* why) {
        line += std::string(" stalled (") + why + ")";
        return UsbResult{UsbResult::Stall, 0};
    };
    if (s[0] == 0x40) {
        switch (req) {
            case 0x82:  // announce a download of `value` bytes
                announced_ = value;
                download_.clear();
                return r;
            case 0x03:
            case 0x05:
            case 0x06:
            case 0x08:  // burn what was downloaded
                if (download_.size() != announced_ || value != announced_) return stall("length");
                image_ = download_;
                return r;
            case 0x07:  // checksum and length of the download
                if (len < 12 || le32(data + 8) != download_.size()) return stall("length");
                return r;
            case 0x04: {  // partial update: flash address and length
                if (len < 8) return stall("short");
                uint32_t address = le32(data), size = le32(data + 4);
                if (size != download_.size() || address > flash_.size() || size > flash_.size() - address)
                    return stall("range");
                std::copy(download_.begin(), download_.end(), flash_.begin() + address);
                download_.clear();
                return r;
            }
            case 0x85:
                logging_ = true;
                return r;
            case 0x86:
                logging_ = false;
                return r;
            case 0x02:
                return r;  // face-detection parameters
            default:
                return stall("request");
        }
    }
    if (s[0] == 0xC0 && req == 0x01) {  // face positions: count, then the rectangles that fit
        std::memset(data, 0, len);
        if (len == 0) return r;
        data[0] = uint8_t(faces_);
        for (size_t k = 1; k <= size_t(faces_) && 1 + 8 * k <= len; ++k) {
            std::string rect;
            for (unsigned v = 0; v < 4; ++v) put16(rect, unsigned(100 * k + v));
            std::memcpy(data + 1 + 8 * (k - 1), rect.data(), 8);
        }
        line += " -> " + std::to_string(faces_) + " faces";
        return r;
    }
    return stall("request");
}

size_t UsbModule::logQueued() const { return log_.size(); }

void UsbModule::queueLog(uint16_t type, const std::string& payload) {
    std::string m;
    m += char(0x55);  // header mark
    m += char(1);     // version
    put16(m, 16);
    put32(m, packet_id_++);
    put16(m, type);
    put16(m, uint16_t(payload.size()));
    put16(m, 7);  // CPU usage
    put16(m, 0);
    log_.push_back(m + payload);
}

void UsbModule::queueRawLog(const std::string& bytes) { log_.push_back(bytes); }

UsbResult UsbModule::logBlock(uint8_t* data, size_t len, std::string& line) {
    // the module answers nothing until the log is started and holds data
    if (!logging_ || log_.empty()) return {UsbResult::Later, 0};
    UsbFault f = takeFault("bulk", kEpLog);
    if (f == UsbFault::Stall || f == UsbFault::NoDevice || f == UsbFault::Timeout)
        return applyFault(f, {UsbResult::Done, 0}, len, line);
    const std::string& m = log_.front();
    size_t n = 0;
    if (log_zlp_) {
        log_zlp_ = false;
        log_.pop_front();
        log_pos_ = 0;
    } else {
        n = std::min({len, kLogBlock, m.size() - log_pos_});
        std::memcpy(data, m.data() + log_pos_, n);
        log_pos_ += n;
        if (log_pos_ == m.size()) {
            // a full last block is followed by a zero-length one
            if (n == kLogBlock) {
                log_zlp_ = true;
            } else {
                log_.pop_front();
                log_pos_ = 0;
            }
        }
    }
    if (f == UsbFault::Short) line += " fault=short";
    return {UsbResult::Done, n};
}

}  // namespace vcam

#include "usb_module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "hex_text.h"

namespace vcam {

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

// Endpoints of the UVC identity: VC interrupt, the vendor download and log
// endpoints on interface 0, video on interface 1.
constexpr uint8_t kEpStatus = 0x87;
constexpr uint8_t kEpPcsync = 0x01;
constexpr uint8_t kEpDownload = 0x04;
constexpr uint8_t kEpLog = 0x85;
constexpr uint8_t kEpVideo = 0x82;
// Bulk-only transport of the loader identities.
constexpr uint8_t kEpBotOut = 0x02;
constexpr uint8_t kEpBotIn = 0x81;

constexpr size_t kLogBlock = 512;
constexpr size_t kSector = 512;

void put16(std::string& s, unsigned v) {
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}

void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

std::string endpoint(uint8_t address, uint8_t attributes, uint16_t size, uint8_t interval) {
    std::string e = {7, 5, char(address), char(attributes)};
    put16(e, size);
    e += char(interval);
    return e;
}

std::string hexOf(const uint8_t* p, size_t n) { return toHex(std::string(reinterpret_cast<const char*>(p), n)); }

std::string hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v & 0xFFFF);
    return b;
}

std::string hex2(unsigned v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", v & 0xFF);
    return b;
}

const char* faultName(UsbFault f) {
    switch (f) {
        case UsbFault::Stall:
            return "stall";
        case UsbFault::Timeout:
            return "timeout";
        case UsbFault::Short:
            return "short";
        case UsbFault::NoDevice:
            return "nodev";
        default:
            return "none";
    }
}

// Configuration of the UVC bridge: the video function (control interface
// with the extension unit, streaming interface with one MJPEG format) and
// the vendor endpoints.
std::string uvcConfiguration() {
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

    std::string c = {9, 0x02};
    put16(c, uint16_t(9 + body.size()));
    c += std::string{2, 1, 0, char(0x80), char(0xFA)};
    return c + body;
}

// Configuration of the loader identities: one mass-storage interface
// (SCSI, bulk-only).
std::string botConfiguration() {
    std::string body = {9, 0x04, 0, 0, 2, 0x08, 0x06, 0x50, 0};
    body += endpoint(kEpBotIn, 0x02, 512, 0);
    body += endpoint(kEpBotOut, 0x02, 512, 0);
    std::string c = {9, 0x02};
    put16(c, uint16_t(9 + body.size()));
    c += std::string{1, 1, 0, char(0x80), char(0xFA)};
    return c + body;
}

}  // namespace

UsbModule::UsbModule(int lens) : lens_(lens), flash_(kFlashBytes, 0xFF), dram_(kDramBytes, 0) {
    enumerated(UsbIdentity::Uvc);
}

uint16_t UsbModule::product() const {
    switch (identity_) {
        case UsbIdentity::Romboot:
            return kRombootProduct;
        case UsbIdentity::Updater:
            return kUpdaterProduct;
        default:
            return kUvcProduct;
    }
}

std::string UsbModule::descriptors() const {
    bool uvc = identity_ == UsbIdentity::Uvc;
    std::string d = {18, 1, 0x00, 0x02};
    d += uvc ? std::string{char(0xEF), 0x02, 0x01} : std::string(3, '\0');
    d += char(64);
    put16(d, kVendor);
    put16(d, product());
    put16(d, 0x0100);
    d += std::string{0, 0, 0, 1};
    return d + (uvc ? uvcConfiguration() : botConfiguration());
}

int UsbModule::interfaces() const { return identity_ == UsbIdentity::Uvc ? 2 : 1; }

int UsbModule::interfaceOf(uint8_t ep) const {
    if (identity_ == UsbIdentity::Uvc) {
        if (ep == kEpStatus || ep == kEpPcsync || ep == kEpDownload || ep == kEpLog) return 0;
        if (ep == kEpVideo) return 1;
        return -1;
    }
    return ep == kEpBotIn || ep == kEpBotOut ? 0 : -1;
}

std::string UsbModule::driverOf(int interface) const {
    auto it = drivers_.find(interface);
    return it == drivers_.end() ? "" : it->second;
}

void UsbModule::unbind(int interface) {
    // uvcvideo holds the whole video function: both interfaces go
    if (driverOf(interface) == "uvcvideo") {
        drivers_.erase(0);
        drivers_.erase(1);
    } else {
        drivers_.erase(interface);
    }
}

void UsbModule::bind(int interface) {
    if (interface < 0 || interface >= interfaces() || !driverOf(interface).empty()) return;
    if (identity_ == UsbIdentity::Uvc) {
        drivers_[0] = drivers_[1] = "uvcvideo";
    } else {
        drivers_[interface] = "usb-storage";
    }
}

bool UsbModule::videoBound() const { return identity_ == UsbIdentity::Uvc && driverOf(0) == "uvcvideo"; }

void UsbModule::enumerated(UsbIdentity identity) {
    identity_ = identity;
    drivers_.clear();
    bind(0);
    collecting_ = burning_ = false;
    collected_.clear();
    chunks_ = 0;
    polls_ = 0;
    announced_ = 0;
    download_.clear();
    phase_ = Phase::Command;
    data_.clear();
    storage_ = -1;
    if (identity == UsbIdentity::Romboot) loader_.clear();
    logging_ = false;
    log_pos_ = 0;
    log_zlp_ = false;
    halted_.clear();
}

UsbModule::BusEvent UsbModule::takeBusEvent() {
    BusEvent e = event_;
    event_ = BusEvent();
    return e;
}

void UsbModule::leave(UsbIdentity next, int ms) {
    event_.leave = true;
    event_.next = next;
    event_.returnMs = ms;
}

void UsbModule::note(const std::string& line) {
    calls_.push_back(line);
    while (calls_.size() > kMaxCalls) calls_.pop_front();
}

std::string UsbModule::calls(const std::string& sep) const {
    std::string out;
    for (const std::string& c : calls_) {
        if (!out.empty()) out += sep;
        out += c;
    }
    return out;
}

void UsbModule::clear() {
    faults_.clear();
    claim_fault_ = 0;
    descriptor_fault_ = false;
    halted_.clear();
    calls_.clear();
    ending_ = UsbEnding();
    return_ms_ = 1500;
    faces_ = 0;
}

void UsbModule::armFault(const std::string& target, long n, UsbFault kind) {
    faults_[target + ":" + std::to_string(n)] = kind;
}

UsbFault UsbModule::takeFault(const std::string& target, long n) {
    for (const std::string& key : {std::string("next:0"), target + ":" + std::to_string(n)}) {
        auto it = faults_.find(key);
        if (it != faults_.end()) {
            UsbFault f = it->second;
            faults_.erase(it);
            return f;
        }
    }
    return UsbFault::None;
}

UsbResult UsbModule::applyFault(UsbFault f, UsbResult r, size_t len, std::string& line) {
    line += std::string(" fault=") + faultName(f);
    switch (f) {
        case UsbFault::Stall:
            return {UsbResult::Stall, 0};
        case UsbFault::Timeout:
            return {UsbResult::Never, 0};
        case UsbFault::NoDevice:
            leave(identity_, return_ms_);
            return {UsbResult::NoDevice, 0};
        case UsbFault::Short:
            r.actual = std::min(r.actual, len / 2);
            return r;
        default:
            return r;
    }
}

void UsbModule::clearHalt(uint8_t ep) {
    halted_.erase(ep);
    note("clear-halt " + hex2(ep));
}

int UsbModule::claimFault() {
    int e = claim_fault_;
    claim_fault_ = 0;
    return e;
}

UsbResult UsbModule::control(const uint8_t s[8], uint8_t* data, size_t len) {
    std::string line;
    UsbResult r;
    if ((s[0] & 0x60) == 0x00) {
        r = standard(s, data, len, line);
    } else if (identity_ == UsbIdentity::Uvc) {
        r = controlUvc(s, data, len, line);
    } else {
        line = "ctrl " + hex2(s[0]) + " " + hex2(s[1]) + " " + hex4(s[2] | s[3] << 8) + " " + hex4(s[4] | s[5] << 8) +
               " " + std::to_string(len) + " stalled";
        r = {UsbResult::Stall, 0};
    }
    note(line);
    return r;
}

UsbResult UsbModule::standard(const uint8_t s[8], uint8_t* data, size_t len, std::string& line) {
    unsigned value = s[2] | s[3] << 8;
    line = "std " + hex2(s[0]) + " " + hex2(s[1]) + " " + hex4(value);
    if (s[0] == 0x80 && s[1] == 6) {
        std::string d = descriptors();
        std::string answer;
        if (value >> 8 == 1)
            answer = d.substr(0, 18);
        else if (value >> 8 == 2 && (value & 0xFF) == 0)
            answer = d.substr(18);
        else if (value == 0x0300)
            answer = std::string{4, 3, 0x09, 0x04};
        else
            return {UsbResult::Stall, 0};
        size_t n = std::min(len, answer.size());
        std::memcpy(data, answer.data(), n);
        return {UsbResult::Done, n};
    }
    if (s[0] == 0x80 && s[1] == 0 && len >= 2) {
        data[0] = data[1] = 0;
        return {UsbResult::Done, 2};
    }
    if (s[0] == 0x80 && s[1] == 8 && len >= 1) {
        data[0] = 1;
        return {UsbResult::Done, 1};
    }
    if (s[0] == 0x02 && s[1] == 1 && value == 0) {  // CLEAR_FEATURE(ENDPOINT_HALT)
        if (interfaceOf(s[4]) < 0) return {UsbResult::Stall, 0};
        clearHalt(s[4]);
        return {UsbResult::Done, 0};
    }
    if ((s[0] & 0x80) == 0) return {UsbResult::Done, 0};
    return {UsbResult::Stall, 0};
}

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

UsbResult UsbModule::bulk(uint8_t ep, uint8_t* data, size_t len) {
    std::string line = std::string("bulk ") + (ep & 0x80 ? "in " : "out ") + hex2(ep) + " " + std::to_string(len);
    UsbResult r;
    if (halted(ep)) {
        r = {UsbResult::Stall, 0};
        line += " halted";
    } else if (identity_ != UsbIdentity::Uvc) {
        r = bulkOnly(ep, data, len, line);
    } else if (ep == kEpLog) {
        r = logBlock(data, len, line);
    } else if (ep == kEpDownload || ep == kEpPcsync) {
        UsbFault f = takeFault("bulk", ep);
        r = {UsbResult::Done, len};
        if (f != UsbFault::None) r = applyFault(f, r, len, line);
        if (r.kind == UsbResult::Done) download_.append(reinterpret_cast<const char*>(data), r.actual);
    } else {
        r = {UsbResult::Never, 0};  // no video without a stream
    }
    if (r.kind == UsbResult::Stall) halted_.insert(ep);
    if (r.kind != UsbResult::Later) {
        if (ep & 0x80 && r.kind == UsbResult::Done) line += " -> " + std::to_string(r.actual);
        if (r.kind == UsbResult::Stall) line += " stalled";
        note(line);
    }
    return r;
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

UsbResult UsbModule::bulkOnly(uint8_t ep, uint8_t* data, size_t len, std::string& line) {
    UsbFault f = takeFault("bulk", ep);
    UsbResult r{UsbResult::Done, len};
    if (f != UsbFault::None && f != UsbFault::Short) {
        // A stalled data phase ends the command: its status (failed) is
        // what the IN endpoint gives next.
        if (f == UsbFault::Stall && (phase_ == Phase::DataOut || phase_ == Phase::DataIn)) {
            csw_status_ = 1;
            phase_ = Phase::Status;
        }
        return applyFault(f, r, len, line);
    }
    size_t room = f == UsbFault::Short ? len / 2 : len;
    if (f == UsbFault::Short) line += " fault=short";
    if (ep == kEpBotOut) {
        if (phase_ == Phase::Command) {
            if (room != 31 || std::memcmp(data, "USBC", 4) != 0) {
                line += " bad-cbw";
                return {UsbResult::Stall, 0};
            }
            std::memcpy(cbw_, data, 31);
            tag_ = le32(cbw_ + 4);
            data_len_ = le32(cbw_ + 8);
            data_.clear();
            data_pos_ = 0;
            scsiCommand(line);
            return {UsbResult::Done, room};
        }
        if (phase_ != Phase::DataOut) {
            line += " out-of-phase";
            return {UsbResult::Stall, 0};
        }
        size_t n = std::min(room, size_t(data_len_) - data_.size());
        data_.append(reinterpret_cast<const char*>(data), n);
        if (data_.size() == data_len_) scsiCommand(line);
        return {UsbResult::Done, n};
    }
    if (ep != kEpBotIn) return {UsbResult::Stall, 0};
    if (phase_ == Phase::DataIn) {
        size_t n = std::min(room, data_.size() - data_pos_);
        std::memcpy(data, data_.data() + data_pos_, n);
        data_pos_ += n;
        if (data_pos_ == data_.size()) phase_ = Phase::Status;
        return {UsbResult::Done, n};
    }
    if (phase_ == Phase::Status) {
        if (room < 13) return {UsbResult::Stall, 0};
        std::string csw = "USBS";
        put32(csw, tag_);
        put32(csw, 0);
        csw += char(csw_status_);
        std::memcpy(data, csw.data(), 13);
        line += " status=" + std::to_string(csw_status_);
        phase_ = Phase::Command;
        // a long jump starts the loaded code once its status is out
        if (jump_pending_) {
            jump_pending_ = false;
            line += " jumps";
            leave(jump_, 1000);
        }
        return {UsbResult::Done, 13};
    }
    return {UsbResult::Later, 0};  // nothing to answer: the host times out
}

void UsbModule::writeStorage(uint32_t address, const uint8_t* data, size_t len) {
    std::vector<uint8_t>& s = storage_ == 128 ? dram_ : flash_;
    std::copy(data, data + len, s.begin() + address);
}

// Runs the command block of the current wrapper: when it has a data-out
// phase, first to collect the data (data_ shorter than data_len_), then to
// act on it.
void UsbModule::scsiCommand(std::string& line) {
    const uint8_t* cb = cbw_ + 15;
    bool in = (cbw_[12] & 0x80) != 0;
    bool vendorCmd = cb[0] == 0xFA && cb[1] == 0x55;
    uint8_t op = cb[3];
    bool test = vendorCmd && (cb[2] == 0x55 || cb[2] == 0x66) && op == 1;
    bool collecting = !in && data_len_ > 0 && data_.size() < data_len_;
    if (collecting && phase_ == Phase::Command) {
        line += " cb=" + hexOf(cb, 16);
        phase_ = Phase::DataOut;
        return;
    }
    if (phase_ == Phase::Command) line += " cb=" + hexOf(cb, 16);
    csw_status_ = 0;
    std::string answer;
    std::string what;
    if (test) {
        what = "test";
        answer = std::string{char(0xAA), 0x55};
        answer.resize(16, '\0');
    } else if (vendorCmd && cb[2] == 0x66 && op == 2) {
        unsigned count = unsigned(cb[4]) << 8 | cb[5];
        what = "write-control " + std::to_string(count);
        if (identity_ != UsbIdentity::Romboot || data_.size() != count * kSector)
            csw_status_ = 1;
        else
            loader_ += data_;
    } else if (vendorCmd && cb[2] == 0x66 && op == 3) {
        what = "long-jump";
        if (identity_ == UsbIdentity::Romboot && !loader_.empty()) {
            jump_ = UsbIdentity::Updater;
            jump_pending_ = true;
        } else if (identity_ == UsbIdentity::Updater && storage_ == 128) {
            jump_ = UsbIdentity::Uvc;
            jump_pending_ = true;
        } else {
            csw_status_ = 1;
        }
    } else if (vendorCmd && cb[2] == 0x66 && op == 6) {
        what = "select " + std::to_string(cb[4]) + " " + std::to_string(cb[5]);
        uint32_t sectors = 0;
        if (cb[4] == 5)
            sectors = uint32_t(flash_.size() / kSector);
        else if (cb[4] == 128)
            sectors = uint32_t(dram_.size() / kSector);
        if (sectors)
            storage_ = cb[4];
        else
            csw_status_ = 1;
        put32(answer, sectors);
    } else if (vendorCmd && cb[2] == 0x66 && op == 8) {
        uint32_t address = be32(cb + 4);
        unsigned count = unsigned(cb[8]) << 8 | cb[9];
        what = "device-write " + std::to_string(address) + " " + std::to_string(count) + " " + std::to_string(cb[10]);
        size_t size = storage_ == 128 ? dram_.size() : flash_.size();
        if (storage_ < 0 || data_.size() != count * kSector || address > size || data_.size() > size - address) {
            csw_status_ = 1;
        } else {
            writeStorage(address, reinterpret_cast<const uint8_t*>(data_.data()), data_.size());
        }
    } else {
        what = "unknown";
        csw_status_ = 1;
    }
    line += " scsi " + what;
    note("scsi " + what + (csw_status_ ? " failed" : ""));
    if (in && data_len_ > 0) {
        answer.resize(data_len_, '\0');
        data_ = answer;
        data_pos_ = 0;
        phase_ = Phase::DataIn;
    } else {
        phase_ = Phase::Status;
    }
}

}  // namespace vcam

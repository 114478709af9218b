#include "usb_module.h"

#include <algorithm>
#include <cstring>

#include "usb_wire.h"

namespace vcam {

using namespace usbwire;

namespace {

const struct {
    UsbFault fault;
    const char* name;
} kFaultNames[] = {
    {UsbFault::Stall, "stall"},
    {UsbFault::Timeout, "timeout"},
    {UsbFault::Short, "short"},
    {UsbFault::NoDevice, "nodev"},
};

}  // namespace

const char* faultName(UsbFault f) {
    for (const auto& n : kFaultNames)
        if (n.fault == f) return n.name;
    return "none";
}

bool faultByName(const std::string& name, UsbFault& f) {
    for (const auto& n : kFaultNames)
        if (name == n.name) {
            f = n.fault;
            return true;
        }
    return false;
}

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
    return d + (uvc ? bridgeConfiguration() : loaderConfiguration());
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

}  // namespace vcam

// The module in its ROM-boot loader (0x8A03) and updater (0x8200)
// identities: one mass-storage interface speaking the vendor SCSI commands
// in the bulk-only transport, the control binary, the long jump, and the
// writes into flash or memory.
#include <algorithm>
#include <cstring>

#include "usb_module.h"
#include "usb_wire.h"

namespace vcam {

using namespace usbwire;

namespace {

constexpr size_t kSector = 512;

}  // namespace

namespace usbwire {

// Configuration of the loader identities: one mass-storage interface
// (SCSI, bulk-only).
std::string loaderConfiguration() {
    std::string body = {9, 0x04, 0, 0, 2, 0x08, 0x06, 0x50, 0};
    body += endpoint(kEpBotIn, 0x02, 512, 0);
    body += endpoint(kEpBotOut, 0x02, 512, 0);
    return configuration(1, body);
}

}  // namespace usbwire

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

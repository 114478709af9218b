// A lens's camera module as a USB device: the bridge chip in its three
// identities (the UVC bridge 0x114D:0x858A, the ROM-boot loader 0x8A03 and
// the updater 0x8200 a long jump starts), its descriptors, the transfers it
// answers and the faults a run injects into them. The device server
// (usb_server) carries the transfers over usbdevfs; this class only decides
// what the module does with them. Not thread-safe: the server serialises.
// The bridge identity is in usb_bridge.cc, the loader identities in
// usb_loader.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vcam {

enum class UsbIdentity { Uvc, Romboot, Updater };

// How a transfer ends.
struct UsbResult {
    enum Kind {
        Done,      // status 0, `actual` bytes moved
        Stall,     // the endpoint stalls (-EPIPE)
        NoDevice,  // the module has left the bus (-ENODEV)
        Never,     // the module never answers: the host's time-out ends it
        Later,     // nothing to send yet; asked again on the next reap
    };
    Kind kind = Done;
    size_t actual = 0;
};

// A fault armed for one transfer.
enum class UsbFault { None, Stall, Timeout, Short, NoDevice };

// A fault's name in the run's commands and the call list: "stall",
// "timeout", "short", "nodev" ("none" for None).
const char* faultName(UsbFault f);
// The fault of such a name; false for any other.
bool faultByName(const std::string& name, UsbFault& f);

// What the module does after a burn: busy for `busy` polls, then `end`.
struct UsbEnding {
    enum End { Ok, Fail, Drop, Silent };
    End end = Ok;
    int busy = 1;
};

class UsbModule {
public:
    static constexpr uint16_t kVendor = 0x114D;
    static constexpr uint16_t kUvcProduct = 0x858A;
    static constexpr uint16_t kRombootProduct = 0x8A03;
    static constexpr uint16_t kUpdaterProduct = 0x8200;
    static constexpr size_t kFlashBytes = 4 << 20;
    static constexpr size_t kDramBytes = 16 << 20;
    // Log lines kept; older ones are dropped.
    static constexpr size_t kMaxCalls = 200000;

    explicit UsbModule(int lens);

    int lens() const { return lens_; }
    UsbIdentity identity() const { return identity_; }
    uint16_t product() const;
    // Device descriptor followed by the configuration descriptor, as usbfs
    // and sysfs "descriptors" give them.
    std::string descriptors() const;
    int interfaces() const;
    // The interface an endpoint belongs to; -1 when the configuration has
    // no such endpoint.
    int interfaceOf(uint8_t endpoint) const;
    // The kernel driver bound to an interface ("" for none).
    std::string driverOf(int interface) const;
    void unbind(int interface);
    void bind(int interface);
    // Whether the UVC driver holds the lens (its video node is there).
    bool videoBound() const;

    // A control transfer: setup packet and its data stage (`data` holds
    // wLength bytes; an IN answer is written there).
    UsbResult control(const uint8_t setup[8], uint8_t* data, size_t len);
    // A bulk transfer on `endpoint` (bit 7 set: IN into data).
    UsbResult bulk(uint8_t endpoint, uint8_t* data, size_t len);
    // A bulk endpoint that stalled stays halted (every transfer on it
    // stalls) until the host clears the halt (CLEAR_FEATURE(ENDPOINT_HALT)).
    void clearHalt(uint8_t endpoint);
    bool halted(uint8_t endpoint) const { return halted_.count(endpoint) != 0; }
    // The claim's outcome: 0, or the errno an armed claim fault gives.
    int claimFault();
    void note(const std::string& line);

    // Bus events the module asks for after a transfer: it leaves the bus
    // (`leave`) and comes back as `next` after `returnMs` (never when
    // `returnMs` < 0).
    struct BusEvent {
        bool leave = false;
        UsbIdentity next = UsbIdentity::Uvc;
        int returnMs = -1;
    };
    BusEvent takeBusEvent();
    // The module is on the bus again with a new identity.
    void enumerated(UsbIdentity identity);

    // Run controls.
    const std::string& image() const { return image_; }
    const std::vector<uint8_t>& flash() const { return flash_; }
    const std::vector<uint8_t>& dram() const { return dram_; }
    void setEnding(const UsbEnding& e) { ending_ = e; }
    const UsbEnding& ending() const { return ending_; }
    void setReturnMs(int ms) { return_ms_ = ms; }
    int returnMs() const { return return_ms_; }
    // Targets: "init", "chunk" (n = the n-th chunk from 1), "burn", "poll",
    // "next" (the next transfer of any kind), "bulk" (n = endpoint).
    void armFault(const std::string& target, long n, UsbFault kind);
    void armClaimFault(int err) { claim_fault_ = err; }
    void setDescriptorFault(bool on) { descriptor_fault_ = on; }
    bool descriptorFault() const { return descriptor_fault_; }
    // The face count the face-position answer reports (0 to 255); the
    // rectangles that fit behind it are rectangle K (from 1) at
    // 100K, 100K+1, 100K+2, 100K+3 (left, top, right, bottom).
    void setFaces(int count) { faces_ = count; }
    int faces() const { return faces_; }
    // Faults (halted endpoints too), the call list and the ending back to
    // their defaults.
    void clear();
    std::string calls(const std::string& sep) const;
    // One device log message: a 16-byte header then the payload.
    void queueLog(uint16_t type, const std::string& payload);
    // Raw bytes sent as one message, header and all.
    void queueRawLog(const std::string& bytes);
    bool logging() const { return logging_; }
    size_t logQueued() const;

private:
    UsbResult controlUvc(const uint8_t setup[8], uint8_t* data, size_t len, std::string& line);
    UsbResult standard(const uint8_t setup[8], uint8_t* data, size_t len, std::string& line);
    UsbResult vendor(const uint8_t setup[8], uint8_t* data, size_t len, std::string& line);
    UsbResult statusPoll(uint8_t* data, size_t len, std::string& line);
    UsbResult bulkOnly(uint8_t endpoint, uint8_t* data, size_t len, std::string& line);
    void scsiCommand(std::string& line);
    UsbResult logBlock(uint8_t* data, size_t len, std::string& line);
    // The armed fault of the transfer `target`/`n`, disarmed.
    UsbFault takeFault(const std::string& target, long n);
    UsbResult applyFault(UsbFault f, UsbResult r, size_t len, std::string& line);
    void leave(UsbIdentity next, int ms);
    void writeStorage(uint32_t address, const uint8_t* data, size_t len);

    int lens_;
    UsbIdentity identity_ = UsbIdentity::Uvc;
    std::map<int, std::string> drivers_;
    std::deque<std::string> calls_;
    BusEvent event_;

    // extension-unit update
    bool collecting_ = false;
    std::string collected_;
    long chunks_ = 0;
    bool burning_ = false;
    int polls_ = 0;
    std::string image_;
    UsbEnding ending_;
    int return_ms_ = 1500;

    // vendor-request downloads
    uint32_t announced_ = 0;
    std::string download_;

    // face detection
    int faces_ = 0;

    // faults
    std::map<std::string, UsbFault> faults_;
    std::set<uint8_t> halted_;
    int claim_fault_ = 0;
    bool descriptor_fault_ = false;

    // bulk-only transport of the ROM-boot and updater identities
    enum class Phase { Command, DataOut, DataIn, Status };
    Phase phase_ = Phase::Command;
    uint8_t cbw_[31] = {};
    uint32_t tag_ = 0;
    uint32_t data_len_ = 0;
    std::string data_;     // data phase collected (out) or to send (in)
    size_t data_pos_ = 0;  // bytes of an IN phase already sent
    uint8_t csw_status_ = 0;
    int storage_ = -1;           // selected storage type
    bool jump_pending_ = false;  // a long jump waits for its status
    UsbIdentity jump_ = UsbIdentity::Uvc;
    std::string loader_;  // control binary written to the ROM-boot module
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> dram_;

    // device log stream
    bool logging_ = false;
    uint32_t packet_id_ = 0;
    std::deque<std::string> log_;  // whole messages
    size_t log_pos_ = 0;           // bytes of the front message already sent
    bool log_zlp_ = false;         // a full last block still owes its end
};

}  // namespace vcam

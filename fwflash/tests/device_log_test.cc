// The device-log reader fed from memory: messages over several blocks,
// oversized and malformed ones, and the file each type lands in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "BrgXu.h"
#include "support/camtest.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string message(uint16_t type, const std::string& body, uint16_t header_len = 16, int announced = -1) {
    std::string m(header_len >= 16 ? header_len : 16, '\0');
    m[0] = 0x55;
    m[1] = 1;
    m[2] = static_cast<char>(header_len & 0xFF);
    m[3] = static_cast<char>(header_len >> 8);
    m[8] = static_cast<char>(type);
    const uint16_t len = static_cast<uint16_t>(announced >= 0 ? announced : body.size());
    m[10] = static_cast<char>(len & 0xFF);
    m[11] = static_cast<char>(len >> 8);
    return m + body;
}

// Serves bytes as the bulk endpoint would: 512-byte blocks, a short last
// block per message; then timeouts, then an error that ends the loop.
class Endpoint {
public:
    void add(const std::string& msg) {
        for (size_t at = 0; at < msg.size(); at += 512) blocks_.push_back(msg.substr(at, 512));
        if (msg.size() % 512 == 0) blocks_.push_back("");  // zero-length end
    }
    void timeout() { blocks_.push_back(kTimeout); }
    void block(const std::string& b) { blocks_.push_back(b); }
    int read(uint8_t* block, int size, int* got) {
        ++reads_;
        if (blocks_.empty()) return LIBUSB_ERROR_IO;
        std::string b = blocks_.front();
        blocks_.pop_front();
        if (b == kTimeout) return LIBUSB_ERROR_TIMEOUT;
        EXPECT_LE(static_cast<int>(b.size()), size);
        memcpy(block, b.data(), b.size());
        *got = static_cast<int>(b.size());
        return 0;
    }
    CDeviceLogThread::BlockReader reader() {
        return [this](uint8_t* block, int size, int* got) { return read(block, size, got); };
    }
    int reads_ = 0;

private:
    const std::string kTimeout = "\x01timeout";
    std::deque<std::string> blocks_;
};

std::string body(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 23);
    return s;
}

class DeviceLog : public testing::Test {
protected:
    void SetUp() override {
        mkdir("/tmp/devlog", 0755);
        ASSERT_EQ(0, chdir("/tmp/devlog"));
        sinks_[0].Open("FwMeg.txt");
        sinks_[1].Open("AudioMsg.dat");
        sinks_[2].Open("DramMsg.dat");
        sinks_[3].Open("FlashMsg.dat");
    }
    std::string run(Endpoint& ep) {
        CDeviceLogThread thread(nullptr);
        CaptureStdout();
        thread.LogLoop(ep.reader(), sinks_);
        return GetCapturedStdout();
    }
    CVideoDump sinks_[LOG_MSG_MAX_NUM];
};

TEST_F(DeviceLog, MessagesSortedByTypeAcrossBlocks) {
    Endpoint ep;
    ep.add(message(LOG_MSG_FW_MESSAGE, "boot ok\n"));
    ep.timeout();
    const std::string dram = body(1200, 'a');  // 1216 bytes: three blocks
    ep.add(message(LOG_MSG_DRAM_MESSAGE, dram));
    const std::string audio = body(496, 'A');  // exactly one full block
    ep.add(message(LOG_MSG_AUDIO_MESSAGE, audio));
    // A longer header: the body starts behind it.
    ep.add(message(LOG_MSG_FLASH_MESSAGE, "flash", 20));
    ep.add(message(LOG_MSG_FW_MESSAGE, "second line\n"));
    ep.add(message(9, "what"));
    std::string out = run(ep);

    EXPECT_EQ("boot ok\nsecond line\n", camtest::readFile("FwMeg.txt"));
    EXPECT_EQ(dram, camtest::readFile("DramMsg.dat"));
    EXPECT_EQ(audio, camtest::readFile("AudioMsg.dat"));
    EXPECT_EQ("flash", camtest::readFile("FlashMsg.dat"));
    EXPECT_EQ(
        "boot ok\nsecond line\n!!!!!!!!! DeviceMessageLog:: Unknown Message ID !!!!!!!!!.\r\n"
        "transfer error, exit.\r\n",
        out);
}

TEST_F(DeviceLog, OversizedAndMalformedMessagesStayInBounds) {
    Endpoint ep;
    // Announces 65000 bytes: the buffer keeps 32768, the rest is read and
    // dropped instead of being taken for new messages.
    const std::string big = body(65000, '0');
    ep.add(message(LOG_MSG_DRAM_MESSAGE, big));
    // A header length below the header itself; fewer bytes than a header.
    ep.add(message(LOG_MSG_FLASH_MESSAGE, "short header", 8));
    ep.add(std::string("\x55\x01\x10", 3));
    // Text without a terminating zero is printed with its length only,
    // also when it fills the whole buffer.
    const std::string text = body(40000, 'A');
    ep.add(message(LOG_MSG_FW_MESSAGE, text));
    ep.add(message(LOG_MSG_FW_MESSAGE, "abc"));
    ep.add(message(LOG_MSG_FLASH_MESSAGE, "after"));
    // A header length past the bytes received: the reader waits for the
    // rest, the endpoint fails, and the message is dropped.
    ep.add(message(LOG_MSG_FLASH_MESSAGE, "past the end", 16, 0).replace(2, 2, std::string("\x58\x02", 2)));
    std::string out = run(ep);

    EXPECT_EQ(big.substr(0, 32768 - 16), camtest::readFile("DramMsg.dat"));
    EXPECT_EQ("after", camtest::readFile("FlashMsg.dat"));
    const std::string kept = text.substr(0, 32768 - 16);
    EXPECT_EQ(kept + "abc", camtest::readFile("FwMeg.txt"));
    EXPECT_EQ(kept + "abctransfer error, exit.\r\ntransfer error, exit.\r\n", out);
}

TEST_F(DeviceLog, FailedReadInsideAMessageEndsIt) {
    Endpoint ep;
    // Announces two blocks but the endpoint fails after the first.
    std::string m = message(LOG_MSG_AUDIO_MESSAGE, body(700, 'k'));
    ep.block(m.substr(0, 512));
    std::string out = run(ep);
    EXPECT_EQ(m.substr(16, 512 - 16), camtest::readFile("AudioMsg.dat"));
    EXPECT_EQ("transfer error, exit.\r\ntransfer error, exit.\r\n", out);
}

}  // namespace

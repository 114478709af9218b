// The image checks every update path makes before its first transfer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BrgXu.h"
#include "support/camtest.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct Read {
    bool ok = false;
    std::vector<uint8_t> buffer;
    uint32_t length = 0;
    std::string out;
};

Read readImage(const char* path, size_t pad = 32) {
    Read r;
    CaptureStdout();
    r.ok = ReadFirmwareImage(path, r.buffer, r.length, pad, "binary size=%d bytes\r\n");
    r.out = GetCapturedStdout();
    return r;
}

TEST(FirmwareImage, ReadWholeWithZeroPadding) {
    std::string bytes(33, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0x80 + i);
    camtest::writeFile("/tmp/fw33.bin", bytes);
    Read r = readImage("/tmp/fw33.bin");
    ASSERT_TRUE(r.ok) << r.out;
    EXPECT_EQ("binary size=33 bytes\r\n", r.out);
    EXPECT_EQ(33u, r.length);
    ASSERT_EQ(65u, r.buffer.size());
    EXPECT_EQ(bytes, std::string(r.buffer.begin(), r.buffer.begin() + 33));
    EXPECT_EQ(std::string(32, '\0'), std::string(r.buffer.begin() + 33, r.buffer.end()));
}

TEST(FirmwareImage, RefusesWhatCannotBeBurned) {
    Read r = readImage("/tmp/no-such-image.bin");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ("file /tmp/no-such-image.bin not exist. \r\n", r.out);

    r = readImage(nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ("file  not exist. \r\n", r.out);

    mkdir("/tmp/fwdir", 0755);
    r = readImage("/tmp/fwdir");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ("file /tmp/fwdir is a directory. \r\n", r.out);

    camtest::writeFile("/tmp/fw-empty.bin", "");
    r = readImage("/tmp/fw-empty.bin");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ("binary size=0 bytes\r\nfile /tmp/fw-empty.bin is empty. \r\n", r.out);

    // A FIFO nobody writes: refused at once instead of hanging in the open.
    unlink("/tmp/fw.fifo");
    ASSERT_EQ(0, mkfifo("/tmp/fw.fifo", 0644));
    r = readImage("/tmp/fw.fifo");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ("file /tmp/fw.fifo size unknown. \r\n", r.out);

    // Past what the 32-bit lengths carry: refused before any allocation.
    int fd = open("/tmp/fw-huge.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, off_t(1) << 32));
    close(fd);
    r = readImage("/tmp/fw-huge.bin");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ("file /tmp/fw-huge.bin too large. \r\n", r.out);
    EXPECT_TRUE(r.buffer.empty());
    fd = open("/tmp/fw-huge.bin", O_WRONLY);
    ASSERT_EQ(0, ftruncate(fd, off_t(0x7FFFFFFF)));
    close(fd);
    r = readImage("/tmp/fw-huge.bin");
    EXPECT_EQ("file /tmp/fw-huge.bin too large. \r\n", r.out);
    unlink("/tmp/fw-huge.bin");
}

// A stream that claims more bytes than it gives.
struct ShortStream {
    off_t size;
    off_t pos = 0;
    off_t gives;
};

ssize_t shortRead(void* cookie, char* buf, size_t n) {
    auto* s = static_cast<ShortStream*>(cookie);
    size_t left = s->pos < s->gives ? static_cast<size_t>(s->gives - s->pos) : 0;
    n = std::min(n, left);
    memset(buf, 'x', n);
    s->pos += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

int shortSeek(void* cookie, off64_t* offset, int whence) {
    auto* s = static_cast<ShortStream*>(cookie);
    s->pos = whence == SEEK_END ? s->size + *offset : whence == SEEK_CUR ? s->pos + *offset : *offset;
    *offset = s->pos;
    return 0;
}

TEST(FirmwareImage, ShortReadRefused) {
    ShortStream s{1000, 0, 600};
    cookie_io_functions_t io = {shortRead, nullptr, shortSeek, nullptr};
    FILE* f = fopencookie(&s, "rb", io);
    ASSERT_NE(nullptr, f);
    std::vector<uint8_t> buffer;
    uint32_t length = 0;
    CaptureStdout();
    bool ok = ReadFirmwareStream(f, "/tmp/shrinking.bin", buffer, length, 32, "binary size=%d bytes\r\n");
    std::string out = GetCapturedStdout();
    fclose(f);
    EXPECT_FALSE(ok);
    EXPECT_EQ("binary size=1000 bytes\r\nread file /tmp/shrinking.bin failed. \r\n", out);
}

// Without a device the update stops at its first transfer: no data and no
// burn command follow a failed init, and a refused image sends nothing.
TEST(FirmwareImage, UpdateChecksBeforeTransfers) {
    mkdir("/tmp/fwdir", 0755);
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, UpdateFirmwareUvcPath(nullptr, "/tmp/fwdir", 0));
    std::string out = GetCapturedStdout();
    EXPECT_EQ("file /tmp/fwdir is a directory. \r\n", out);

    camtest::writeFile("/tmp/fw5.bin", "12345");
    CaptureStdout();
    EXPECT_EQ(BRG_TRANSFER_FAILED, UpdateFirmwareUvcPath(nullptr, "/tmp/fw5.bin", 0));
    out = GetCapturedStdout();
    EXPECT_EQ("binary size=5 bytes\r\nUVC path fw update init.\r\n\r\nUVC path fw update init failed.\r\n", out);
}

}  // namespace

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fifo_ipc/client_fifo.h"
#include "fifo_ipc/cmd_msg.h"
#include "fifo_ipc/fifo_paths.h"
#include "fifo_ipc/server_fifo.h"
#include "support/camtest.h"

namespace {

constexpr const char* kRead = pnocamera::kServerReadFifo;
constexpr const char* kWrite = pnocamera::kServerWriteFifo;

std::string drain(int fd) {
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

TEST(ServerFifo, ReplacesWhatStandsAtThePaths) {
    camtest::writeFile(kRead, "regular file");
    mkfifo(kWrite, 0600);
    mode_t old = umask(0);
    int rfd = -1, wfd = -1;
    EXPECT_TRUE(pnocamera::SetupServerCommunicate(kRead, &rfd, kWrite, &wfd));
    umask(old);
    for (const char* path : {kRead, kWrite}) {
        struct stat st;
        ASSERT_EQ(stat(path, &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << path;
        EXPECT_EQ(st.st_mode & 0777, 0664u) << path;
    }
    EXPECT_GE(rfd, 0);
    EXPECT_GE(wfd, 0);
    close(rfd);
    close(wfd);
}

TEST(ServerFifo, CreateFailsInAMissingDirectory) {
    EXPECT_FALSE(pnocamera::Createfifo("/nonexistent/dir/f.fifo"));
    int rfd = -1, wfd = -1;
    EXPECT_FALSE(pnocamera::SetupServerCommunicate("/nonexistent/a", &rfd, kWrite, &wfd));
}

TEST(Fifo, MessagesAreFramedWithOneLineEnd) {
    int rfd = -1, wfd = -1;
    ASSERT_TRUE(pnocamera::SetupServerCommunicate(kRead, &rfd, kWrite, &wfd));

    // A worker's write-only open finds the controller's reader at once.
    int worker = -1;
    pnocamera::SetUpWrite(kRead, &worker);
    ASSERT_GE(worker, 0);
    CmdMessage prepare("prepare");
    prepare.AddDataMember<std::string>("process", "stillGrab");
    EXPECT_TRUE(pnocamera::WriteClientFifo(worker, prepare.GetString()));
    pnocamera::CloseFifo(worker);
    EXPECT_EQ(drain(rfd), prepare.GetString() + "\n");

    camtest::LogCapture log;
    EXPECT_TRUE(pnocamera::WriteServerFifo(wfd, R"({"cmd":"snapshot","data":{}})"));
    EXPECT_EQ(log.count(google::GLOG_INFO, R"(server write:{"cmd":"snapshot","data":{}})"), 1);
    int reader = -1;
    pnocamera::SetUpRead(kWrite, &reader);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(drain(reader), "{\"cmd\":\"snapshot\",\"data\":{}}\n");
    pnocamera::CloseFifo(reader);
    close(rfd);
    close(wfd);
}

TEST(Fifo, ClosedOrMissingEnds) {
    camtest::LogCapture log;
    EXPECT_FALSE(pnocamera::WriteClientFifo(-1, "x"));
    EXPECT_FALSE(pnocamera::WriteServerFifo(-1, "x"));
    EXPECT_TRUE(log.records().empty());

    // No reader: a worker's write-only open fails and says why.
    unlink("/tmp/lonely.fifo");
    ASSERT_EQ(mkfifo("/tmp/lonely.fifo", 0664), 0);
    int fd = 0;
    pnocamera::SetUpWrite("/tmp/lonely.fifo", &fd);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(log.count(google::GLOG_ERROR, "No such device or address"), 1);

    // Closing 0 leaves standard input alone.
    pnocamera::CloseFifo(0);
    EXPECT_NE(fcntl(0, F_GETFD), -1);
}

TEST(Fifo, FullPipeIsAFailedWrite) {
    int rfd = -1, wfd = -1;
    ASSERT_TRUE(pnocamera::SetupServerCommunicate(kRead, &rfd, kWrite, &wfd));
    std::string big(4096, 'x');
    bool ok = true;
    for (int i = 0; i < 100 && ok; ++i) ok = pnocamera::WriteClientFifo(wfd, big);
    EXPECT_FALSE(ok) << "nobody reads server_write.fifo: a write must fail once it is full";
    close(rfd);
    close(wfd);
}

}  // namespace

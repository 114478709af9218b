#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/file_util.h"
#include "common/process_util.h"
#include "support/camtest.h"

namespace {

using pnocamera::readSmallFile;
using pnocamera::replaceFileAtomically;

TEST(FileUtil, ReadsSmallFilesAndRefusesLargeOnes) {
    camtest::writeFile("/tmp/small", "42\n");
    std::string out = "old";
    EXPECT_TRUE(readSmallFile("/tmp/small", out));
    EXPECT_EQ(out, "42\n");
    out = "old";
    EXPECT_FALSE(readSmallFile("/tmp/small", out, 2));
    EXPECT_EQ(out, "old");
    EXPECT_FALSE(readSmallFile("/tmp/none", out));
}

TEST(FileUtil, AtomicReplaceLeavesNoTemporaryAndKeepsOldOnFailure) {
    mkdir("/tmp/atomic", 0755);
    camtest::writeFile("/tmp/atomic/f", "old");
    EXPECT_TRUE(replaceFileAtomically("/tmp/atomic/f", std::string("new")));
    EXPECT_EQ(camtest::readFile("/tmp/atomic/f"), "new");
    EXPECT_FALSE(replaceFileAtomically("/tmp/atomic/f", [](FILE* fp) {
        fputs("partial", fp);
        return false;
    }));
    EXPECT_EQ(camtest::readFile("/tmp/atomic/f"), "new");
    EXPECT_EQ(system("test $(ls /tmp/atomic | wc -l) -eq 1"), 0) << "temporary files left behind";
}

TEST(FileUtil, SysfsWritesReplaceTheValueAndNeverCreateAFile) {
    camtest::writeFile("/tmp/value", "ondemand\n");
    EXPECT_TRUE(pnocamera::writeSysfsValue("/tmp/value", "\n"));
    EXPECT_EQ(camtest::readFile("/tmp/value"), "\n");
    EXPECT_TRUE(pnocamera::writeSysfsValue("/tmp/value", "/dev/mmcblk1\n"));
    EXPECT_EQ(camtest::readFile("/tmp/value"), "/dev/mmcblk1\n");
    EXPECT_FALSE(pnocamera::writeSysfsValue("/tmp/no-such-value", "x\n"));
    EXPECT_FALSE(camtest::exists("/tmp/no-such-value"));
    EXPECT_FALSE(pnocamera::writeSysfsValue("/tmp", "x\n")) << "a directory";
}

TEST(ProcessUtil, RunsWithoutAShellAndReportsExecFailure) {
    int status = pnocamera::runProcess({"sh", "-c", "exit 3"});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    // Shell text in an argument stays one literal argument.
    status = pnocamera::runProcess({"touch", "/tmp/a b;echo>pwned $(id)"});
    EXPECT_TRUE(pnocamera::exitedCleanly(status));
    EXPECT_TRUE(camtest::exists("/tmp/a b;echo>pwned $(id)"));
    EXPECT_FALSE(camtest::exists("/pwned"));

    errno = 0;
    EXPECT_EQ(pnocamera::spawnProcess({"no-such-program-here"}), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(pnocamera::runProcess({}), -1);
    EXPECT_FALSE(pnocamera::exitedCleanly(-1));
}

}  // namespace

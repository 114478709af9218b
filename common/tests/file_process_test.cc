#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

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

// The sweep after a kill takes the rewrite's own temporary names only.
TEST(FileUtil, RewriteLeftoversAreTheRewritesOwnNamesOnly) {
    mkdir("/tmp/sweep", 0755);
    camtest::writeFile("/tmp/sweep/f", "old");
    std::string temporary;
    EXPECT_TRUE(replaceFileAtomically("/tmp/sweep/f", [&](FILE* fp) {
        std::unique_ptr<DIR, int (*)(DIR*)> d(opendir("/tmp/sweep"), closedir);
        while (const dirent* e = d ? readdir(d.get()) : nullptr) {
            if (e->d_name[0] != '.' && std::string(e->d_name) != "f") temporary = e->d_name;
        }
        return fputs("new", fp) >= 0;
    }));
    ASSERT_EQ(temporary.size(), std::string("f.rewrite-").size() + 6) << temporary;
    EXPECT_EQ(temporary.compare(0, 10, "f.rewrite-"), 0) << temporary;

    camtest::writeFile("/tmp/sweep/" + temporary, "partial");
    const char* kept[] = {"f.backup",          "f.golden",         "f.abc123",         "f.rewrite-Ab12C",
                          "f.rewrite-Ab12Cd7", "f.rewrite-Ab-2Cd", "g.rewrite-Ab12Cd", "f.Rewrite-Ab12Cd"};
    for (const char* k : kept) camtest::writeFile(std::string("/tmp/sweep/") + k, k);
    ASSERT_EQ(mkdir("/tmp/sweep/f.rewrite-Dir123", 0755), 0);
    ASSERT_EQ(symlink("/tmp/sweep/f.backup", "/tmp/sweep/f.rewrite-Lnk123"), 0);
    EXPECT_EQ(pnocamera::removeRewriteLeftovers("/tmp/sweep/f"), 1);
    EXPECT_FALSE(camtest::exists("/tmp/sweep/" + temporary));
    for (const char* k : kept) EXPECT_EQ(camtest::readFile(std::string("/tmp/sweep/") + k), k) << k;
    EXPECT_EQ(camtest::readFile("/tmp/sweep/f"), "new");
    struct stat st;
    EXPECT_EQ(stat("/tmp/sweep/f.rewrite-Dir123", &st), 0);
    EXPECT_EQ(lstat("/tmp/sweep/f.rewrite-Lnk123", &st), 0);
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

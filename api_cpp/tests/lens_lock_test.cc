// Two processes contending for one lens of the virtual camera: the lock
// file keeps the second one out. A program of its own, so that no earlier
// test of this process holds the lens's lock already.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "V4l2Camera.h"
#include "support/camtest.h"

TEST(LensLock, SecondProcessCannotTakeAnOpenLens) {
    struct stat st;
    ASSERT_EQ(stat("/dev/video1", &st), 0) << "the virtual camera has no lens 1";
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c = 'y';
        V4L2Camera cam;
        try {
            cam.openCamera(1, 960, 960);
            cam.readFrame();
        } catch (const HardwareException&) {
            c = 'n';
        }
        (void)!write(ready[1], &c, 1);
        // on "r": read one more frame and say whether it came
        while (read(done[0], &c, 1) == 1 && c == 'r') {
            try {
                cam.readFrame();
                c = cam.size() > 0 ? 'y' : 'n';
            } catch (const HardwareException&) {
                c = 'n';
            }
            (void)!write(ready[1], &c, 1);
        }
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    std::string what;
    {
        V4L2Camera cam;
        testing::internal::CaptureStderr();
        try {
            cam.openCamera(1, 960, 960);
        } catch (const HardwareException& e) {
            what = e.what();
        }
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(cam.isOpen());
        // refused by the lock file, or before it by the device itself when
        // it does not let a second user set it up
        if (what == "open camera err...")
            EXPECT_NE(err.find("error 16"), std::string::npos) << err;
        else
            EXPECT_EQ(what, "lck camera err...");
    }
    // the first process still reads its lens
    (void)!write(done[1], "r", 1);
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    (void)!write(done[1], "x", 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

// main() of every test program: refuses to run outside the virtual camera,
// since the tests create and rewrite the camera's real paths (/etc, /sdcard, ...).
#include <cstdio>

#include <glog/logging.h>
#include <gtest/gtest.h>

#include "support/camtest.h"
#include "support/vcam_session.h"

int main(int argc, char** argv) {
    if (!camtest::inSandbox()) {
        fprintf(stderr, "%s: refusing to run outside the virtual camera; run it as sim/vcam -- %s\n", argv[0], argv[0]);
        return 2;
    }
    google::InitGoogleLogging(argv[0]);
    FLAGS_logtostderr = true;
    testing::InitGoogleTest(&argc, argv);
    camtest::installLogCheck();
    return RUN_ALL_TESTS();
}

// The still-photo program end to end on the virtual camera's lenses.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/dameon_util.h"
#include "common/process_util.h"
#include "config/config_paths.h"
#include "config/property_config.h"
#include "offset/offset_param.h"
#include "still_grab.h"
#include "support/camtest.h"

namespace {

using stillgrab::queryModelText;

// The camera as it leaves the factory: its first photo carries the stored
// offset, which describes the two lens discs the lenses see.
TEST(StillGrabProgram, FirstPhotoCarriesTheFactoryOffset) {
    ASSERT_TRUE(camtest::inSandbox());
    camtest::writeFile(camera_paths::kOffsetConf, camtest::readFile(CAMERA_SOURCE_DIR "/sim/rootfs/etc/offset.conf"));
    const std::string path = "/sdcard/IMG_000001@3K.pnop";
    unlink(path.c_str());
    ASSERT_TRUE(pnocamera::exitedCleanly(pnocamera::runProcess({"stillGrab", "2", "1440", "1440", "0", path, "h"})));

    std::string model = readCmdOutput("exiv2 -K Exif.Image.Model -Pv " + path);
    ASSERT_FALSE(model.empty());
    model.pop_back();  // the line end
    EXPECT_EQ(model, queryModelText());
    OffsetParam offset(base64Decode(model));
    EXPECT_EQ(base64Encode(base64Decode(model)), model);
    ASSERT_EQ(offset.camera_num_, 2);
    ASSERT_EQ(offset.lenses_.size(), 2u);
    EXPECT_EQ(offset.width_, 2880);
    EXPECT_EQ(offset.height_, 1440);
    // Lens 1 is turned half round by its flip flags.
    const double want[2][3] = {{172.8, 432, 475.2}, {172.8, 834.2, 963.8}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(offset.lenses_[i].r, want[i][0], 2.0) << i;
        EXPECT_NEAR(offset.lenses_[i].x, want[i][1], 2.0) << i;
        EXPECT_NEAR(offset.lenses_[i].y, want[i][2], 2.0) << i;
    }
    // A calibration has an origin to add.
    OffsetParam origin(PropertyConfig(camera_paths::kOffsetConf).queryProperty("origin"));
    EXPECT_EQ(origin.lenses_.size(), 2u);
    EXPECT_EQ(origin.version_, offset.version_);
}

// The controller hands out names that nothing holds; a name taken all the
// same (here a link to nowhere) ends the program with status 3, and
// nothing is made through the link.
TEST(StillGrabProgram, OutputNameTakenByALinkIsStatusThree) {
    ASSERT_TRUE(camtest::inSandbox());
    const std::string path = "/sdcard/IMG_000009@3K.pnop";
    unlink(path.c_str());
    unlink("/tmp/evil1.jpg");
    ASSERT_EQ(symlink("/tmp/evil1.jpg", path.c_str()), 0);
    int status = pnocamera::runProcess({"stillGrab", "2", "1440", "1440", "0", path, "h"});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_FALSE(camtest::exists("/tmp/evil1.jpg"));
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    unlink(path.c_str());
}

// A frame no lens streams is refused with the usage status before anything
// is allocated for it (11000 x 11000 took 0.7 GB before it failed).
TEST(StillGrabProgram, FrameSizesTheLensesCannotDeliverGiveTheUsage) {
    ASSERT_TRUE(camtest::inSandbox());
    const std::string path = "/sdcard/IMG_000010@3K.pnop";
    unlink(path.c_str());
    for (const char* edge : {"11000", "1441", "0", "-1440", "4294968736"}) {
        int status = pnocamera::runProcess({"stillGrab", "2", edge, edge, "0", path, "h"});
        ASSERT_TRUE(WIFEXITED(status)) << edge;
        EXPECT_EQ(WEXITSTATUS(status), 1) << edge;
        EXPECT_FALSE(camtest::exists(path)) << edge;
    }
    // the largest of every program this test has run
    rusage ru{};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &ru), 0);
    EXPECT_LT(ru.ru_maxrss, 256 * 1024);
}

}  // namespace

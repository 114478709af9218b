// The controller on the modelled board: what its start-up draws through
// /dev/oled ends on the panel, and its motion-sensor reads get the sample
// the run sets.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "support/camtest.h"
#include "support/vcam_screen.h"
#include "support/vcam_session.h"
#include "vcam_devctl.h"

namespace {

// Lit pixels in the rectangle.
int litIn(const camtest::Panel& p, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += p.at(x, y);
    return n;
}

TEST(ControllerPanel, StartUpReplacesTheLogoWithTheRecordScreen) {
    ASSERT_TRUE(camtest::inSandbox());
    // before the controller: the logo the driver drew when it loaded
    camtest::Panel boot = camtest::readPanel();
    ASSERT_TRUE(boot.ok);
    EXPECT_TRUE(boot.lit);
    EXPECT_GT(litIn(boot, 21, 16, 109, 64), 200);
    EXPECT_EQ(litIn(boot, 0, 0, 128, 16), 0);

    camtest::writeFile("/dev/gpioLed", "");
    camtest::Process ctl;
    camtest::start(ctl, {"controller", "-d"}, "/tmp/controller.out");
    ASSERT_TRUE(camtest::waitForPort()) << ctl.output();
    ASSERT_TRUE(camtest::waitForStartUp(ctl.pid)) << ctl.output();

    // the record screen: divider, navigation bar, video picture, and the
    // card message beside them
    for (int icon : {0, 8, 10}) EXPECT_TRUE(camtest::waitForIcon(icon)) << "icon " << icon;
    camtest::Panel p = camtest::readPanel();
    EXPECT_TRUE(camtest::panelShowsIcon(p, 60) || camtest::panelShowsIcon(p, 68));
    // no drawing call of the start-up was refused by the driver
    vcam::DevCtl dev;
    std::string log = dev.command("dmesg");
    EXPECT_EQ(log.find("out of bound"), std::string::npos) << log;
    EXPECT_EQ(ctl.output().find("ERR"), std::string::npos) << ctl.output();

    kill(ctl.pid, SIGINT);
    EXPECT_EQ(ctl.wait(), 0) << ctl.output();
    // the panel keeps the last picture when the controller ends
    EXPECT_TRUE(camtest::panelShowsIcon(camtest::readPanel(), 10));
}

}  // namespace

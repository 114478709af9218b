// The pictures of the main screens on the virtual camera's panel, as the
// person holding the camera sees them while the phone app drives the jobs.
#include <signal.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "support/vcam_session.h"
#include "support/camtest.h"
#include "support/vcam_screen.h"

using camtest::waitFor;
using camtest::waitForIcon;
using camtest::Client;
using camtest::Process;
using camtest::stateChanged;

namespace {

using camtest::sh;

bool showsNot(int icon) { return !camtest::panelShowsIcon(camtest::readPanel(), icon); }

class ScreensTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(camtest::inSandbox());
        ASSERT_TRUE(camtest::readPanel().ok) << "the camera serves no panel";
        camtest::writeFile("/dev/gpioLed", "");
        sh("rm -f /sdcard/*.pnop /sdcard/*.pnov");
        for (const char* p : {"mp4Spool", "realTimeStillGrab"}) sh(std::string("vcam-standin --clear ") + p);
        camtest::start(ctl_, {"controller", "-d"}, "/tmp/controller.out");
        ASSERT_TRUE(camtest::waitForPort()) << ctl_.output();
        ASSERT_TRUE(camtest::waitForStartUp(ctl_.pid)) << ctl_.output();
    }
    void TearDown() override {
        kill(ctl_.pid, SIGINT);
        ctl_.wait();
        sh("vcam-devctl clear all");
    }
    Process ctl_;
};

TEST_F(ScreensTest, PhotoScreens) {
    // start-up: the record screen with room on the card
    EXPECT_TRUE(waitForIcon(10));
    EXPECT_TRUE(waitForIcon(60));
    Client phone;
    sh("vcam-key prev");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(waitForIcon(7));
    EXPECT_TRUE(waitForIcon(58));  // photos on the card and photos left
    EXPECT_TRUE(showsNot(10));
    sh("vcam-key select");
    EXPECT_EQ(phone.readLine(), stateChanged(1));
    EXPECT_TRUE(waitForIcon(63));
    EXPECT_EQ(phone.readLine(std::chrono::seconds(20)), stateChanged(0));
    EXPECT_TRUE(waitForIcon(58));
    EXPECT_TRUE(showsNot(63));

    // a lens failure: the photo error screen with icon 65
    sh("vcam-devctl fault all eio -1");
    ASSERT_TRUE(phone.send("{\"cmd\":\"takePhoto\"}\n"));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::seconds(30)), stateChanged(0));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::seconds(30)), stateChanged(1));
    EXPECT_EQ(phone.readUntil("stateChanged", std::chrono::seconds(30)), stateChanged(10));
    EXPECT_TRUE(waitForIcon(65));
    sh("vcam-key select");
    EXPECT_EQ(phone.readLine(), stateChanged(0));
    EXPECT_TRUE(waitFor([] { return showsNot(65); }));
}

TEST_F(ScreensTest, RecordLiveAndPreviewScreens) {
    Client phone;
    ASSERT_TRUE(phone.send("{\"cmd\":\"startRecord\"}\n"));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(2));
    EXPECT_TRUE(phone.readUntil("\"duration\":1}").size());
    EXPECT_TRUE(waitForIcon(75));  // odd second
    EXPECT_TRUE(waitForIcon(74));  // even second
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopRecord\"}\n"));
    EXPECT_TRUE(waitForIcon(63));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));
    EXPECT_TRUE(waitForIcon(60));

    ASSERT_TRUE(phone.send("{\"cmd\":\"startLive\"}\n"));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(3));
    EXPECT_TRUE(waitForIcon(1));
    EXPECT_TRUE(waitForIcon(19));
    EXPECT_TRUE(waitForIcon(18));
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopLive\"}\n"));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));

    ASSERT_TRUE(phone.send("{\"cmd\":\"startPreview\"}\n"));
    EXPECT_EQ(phone.readUntil("prepareOK"), camtest::prepareOK(9));
    EXPECT_TRUE(waitForIcon(59));
    ASSERT_TRUE(phone.send("{\"cmd\":\"stopPreview\"}\n"));
    EXPECT_EQ(phone.readUntil("stateChanged"), stateChanged(0));
    EXPECT_TRUE(waitFor([] { return showsNot(59); }));
    EXPECT_TRUE(waitForIcon(58));  // back on the photo screen
}

}  // namespace

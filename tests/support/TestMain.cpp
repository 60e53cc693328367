// One main for every test program, with scripted message boxes. The tests of the window and
// the dialogs get a QApplication on the offscreen platform; every other test an event loop
// without widgets (the socket and host tests need the loop, not a window).
#include "support/KeyringSession.h"
#include "support/ScriptedBoxes.h"

#ifdef PB_TEST_WINDOW
#include <QApplication>
#else
#include <QCoreApplication>
#endif
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // No test reaches the user's own keyring, nor saves a test password there.
    setenv("DBUS_SESSION_BUS_ADDRESS", pb::test::kNoSessionBus, 1);
#ifdef PB_TEST_WINDOW
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    pb::setMessageBoxes(&pb::test::boxes());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

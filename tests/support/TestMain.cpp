// Test entry: a display-less QApplication, made before any test runs, so that
// widgets, timers, socket notifiers and nested event loops work in every test.
#include <QDir>
#include <cstdlib>
#include <gtest/gtest.h>

#include "platform/GuardedApplication.h"

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr || *std::getenv("QT_QPA_PLATFORM") == '\0') {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        std::string dir = "/tmp/mailgate-test-runtime-" + std::to_string(getuid());
        QDir().mkpath(QString::fromStdString(dir));
        QFile::setPermissions(QString::fromStdString(dir), QFileDevice::ReadOwner |
                                                               QFileDevice::WriteOwner |
                                                               QFileDevice::ExeOwner);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
#ifndef MAILGATE_TEST_THROWAWAY_KEYRING
    // No test may read or change the keyring of whoever runs it: on a
    // session bus that does not exist, every keyring reads as unavailable,
    // also in the programs the tests start. The keyring test brings a bus
    // and a keyring of its own (tests/platform/with-keyring).
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/mailgate-tests-have-no-session-bus",
           1);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    TGuardedApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

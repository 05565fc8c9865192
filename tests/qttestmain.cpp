// Entry point of the tests of Qt code: a temporary HOME and USERPROFILE as in testmain.cpp,
// settings of their own inside it, and an offscreen QApplication.
#include "tests/support/temporaryhome.h"

#include <QApplication>
#include <QSettings>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const kv4test::TemporaryHome home;
    if (home.path().empty()) return 2;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The system's zone, named: with TZ unset glibc reloads the zone at every local-time
    // conversion, under a lock ThreadSanitizer cannot see, and a writer's thread and the GUI
    // thread convert at the same time.
    if (!qEnvironmentVariableIsSet("TZ")) qputenv("TZ", ":/etc/localtime");
    QApplication app(argc, argv);
    QApplication::setOrganizationName("KAV4 tests");
    QApplication::setApplicationName("KAV4 tests");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(home.path()));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromStdString(home.path()));
    return RUN_ALL_TESTS();
}

// Entry point of the tests of Qt code: a temporary HOME and USERPROFILE as in testmain.cpp,
// settings of their own inside it, and an offscreen QApplication.
#include "tests/support/temporaryhome.h"

#include <QApplication>
#include <QSettings>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const kv4test::TemporaryHome home;
    if (home.path().empty()) return 2;
    // One screen with room for the largest size the window is tried at, 1920 x 1080 and its
    // frame (the offscreen default is 800 x 800): a window restored to its saved geometry is
    // kept on the screen.
    const std::string screens = home.path() + "/offscreen.json";
    if (FILE* config = std::fopen(screens.c_str(), "w")) {
        std::fputs(R"({"screens": [{"name": "Screen", "x": 0, "y": 0, "width": 2560, "height": 1440}]})",
                   config);
        std::fclose(config);
    }
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + screens.c_str());
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

#pragma once
// The program's version, shown in the main window's title and in the about dialog.

#include <QString>

constexpr int kav4VersionMajor = 1;
constexpr int kav4VersionMinor = 11;
constexpr int kav4VersionPatch = 6;

// "1.11.6"
inline QString versionString() {
    return QString("%1.%2.%3").arg(kav4VersionMajor).arg(kav4VersionMinor).arg(kav4VersionPatch);
}

#pragma once
// What the next recording is and where it goes: its format, the lengths handed to the
// writers, the recording path and name, and the naming service the writers call for each
// file. The record settings dialog keeps one filled from its boxes; a program without
// windows fills its own.
//
// The naming service runs in the GUI thread for the first file of a recording and in the
// writer's thread for further chunks, which only use the naming state kept here.

#include "recording/recordsettings.h"

#include <QString>

class RecordingPlan {
  public:
    // What a recording name may hold, typed or stored: letters, digits, underscores and
    // blanks, so that it never leaves the recording folder.
    static bool isAcceptableName(const QString& name);
    static const QString defaultName;

    // The full path of the next data file of a recording, and in displayName the same
    // relative to the recording path, without extension. The first file (continuation
    // false) picks a new folder under the recording path; further chunks count on in it.
    // A non-empty suffix may hold "%1", which the display name shows as "001".
    QString fileName(bool continuation, const QString& suffix, const QString& extension,
                     QString& displayName);
    // The present recording's folder (with a trailing "/") and base name, as the naming
    // service chose them at its first file.
    QString folder() const { return recordFolder; }
    QString recordName() const { return chosenName; }

    int format = 0; // 0 for ".dat", 1 for ".abf"
    RecordSettings settings;
    QString path; // ends with "/"
    QString name; // as given; one that breaks the rules records as defaultName
    bool appendDate = false;

  private:
    QString chosenName; // with the date when appended
    QString recordFolder;
    QString relativeFolder;
    int fileCounter = 0;
};

#pragma once
// What the process does before the main window opens: the value types that travel through
// queued connections, the console log format and the working folders.

#include <QString>
#include <QStringList>
#include <QtMessageHandler>

void registerQueuedTypes();

// Empty when Qt has somewhere to show windows: a platform chosen with QT_QPA_PLATFORM or
// "-platform", or a display named by DISPLAY or WAYLAND_DISPLAY. Otherwise what the user can
// do about it. Asked before QApplication exists, which aborts the process without a display.
QString missingDisplay(int argc, char** argv);

// Each console line: a 10-character level prefix, then the message.
QString consoleLine(QtMsgType type, const QString& message);
// Writes every Qt message to standard output as a console line, one writer at a time. A fatal
// message throws std::invalid_argument instead of aborting.
void installConsoleMessageHandler();

// The folders under the home folder where recordings, protocols, logs, analyses and lab
// books go.
QStringList workingFolders();
// Creates the missing ones; returns those that could not be made.
QStringList createWorkingFolders();

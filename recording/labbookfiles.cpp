#include "recording/labbookfiles.h"

#include <QDebug>
#include <QDir>
#include <QTextStream>

#include <memory>

namespace {
const QString timeFormat = "hh:mm:ss.zzz";
const QString dateFormat = "yyyy_MM_dd";
const QString prefix = "labbook";
const QString extension = ".txt";
} // namespace

bool LabbookFiles::Output::open(const QString& path, QIODevice::OpenMode mode) {
    file.close();
    file.setFileName(path);
    failureReported = false;
    return file.open(mode | QIODevice::Text);
}

void LabbookFiles::Output::write(const QString& text) {
    // A file that could not be opened was reported then; its lines are lost.
    if (!file.isOpen() || (file.write(text.toUtf8()) >= 0 && file.flush())) return;
    if (!failureReported) qWarning().noquote() << "Couldn't write to the labbook file" << file.fileName();
    failureReported = true;
}

LabbookFiles::~LabbookFiles() {
    if (recordingOn) {
        recordingFile.close();
        mainFile.write("_Stopped recording\n");
    }
}

QString LabbookFiles::folder() {
    return QDir::homePath() + "/KAV4/Labbooks/";
}

bool LabbookFiles::openMainFile(const QString& name, QIODevice::OpenMode mode) {
    mainName = name;
    if (mainFile.open(folder() + name + extension, mode)) return true;
    mainFile.close();
    return false;
}

bool LabbookFiles::openNewest(QStringList& previousLines) {
    // The folder is made at start-up; made here too so that a lab book never depends on it.
    QDir().mkpath(folder());
    const QFileInfoList existing =
        QDir(folder()).entryInfoList({prefix + "*" + extension}, QDir::Files, QDir::Time);
    if (existing.isEmpty())
        return openMainFile(prefix + "_" + QDate::currentDate().toString(dateFormat), QIODevice::WriteOnly);
    // Continue the newest lab book, whatever day it was started.
    QFile previous(existing.first().absoluteFilePath());
    if (previous.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream lines(&previous);
        while (!lines.atEnd())
            previousLines << lines.readLine();
    }
    previous.close();
    return openMainFile(existing.first().completeBaseName(), QIODevice::Append);
}

bool LabbookFiles::openNew() {
    mainFile.close();
    const QString today = prefix + "_" + QDate::currentDate().toString(dateFormat);
    QString name = today;
    for (int counter = 0; QFile::exists(folder() + name + extension); ++counter)
        name = today + QString("_%1").arg(counter, 3, 10, QChar('0'));
    return openMainFile(name, QIODevice::WriteOnly);
}

void LabbookFiles::stamp(LabbookEvent& event) const {
    const QDateTime now = QDateTime::currentDateTime();
    event.time = now.toString(timeFormat);
    // Hours wrap after a day, as the time of day of a UTC date-time would.
    event.recordingTime = recordingOn ? QTime(0, 0).addMSecs(recordingStart.msecsTo(now)).toString(timeFormat)
                                      : QString("Not Recording");
}

void LabbookFiles::write(const LabbookEvent& event) {
    const QString line = event.lineText();
    mainFile.write(line + "\n");
    if (recordingOn) recordingFile.write(line + "\n");
}

void LabbookFiles::note(LabbookEvent* event) {
    const std::unique_ptr<LabbookEvent> entry(event);
    entry->prepareValues();
    stamp(*entry);
    write(*entry);
}

void LabbookFiles::startRecording(const QString& recordingFileName) {
    recordingOn = true;
    const QString path = recordingFileName + "_lab_book" + extension;
    // Its lines are lost if it cannot be opened; the main lab book goes on.
    if (!recordingFile.open(path, QIODevice::WriteOnly))
        qWarning().noquote() << "Couldn't open the recording's labbook file" << path;
    recordingStart = QDateTime::currentDateTime();
    const QString started = "_Started recording: " + recordingStart.toString() + "\n";
    recordingFile.write("_Session lab book file: " + mainName + "\n" + started + "_Lab book notes:\n");
    mainFile.write(started + "_Lab book file for the recording: " + path + "\n");
}

void LabbookFiles::stopRecording() {
    if (!recordingOn) return;
    recordingOn = false;
    recordingFile.close();
    mainFile.write("_Stopped recording\n");
}

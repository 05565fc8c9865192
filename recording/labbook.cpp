#include "recording/labbook.h"

#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>
#include <QTextStream>
#include <QUrl>
#include <QVBoxLayout>

namespace {
const QString timeFormat = "hh:mm:ss.zzz";
const QString dateFormat = "yyyy_MM_dd";
const QString prefix = "labbook";
const QString extension = ".txt";
const QString pendingStyle = "background-color: rgb(255, 255, 127);";
const QString idleStyle = "background-color: rgb(255, 255, 255);";
} // namespace

bool Labbook::Output::open(const QString& path, QIODevice::OpenMode mode) {
    file.close();
    file.setFileName(path);
    failureReported = false;
    return file.open(mode | QIODevice::Text);
}

void Labbook::Output::write(const QString& text) {
    // A file that could not be opened was reported then; its lines are lost.
    if (!file.isOpen() || (file.write(text.toUtf8()) >= 0 && file.flush())) return;
    if (!failureReported) qWarning().noquote() << "Couldn't write to the labbook file" << file.fileName();
    failureReported = true;
}

Labbook::Labbook(QWidget* parent)
    : QDockWidget("Labbook", parent), view(new QTextEdit), noteLine(new QLineEdit),
      fileButton(new QPushButton) {
    setObjectName("labbook");
    view->setReadOnly(true);
    noteLine->setPlaceholderText("Add notes to labbook");
    noteLine->setStyleSheet(idleStyle);
    fileButton->setStyleSheet("Text-align:right");
    auto* newButton = new QPushButton("New labbook");

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(fileButton, 1);
    buttons->addWidget(newButton);
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->addWidget(view);
    layout->addWidget(noteLine);
    layout->addLayout(buttons);
    setWidget(content);

    connect(noteLine, &QLineEdit::returnPressed, this, &Labbook::onNoteEntered);
    connect(fileButton, &QPushButton::clicked, this,
            [] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder())); });
    connect(newButton, &QPushButton::clicked, this, &Labbook::onNewFileRequest);

    // The folder is made at start-up; made here too so that a lab book never depends on it.
    QDir().mkpath(folder());
    const QFileInfoList existing =
        QDir(folder()).entryInfoList({prefix + "*" + extension}, QDir::Files, QDir::Time);
    if (existing.isEmpty()) {
        openMainFile(prefix + "_" + QDate::currentDate().toString(dateFormat), QIODevice::WriteOnly);
        return;
    }
    // Continue the newest lab book, whatever day it was started.
    QFile previous(existing.first().absoluteFilePath());
    if (previous.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream lines(&previous);
        while (!lines.atEnd())
            appendToView(lines.readLine());
    }
    previous.close();
    openMainFile(existing.first().completeBaseName(), QIODevice::Append);
}

Labbook::~Labbook() {
    if (pendingPlaceholder) onReceiveEvent(new LabbookEventWrittenNote("save on labbook closing"));
    if (recording) {
        recordingFile.close();
        mainFile.write("_Stopped recording\n");
    }
}

QString Labbook::folder() {
    return QDir::homePath() + "/KAV4/Labbooks/";
}

void Labbook::openMainFile(const QString& name, QIODevice::OpenMode mode) {
    mainName = name;
    fileButton->setText(name);
    fileButton->setToolTip(name);
    if (mainFile.open(folder() + name + extension, mode)) return;
    mainFile.close();
    QMessageBox::warning(this, "Warning", "Couldn't open the labbook file: " + name + extension);
    hide();
}

void Labbook::onNewFileRequest() {
    mainFile.close();
    view->clear();
    const QString today = prefix + "_" + QDate::currentDate().toString(dateFormat);
    QString name = today;
    for (int counter = 0; QFile::exists(folder() + name + extension); ++counter)
        name = today + QString("_%1").arg(counter, 3, 10, QChar('0'));
    openMainFile(name, QIODevice::WriteOnly);
}

void Labbook::onNoteEntered() {
    const QString text = noteLine->text();
    noteLine->clear();
    if (text.isEmpty())
        onReceiveEvent(new LabbookEventPlaceholder);
    else
        onReceiveEvent(new LabbookEventWrittenNote(text));
}

void Labbook::onReceiveEvent(LabbookEvent* event) {
    std::unique_ptr<LabbookEvent> incoming(event);
    if (!incoming) return;
    std::unique_ptr<LabbookEvent> entry;
    if (incoming->type == LabbookEvent::TypePlaceholder || incoming->type == LabbookEvent::TypeWrittenNote) {
        auto* mark = static_cast<LabbookEventPlaceholder*>(incoming.get());
        mark->hasTemperature = temperature.has_value();
        mark->temperature = temperature.value_or(0.0);
        const bool isNote = incoming->type == LabbookEvent::TypeWrittenNote;
        if (pendingPlaceholder) {
            // The marked moment gets its text now: the note's, or a numbered empty one when
            // another moment is marked first. It keeps the moment's time and temperature.
            auto note = std::make_unique<LabbookEventWrittenNote>(
                isNote ? static_cast<LabbookEventWrittenNote*>(mark)->text
                       : QString("empty note %1").arg(emptyNoteCount++));
            note->time = pendingPlaceholder->time;
            note->recordingTime = pendingPlaceholder->recordingTime;
            note->hasTemperature = pendingPlaceholder->hasTemperature;
            note->temperature = pendingPlaceholder->temperature;
            pendingPlaceholder.reset();
            entry = std::move(note);
        }
        if (!isNote) {
            stamp(*mark);
            pendingPlaceholder.reset(static_cast<LabbookEventPlaceholder*>(incoming.release()));
        } else if (!entry) {
            stamp(*mark);
            entry = std::move(incoming);
        }
    } else {
        incoming->prepareValues();
        stamp(*incoming);
        entry = std::move(incoming);
    }
    if (entry) writeEntry(*entry);
    showPending();
}

void Labbook::stamp(LabbookEvent& event) const {
    const QDateTime now = QDateTime::currentDateTime();
    event.time = now.toString(timeFormat);
    // Hours wrap after a day, as the time of day of a UTC date-time would.
    event.recordingTime = recording ? QTime(0, 0).addMSecs(recordingStart.msecsTo(now)).toString(timeFormat)
                                    : QString("Not Recording");
}

void Labbook::writeEntry(const LabbookEvent& event) {
    const QString line = event.lineText();
    mainFile.write(line + "\n");
    if (recording) recordingFile.write(line + "\n");
    appendToView(line);
}

void Labbook::appendToView(const QString& line) {
    // As plain text: QTextEdit::append would take a note that looks like HTML for markup.
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    if (!view->document()->isEmpty()) cursor.insertBlock();
    cursor.insertText(line);
}

void Labbook::showPending() {
    noteLine->setStyleSheet(pendingPlaceholder ? pendingStyle : idleStyle);
}

void Labbook::onRecordingStarted(QString recordingFileName) {
    recording = true;
    const QString path = recordingFileName + "_lab_book" + extension;
    // Its lines are lost if it cannot be opened; the main lab book goes on.
    if (!recordingFile.open(path, QIODevice::WriteOnly))
        qWarning().noquote() << "Couldn't open the recording's labbook file" << path;
    recordingStart = QDateTime::currentDateTime();
    const QString started = "_Started recording: " + recordingStart.toString() + "\n";
    recordingFile.write("_Session lab book file: " + mainName + "\n" + started + "_Lab book notes:\n");
    mainFile.write(started + "_Lab book file for the recording: " + path + "\n");
}

void Labbook::onRecordingStopped() {
    if (!recording) return;
    if (pendingPlaceholder) onReceiveEvent(new LabbookEventWrittenNote("save on record stop"));
    recording = false;
    recordingFile.close();
    mainFile.write("_Stopped recording\n");
}

#include "window/labbook.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>
#include <QUrl>
#include <QVBoxLayout>

namespace {
const QString pendingStyle = "background-color: rgb(255, 255, 127);";
const QString idleStyle = "background-color: rgb(255, 255, 255);";
} // namespace

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

    QStringList previous;
    const bool opened = files.openNewest(previous);
    for (const QString& line : previous)
        appendToView(line);
    showMainFile(opened);
}

Labbook::~Labbook() {
    // The files then note the end of a recording still running.
    if (pendingPlaceholder) onReceiveEvent(new LabbookEventWrittenNote("save on labbook closing"));
}

void Labbook::showMainFile(bool opened) {
    const QString name = files.mainFileName();
    fileButton->setText(name);
    fileButton->setToolTip(name);
    if (opened) return;
    QMessageBox::warning(this, "Warning", "Couldn't open the labbook file: " + name + ".txt");
    hide();
}

void Labbook::onNewFileRequest() {
    view->clear();
    showMainFile(files.openNew());
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
            files.stamp(*mark);
            pendingPlaceholder.reset(static_cast<LabbookEventPlaceholder*>(incoming.release()));
        } else if (!entry) {
            files.stamp(*mark);
            entry = std::move(incoming);
        }
    } else {
        incoming->prepareValues();
        files.stamp(*incoming);
        entry = std::move(incoming);
    }
    if (entry) writeEntry(*entry);
    showPending();
}

void Labbook::writeEntry(const LabbookEvent& event) {
    files.write(event);
    appendToView(event.lineText());
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

void Labbook::startRecording(const QString& recordingFileName) {
    files.startRecording(recordingFileName);
}

void Labbook::stopRecording() {
    if (!files.recording()) return;
    if (pendingPlaceholder) onReceiveEvent(new LabbookEventWrittenNote("save on record stop"));
    files.stopRecording();
}

#include "window/recordingopener.h"

#include "window/mainwindow.h"

#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>

namespace {

const QString folderKey = "Preferences/UI/recordingFolder";
const QString recordPathKey = "Protocol/Settings/recordPath";

// The one local file that the drag carries; empty for anything else.
QString droppedFile(const QMimeData* mime) {
    if (!mime || mime->urls().size() != 1 || !mime->urls().first().isLocalFile()) return {};
    return mime->urls().first().toLocalFile();
}

} // namespace

RecordingOpener::RecordingOpener(MainWindow* window) : QObject(window), window(window) {
    window->setAcceptDrops(true);
    window->installEventFilter(this);
}

void RecordingOpener::choose() {
    if (refused()) return;
    QSettings settings;
    const QString path = QFileDialog::getOpenFileName(
        window, "Open recording", settings.value(folderKey, settings.value(recordPathKey)).toString(),
        "Recordings (*.kdh *.dat *.abf);;All files (*)");
    if (path.isEmpty()) return;
    settings.setValue(folderKey, QFileInfo(path).absolutePath());
    emit chosen(path);
}

bool RecordingOpener::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::DragEnter) {
        auto* enter = static_cast<QDragEnterEvent*>(event);
        if (!droppedFile(enter->mimeData()).isEmpty()) enter->acceptProposedAction();
        return true;
    }
    if (event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QString path = droppedFile(drop->mimeData());
        if (path.isEmpty()) return true;
        drop->acceptProposedAction();
        // Once the drag has ended: the box and the window's rebuild have no part in it.
        QMetaObject::invokeMethod(
            this,
            [this, path] {
                if (!refused()) emit chosen(path);
            },
            Qt::QueuedConnection);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

bool RecordingOpener::refused() const {
    if (!window->isConnected()) return false;
    QMessageBox::information(window, "Open recording",
                             "Disconnect the device first: opening a recording ends the acquisition, and a "
                             "recording being made with it.");
    return true;
}

#include "window/docklayout.h"

#include "widgets/dockscrollarea.h"

#include <QDockWidget>
#include <QGuiApplication>
#include <QMainWindow>
#include <QScreen>
#include <QSettings>

#include <algorithm>

namespace {

// A floating dock that has no place of its own yet opens inside the window's right part, level
// with the top of the plots: clear of the menus and the top docks, rather than at the screen's
// corner over them.
void placeFloating(const QMainWindow& window, QDockWidget* dock) {
    const int margin = 8;
    // Never shown, it takes its size hint when it shows.
    const QSize size = dock->isVisible() ? dock->frameGeometry().size() : dock->sizeHint();
    const QRect area(window.mapToGlobal(QPoint(0, window.centralWidget()->geometry().top())),
                     window.mapToGlobal(QPoint(window.width() - 1, window.height() - 1)));
    const int x = std::max(area.left(), area.right() - margin - size.width());
    const int y = std::max(area.top(), std::min(area.top() + margin, area.bottom() - size.height()));
    dock->move(x, y);
}

// A saved rectangle moved and cut into the screen it lies on (the widget's own otherwise): the
// screen may have changed since, and a window far larger than it costs memory in proportion
// (20000 x 20000 took gigabytes and painted for minutes).
QRect onScreen(const QRect& saved, const QWidget& widget) {
    const QScreen* screen = QGuiApplication::screenAt(saved.center());
    if (!screen) screen = widget.screen();
    // A window's frame goes around the rectangle, and must fit too.
    const QRect frame = widget.frameGeometry(), inside = widget.geometry();
    const QRect area = screen->availableGeometry().marginsRemoved(
        {inside.left() - frame.left(), inside.top() - frame.top(), frame.right() - inside.right(),
         frame.bottom() - inside.bottom()});
    QRect fitted(saved.topLeft(), saved.size().boundedTo(area.size()));
    fitted.moveLeft(std::clamp(fitted.left(), area.left(), area.right() + 1 - fitted.width()));
    fitted.moveTop(std::clamp(fitted.top(), area.top(), area.bottom() + 1 - fitted.height()));
    return fitted;
}

} // namespace

void DockLayout::begin(const QString& keyPrefix) {
    prefix = keyPrefix;
    added.clear();
    kept.clear();
}

void DockLayout::add(QDockWidget* dock, Qt::DockWidgetArea area, bool scrollable) {
    if (scrollable) dock->setWidget(new DockScrollArea(dock->widget()));
    window.addDockWidget(area, dock);
    added.emplace_back(dock);
}

void DockLayout::addFloating(QDockWidget* dock) {
    add(dock, Qt::RightDockWidgetArea);
    dock->hide();
    floatingOnStart.emplace_back(dock);
}

void DockLayout::keep(QWidget* widget) {
    kept.emplace_back(widget);
}

void DockLayout::fitRow(const QList<QDockWidget*>& row) {
    QList<int> widths;
    for (const QDockWidget* dock : row)
        widths << dock->sizeHint().width();
    window.resizeDocks(row, widths, Qt::Horizontal);
}

bool DockLayout::restore() {
    QSettings settings;
    std::vector<QDockWidget*> unplaced;
    auto restore = [&](QWidget* widget) {
        const QString key = prefix + widget->objectName() + "/geometry";
        const QRect saved = settings.value(key).toRect();
        if (settings.contains(key) && !saved.isValid()) {
            qWarning("The saved geometry of %s is no rectangle: it is dropped",
                     qPrintable(widget->objectName()));
            settings.remove(key);
        }
        if (saved.isValid())
            widget->setGeometry(onScreen(saved, *widget));
        else if (auto* dock = qobject_cast<QDockWidget*>(widget); dock && dock->isFloating())
            unplaced.push_back(dock);
    };
    for (const QPointer<QDockWidget>& dock : added)
        if (dock) restore(dock);
    for (const QPointer<QWidget>& widget : kept)
        if (widget) restore(widget);
    // A maximised window stays maximised; its saved size is for when it is not.
    if (!window.isMaximized() && !window.isFullScreen()) restore(&window);
    for (QDockWidget* dock : unplaced)
        placeFloating(window, dock);
    const QString stateKey = prefix + window.objectName() + "/state";
    if (settings.contains(stateKey) && !window.restoreState(settings.value(stateKey).toByteArray(), 0)) {
        qWarning("The saved layout of the window cannot be restored: it is dropped");
        settings.remove(stateKey);
    }
    // A kept layout says whether they show.
    if (!settings.contains(stateKey))
        for (const QPointer<QDockWidget>& dock : floatingOnStart) {
            if (!dock) continue;
            dock->show();
            // Placed by its size hint, it now has its frame.
            if (!settings.contains(prefix + dock->objectName() + "/geometry")) placeFloating(window, dock);
        }
    floatingOnStart.clear();
    // The layout keeps the docks within the window; a floating one is a window of its own.
    for (const QPointer<QDockWidget>& dock : added)
        if (dock && dock->isFloating()) dock->setGeometry(onScreen(dock->geometry(), *dock));
    return settings.contains(stateKey);
}

void DockLayout::save() const {
    QSettings settings;
    auto save = [&](const QWidget* widget) {
        settings.setValue(prefix + widget->objectName() + "/geometry", widget->geometry());
    };
    for (const QPointer<QDockWidget>& dock : added)
        if (dock) save(dock);
    for (const QPointer<QWidget>& widget : kept)
        if (widget) save(widget);
    save(&window);
    settings.setValue(prefix + window.objectName() + "/state", window.saveState(0));
}

void DockLayout::clear() {
    for (const QPointer<QDockWidget>& dock : added)
        delete dock.data();
    added.clear();
    kept.clear();
}

#pragma once
// The docks of a connection and where they go: each one is placed in its area, and its
// geometry and the window's layout are kept per model in the settings, put back after the
// window is built and saved before it is taken down. Saved rectangles are brought onto the
// screen they lie on, and a floating dock without a place of its own opens inside the window,
// clear of the menus.

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <vector>

class QDockWidget;
class QMainWindow;
class QWidget;

class DockLayout {
  public:
    explicit DockLayout(QMainWindow& window) : window(window) {}

    // Starts a connection's layout, kept under `keyPrefix` in the settings.
    void begin(const QString& keyPrefix);
    // Places the dock in its area; a scrollable dock shrinks below its content's height, which
    // scrolls, so that a small screen still reaches every control in it.
    void add(QDockWidget* dock, Qt::DockWidgetArea area, bool scrollable = false);
    // A floating dock of the right area shown from the start, hidden until restore() has
    // placed it, so that it never flashes at the screen's corner.
    void addFloating(QDockWidget* dock);
    // A widget whose geometry is kept besides the docks (created and deleted by others).
    void keep(QWidget* widget);
    const std::vector<QPointer<QDockWidget>>& docks() const { return added; }

    // The docks side by side in a row get the widths they ask for, the last one the rest.
    void fitRow(const QList<QDockWidget*>& row);

    // Puts back what was kept; false when no layout of the window was kept for the model.
    bool restore();
    void save() const;
    // Deletes the docks added and forgets the widgets kept.
    void clear();

  private:
    QMainWindow& window;
    QString prefix;
    std::vector<QPointer<QDockWidget>> added;
    std::vector<QPointer<QDockWidget>> floatingOnStart;
    std::vector<QPointer<QWidget>> kept;
};

#pragma once
// A window as the analyses find it in the program: an Analysis menu with its submenus, shown
// at 1366 x 768.
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

namespace kv4test {

// The menu, or nullptr when the window was never exposed.
inline QMenu* showWithAnalysisMenu(QMainWindow& window) {
    QMenu* menu = window.menuBar()->addMenu("Analysis");
    for (const char* title : {"Histogram", "Event detection", "Spectrum", "I/V Graph"})
        menu->addMenu(title);
    window.setCentralWidget(new QWidget);
    window.resize(1366, 768);
    window.show();
    return QTest::qWaitForWindowExposed(&window) ? menu : nullptr;
}

} // namespace kv4test

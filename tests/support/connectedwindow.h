#pragma once
// The main window on virtual amplifiers, driven from its device list and connect button, with
// the settings cleared around each test.

#include "commlib/transport/ftdidriver.h"
#include "simulator/simulation.h"
#include "window/mainwindow.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDockWidget>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSize>
#include <QString>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kv4test {

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override { QSettings().clear(); }
    void TearDown() override { close(); }
    void close() {
        window.reset();
        kv4CommLib::installFtdiDriver(nullptr);
        QSettings().clear();
    }

    // Virtual amplifiers of the listed models, then a window that has listed them.
    void open(const char* models, int entries) {
        std::string error;
        simulation = kav4sim::installSimulation(models, error);
        ASSERT_TRUE(simulation) << error;
        window = std::make_unique<MainWindow>();
        ASSERT_TRUE(QTest::qWaitFor([&] { return combo()->count() == entries; }, 5000))
            << "listed: " << combo()->count();
    }
    void connectTo(const QString& entry) {
        combo()->setCurrentText(entry);
        connectButton()->click();
        ASSERT_TRUE(window->isConnected()) << entry.toStdString();
    }
    // Shows the window at `size`, connects its first entry and returns once the model's
    // layout is in place.
    void showAndConnectFirst(QSize size) {
        window->resize(size);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        connectTo(combo()->itemText(0));
        ASSERT_TRUE(restored.wait(5000));
        QCoreApplication::sendPostedEvents();
    }
    void disconnect() {
        connectButton()->click();
        ASSERT_FALSE(window->isConnected());
    }

    QComboBox* combo() const { return window->findChild<QComboBox*>("deviceComboBox"); }
    QPushButton* connectButton() const { return window->findChild<QPushButton*>("connectButton"); }
    QDockWidget* dock(const char* name) const { return window->findChild<QDockWidget*>(name); }
    // The dock's button with this text or tool tip; a tool tip may go on with the button's keys
    // ("Stop recording (SHIFT + ESC)").
    QAbstractButton* button(const char* dockName, const QString& text) const {
        for (QAbstractButton* b : dock(dockName)->findChildren<QAbstractButton*>())
            if (b->text() == text || b->toolTip() == text || b->toolTip().startsWith(text + " (")) return b;
        return nullptr;
    }

    std::shared_ptr<kav4sim::SimulatedBus> simulation;
    std::unique_ptr<MainWindow> window;
};

} // namespace kv4test

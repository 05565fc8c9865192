#pragma once
// The main window on virtual amplifiers, driven from its device list and connect button, with
// the settings cleared around each test.

#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"
#include "window/mainwindow.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDockWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSize>
#include <QString>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kv4test {

const QSize smallScreen(1366, 768);
const QSize largeScreen(1920, 1080);

// Runs `open`, which shows a box or a dialog modally, and answers it from inside its loop with
// `respond` (a box is accepted by default); what it said: a box's text, a dialog's title.
inline QString answer(const std::function<void()>& open, const std::function<void(QWidget*)>& respond = {}) {
    QString said;
    QObject watch; // ends the timer with the call
    QTimer::singleShot(0, &watch, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->isVisible() && widget->isModal()) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                said = box ? box->text() : widget->windowTitle();
                if (respond)
                    respond(widget);
                else if (box)
                    box->accept();
            }
    });
    open();
    return said;
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override { QSettings().clear(); }
    void TearDown() override { close(); }
    void close() {
        window.reset();
        kv4CommLib::installFtdiDriver(nullptr);
        QSettings().clear();
    }

    // Virtual amplifiers of the listed models, then a window that has listed them, shown at
    // `size` unless it is empty.
    void open(const char* models, int entries, QSize size = {}) {
        std::string error;
        simulation = kav4sim::installSimulation(models, error);
        ASSERT_TRUE(simulation) << error;
        window = std::make_unique<MainWindow>();
        ASSERT_TRUE(QTest::qWaitFor([&] { return combo()->count() == entries; }, 5000))
            << "listed: " << combo()->count();
        if (!size.isEmpty()) showAt(size);
    }
    void showAt(QSize size) {
        window->resize(size);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        settle();
    }
    // Connects the entry and returns once the model's layout is in place.
    void connectTo(const QString& entry) {
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        combo()->setCurrentText(entry);
        connectButton()->click();
        ASSERT_TRUE(window->isConnected()) << entry.toStdString();
        ASSERT_TRUE(restored.wait(5000)) << entry.toStdString();
        settle();
    }
    void disconnect() {
        connectButton()->click();
        ASSERT_FALSE(window->isConnected());
        settle();
    }
    // Lays out what geometry changes have posted. A change of a dock's content climbs one parent
    // per round: the content, the dock, the window.
    static void settle() {
        for (int round = 0; round < 3; round++)
            QCoreApplication::sendPostedEvents();
    }
    // Types into the box over what it holds, then leaves it with `leave`.
    static void type(QAbstractSpinBox* box, const QString& text, Qt::Key leave = Qt::Key_Tab) {
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, text);
        QTest::keyClick(box, leave);
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
    QAbstractButton* recordButton() const {
        return button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)");
    }
    QAction* action(const QString& menu, const QString& text) const {
        for (QAction* top : window->menuBar()->actions())
            if (top->text().remove('&') == menu)
                for (QAction* item : top->menu()->actions())
                    if (item->text() == text) return item;
        return nullptr;
    }
    kav4sim::VirtualAmplifier& amplifier(const std::string& id) const { return *simulation->amplifier(id); }
    // What the amplifier holds once it has decoded a message sent after every call so far.
    kav4sim::DecodedCommand fenced(const std::string& id) const {
        const kav4sim::VirtualAmplifier& a = amplifier(id);
        const uint64_t resets = a.command().resets;
        EXPECT_EQ(kv4cl::resetDevice(), kv4cl::Success);
        EXPECT_TRUE(reaches(id, [&](const kav4sim::DecodedCommand& c) { return c.resets > resets; }));
        return a.command();
    }
    bool reaches(const std::string& id,
                 const std::function<bool(const kav4sim::DecodedCommand&)>& done) const {
        return amplifier(id).waitForCommand(done, std::chrono::seconds(10));
    }
    // While the window's events run, for what reaches the device through them.
    bool sees(const std::string& id, const std::function<bool(const kav4sim::DecodedCommand&)>& done) const {
        return QTest::qWaitFor([&] { return done(amplifier(id).command()); }, 10000);
    }

    std::shared_ptr<kav4sim::SimulatedBus> simulation;
    std::unique_ptr<MainWindow> window;
};

} // namespace kv4test

// Saved window layouts that do not fit the screen, or cannot be read, as the settings may hold
// them after a change of screen or a damaged settings file: the window restores what fits and
// drops what it cannot read, with a warning.

#include "commlib/api/kv4cl.h"
#include "tests/support/connectedwindow.h"
#include "tests/support/warningcapture.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QScreen>

#include <array>
#include <utility>

namespace kv4test {
namespace {

// The four 32-bit numbers in the layout's bytes replaced, wherever they stand together.
bool replaceNumbers(QByteArray& state, std::array<qint32, 4> from, std::array<qint32, 4> to) {
    const auto bytes = [](std::array<qint32, 4> numbers) {
        QByteArray out;
        QDataStream stream(&out, QIODevice::WriteOnly);
        for (qint32 n : numbers)
            stream << n;
        return out;
    };
    const QByteArray before = bytes(from);
    if (!state.contains(before)) return false;
    state.replace(before, bytes(to));
    return true;
}

class SavedLayout : public WindowTest {
  protected:
    QRect screen() const { return window->screen()->availableGeometry(); }
    // Where the window keeps the layout of the first amplifier's model.
    static QString modelPrefix() {
        std::vector<std::string> ids;
        EXPECT_EQ(kv4cl::detectDevices(ids), kv4cl::Success);
        uint8_t version = 0, subversion = 0;
        uint32_t firmware = 0;
        EXPECT_EQ(kv4cl::getDeviceInfo(ids.at(0), version, subversion, firmware), kv4cl::Success);
        return QString("Preferences/UI/%1.%2.%3/").arg(version).arg(subversion).arg(firmware);
    }
};

TEST_F(SavedLayout, AWindowSavedLargerThanTheScreenOpensWithinIt) {
    open("cedar", 1);
    QSettings().setValue(modelPrefix() + "mainWindow/geometry", QRect(0, 0, 20000, 20000));
    QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
    connectTo(combo()->itemText(0));
    ASSERT_TRUE(restored.wait(5000));
    // Checked before it shows: shown at the saved size, it would paint gigabytes.
    ASSERT_TRUE(screen().contains(window->frameGeometry())) << window->width() << " x " << window->height();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    EXPECT_TRUE(screen().contains(window->frameGeometry()));
    EXPECT_GT(window->width(), screen().width() - 50) << "as large as it can be";
}

TEST_F(SavedLayout, AtConnectionTheWindowAndAFloatingDockAreKeptOnTheScreen) {
    open("dogwood16", 1);
    showAndConnectFirst(QSize(1366, 768));
    // The user leaves the acquisition info floating, then the layout is saved at disconnection.
    QDockWidget* info = dock("acquisitionInfoDw");
    info->setFloating(true);
    info->setGeometry(123, 145, 311, 277);
    QCoreApplication::processEvents();
    const QRect left = info->geometry(); // no narrower than the dock's content
    disconnect();

    // The same layout as a larger screen left it.
    QSettings settings;
    const QString prefix = modelPrefix();
    ASSERT_TRUE(settings.contains(prefix + "mainWindow/state")) << "the model's prefix";
    QByteArray state = settings.value(prefix + "mainWindow/state").toByteArray();
    ASSERT_TRUE(replaceNumbers(state, {left.x(), left.y(), left.width(), left.height()},
                               {-3000, left.y(), 31000, 27700}))
        << "the floating dock's place in the layout";
    settings.setValue(prefix + "mainWindow/state", state);
    settings.setValue(prefix + "mainWindow/geometry", QRect(-5000, 300, 40000, 25000));
    settings.setValue(prefix + "acquisitionInfoDw/geometry", QRect(100, 100, 30000, 30000));

    QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
    connectTo(combo()->itemText(0));
    ASSERT_TRUE(restored.wait(5000));
    EXPECT_TRUE(screen().contains(window->frameGeometry()));
    info = dock("acquisitionInfoDw");
    ASSERT_TRUE(info->isFloating()) << "the layout is restored";
    EXPECT_TRUE(screen().contains(info->frameGeometry()))
        << info->geometry().x() << ", " << info->geometry().width() << " x " << info->geometry().height();
}

TEST_F(SavedLayout, ALayoutThatCannotBeReadIsDroppedWithAWarning) {
    const WarningCapture capture;
    open("dogwood16", 1);
    const QString prefix = modelPrefix();
    QSettings().setValue(prefix + "mainWindow/state", QByteArray("not a layout"));
    QSettings().setValue(prefix + "acquisitionInfoDw/geometry", QString("not a rectangle"));
    showAndConnectFirst(QSize(1920, 1080));
    const QStringList& logged = capture.warnings;
    EXPECT_TRUE(logged.contains("The saved layout of the window cannot be restored: it is dropped"))
        << logged.join("\n").toStdString();
    EXPECT_TRUE(logged.contains("The saved geometry of acquisitionInfoDw is no rectangle: it is dropped"))
        << logged.join("\n").toStdString();
    EXPECT_FALSE(QSettings().contains(prefix + "mainWindow/state"));
    EXPECT_FALSE(QSettings().contains(prefix + "acquisitionInfoDw/geometry"));
    EXPECT_TRUE(window->isConnected());
}

} // namespace
} // namespace kv4test

// The main window shown at real screen sizes, driven as a user drives it: the wheel over the
// docks, connections and disconnections, the layout kept per model, and closing it while a
// recording runs.

#include "acquisition/devicedataproducer.h"
#include "commlib/api/kv4cl.h"
#include "controls/recordsettingsdialog.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/connectedwindow.h"
#include "widgets/focusedwheelfilter.h"
#include "widgets/refusedinputfilter.h"
#include "window/mainwindow.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <chrono>
#include <utility>

namespace {

const QSize smallScreen(1366, 768);
const QSize largeScreen(1920, 1080);

class WindowLayoutTest : public kv4test::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        qApp->installEventFilter(&wheelFilter);
        qApp->installEventFilter(&refusalFilter);
    }

    // The window at a screen's size once it has listed the amplifiers.
    void open(const char* models, int entries, QSize size) {
        WindowTest::open(models, entries);
        window->resize(size);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        settle();
    }
    // Lays out what geometry changes have posted. A change of a dock's content climbs one parent
    // per round: the content, the dock, the window.
    static void settle() {
        for (int round = 0; round < 3; round++)
            QCoreApplication::sendPostedEvents();
    }
    // The window restores the model's layout from a timer started as it connects.
    void connectTo(const QString& entry) {
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        WindowTest::connectTo(entry);
        ASSERT_TRUE(restored.wait(5000)) << entry.toStdString();
        settle();
    }
    void disconnect() {
        WindowTest::disconnect();
        settle();
    }

    FocusedWheelFilter wheelFilter;
    RefusedInputFilter refusalFilter;
};

// One notch of the wheel, down, over the middle of the widget.
void wheel(QWidget* widget) {
    const QPointF at = QRectF(widget->rect()).center();
    QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &event);
}

std::string shownValue(QWidget* widget) {
    if (auto* spinBox = qobject_cast<QAbstractSpinBox*>(widget)) return spinBox->text().toStdString();
    return qobject_cast<QComboBox*>(widget)->currentText().toStdString();
}

TEST_F(WindowLayoutTest, TheWheelChangesOnlyTheControlThatHasFocus) {
    open("dogwood16", 1, smallScreen);
    connectTo("VDOGWOOD1601");
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const kav4sim::VirtualAmplifier* amplifier = simulation->amplifier("VDOGWOOD1601");

    // Every spin box and combo box the window shows, the Controls dock's reference among them.
    std::vector<QWidget*> controls;
    for (QWidget* widget : window->findChildren<QWidget*>())
        if ((qobject_cast<QAbstractSpinBox*>(widget) || qobject_cast<QComboBox*>(widget)) &&
            widget->isVisible() && widget->isEnabled())
            controls.push_back(widget);
    auto* reference = window->findChild<QAbstractSpinBox*>("voltageReferenceSpinBox");
    ASSERT_NE(reference, nullptr);
    ASSERT_NE(std::find(controls.begin(), controls.end(), reference), controls.end());
    ASSERT_GT(controls.size(), 8u);
    const double deviceReference = amplifier->command().voltageReference;
    for (QWidget* control : controls) {
        SCOPED_TRACE(control->objectName().toStdString() + " " + control->metaObject()->className());
        EXPECT_NE(control->focusPolicy() & Qt::WheelFocus, Qt::WheelFocus) << "the wheel would focus it";
        const std::string before = shownValue(control);
        wheel(control);
        EXPECT_EQ(shownValue(control), before);
    }
    EXPECT_EQ(amplifier->command().voltageReference, deviceReference);

    // The notch scrolls the dock the reference sits in instead.
    auto* scroll = dock("controlsDw")->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    scroll->verticalScrollBar()->setValue(0);
    wheel(reference);
    EXPECT_GT(scroll->verticalScrollBar()->value(), 0);

    reference->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return reference->hasFocus(); }, 2000));
    const QString before = reference->text();
    wheel(reference);
    EXPECT_NE(reference->text(), before) << "with focus the wheel steps it";
}

std::string rect(const QRect& r) {
    return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toStdString();
}

// Where the disconnected window puts its parts: the window, the Connection dock, the logo and
// the size of the picture it shows.
std::string disconnectedLayout(const MainWindow& window) {
    auto* logo = qobject_cast<QLabel*>(window.centralWidget());
    if (!logo) return "no logo";
    const QSize picture = logo->pixmap().deviceIndependentSize().toSize();
    return "window " + rect(window.geometry()) + ", connection " +
           rect(window.findChild<QDockWidget*>("deviceDetectorDw")->geometry()) + ", logo " +
           rect(logo->geometry()) + " showing " + rect(QRect(QPoint(), picture));
}

TEST_F(WindowLayoutTest, ConnectionsLeaveTheWindowAsItStarted) {
    for (const QSize screen : {smallScreen, largeScreen}) {
        SCOPED_TRACE(rect(QRect(QPoint(), screen)));
        open("cedar", 1, screen);
        const std::string started = disconnectedLayout(*window);
        for (int round = 1; round <= 3; round++) {
            connectTo("VCEDAR01");
            disconnect();
            EXPECT_EQ(disconnectedLayout(*window), started) << "after disconnection " << round;
        }
        close();
    }
}

// Visible within the window, once the scroll areas around it have brought the whole of it into
// view (a scroll area's own call would only show the text cursor of an input).
bool reachable(QWidget* widget, const QWidget* window) {
    for (QWidget* parent = widget->parentWidget(); parent; parent = parent->parentWidget()) {
        auto* area = qobject_cast<QScrollArea*>(parent);
        if (!area) continue;
        const QRect inArea(widget->mapTo(area->widget(), QPoint()), widget->size());
        QScrollBar* h = area->horizontalScrollBar();
        QScrollBar* v = area->verticalScrollBar();
        h->setValue(
            std::max(std::min(h->value(), inArea.left()), inArea.right() + 1 - area->viewport()->width()));
        v->setValue(
            std::max(std::min(v->value(), inArea.top()), inArea.bottom() + 1 - area->viewport()->height()));
    }
    const QRect inWindow(widget->mapTo(window, QPoint()), widget->size());
    return widget->isVisible() && window->rect().contains(inWindow) &&
           widget->visibleRegion().boundingRect() == widget->rect();
}

TEST_F(WindowLayoutTest, EveryDockControlIsReachableOnASmallScreen) {
    for (const char* model : {"cedar", "dogwood16"}) {
        SCOPED_TRACE(model);
        open(model, 1, smallScreen);
        connectTo(combo()->itemText(0));
        EXPECT_LE(window->width(), smallScreen.width());
        EXPECT_LE(window->height(), smallScreen.height());
        for (const char* toolTip :
             {"Apply the current stimulus (ENTER/RETURN)", "Start recording (SHIFT + ENTER/RETURN)"}) {
            QAbstractButton* protocolButton = button("protocolDw", toolTip);
            ASSERT_NE(protocolButton, nullptr) << toolTip;
            EXPECT_TRUE(reachable(protocolButton, window.get())) << toolTip;
        }
        for (QDockWidget* dock : window->findChildren<QDockWidget*>()) {
            if (!dock->isVisible() || dock->isFloating()) continue;
            // A dock that shares its place with others shows once its tab is chosen.
            dock->raise();
            settle();
            for (QWidget* control : dock->widget()->findChildren<QWidget*>()) {
                if (!control->isVisible() || control->focusPolicy() == Qt::NoFocus) continue;
                EXPECT_TRUE(reachable(control, window.get()))
                    << dock->objectName().toStdString() << ": " << control->metaObject()->className() << " "
                    << control->objectName().toStdString() << " at "
                    << rect(QRect(control->mapTo(window.get(), QPoint()), control->size()));
            }
        }
        close();
    }
}

// What of the dock's visible content lies outside it sideways, or outside the view of a scroll
// area around it: a user would have to scroll sideways to reach it, or could not at all.
std::vector<std::string> cutSideways(const QDockWidget* dock) {
    std::vector<std::string> cut;
    for (const QAbstractScrollArea* area : dock->findChildren<QAbstractScrollArea*>())
        if (area->isVisible() && area->horizontalScrollBar()->maximum() > 0)
            cut.push_back(std::string(area->metaObject()->className()) + " scrolls sideways by " +
                          std::to_string(area->horizontalScrollBar()->maximum()));
    // Whether the widget lies across the side of the view nearest around it.
    const auto across = [dock](const QWidget* widget, std::string* how) {
        for (const QWidget* frame = widget->parentWidget(); frame; frame = frame->parentWidget()) {
            const auto* area = qobject_cast<const QAbstractScrollArea*>(frame->parentWidget());
            if (frame != dock && !(area && area->viewport() == frame)) continue;
            const int left = widget->mapTo(frame, QPoint()).x();
            if (left >= 0 && left + widget->width() <= frame->width()) return false;
            if (how)
                *how = std::string(widget->metaObject()->className()) + " " +
                       widget->objectName().toStdString() + " spans " + std::to_string(left) + " to " +
                       std::to_string(left + widget->width()) + " of " + std::to_string(frame->width());
            return true;
        }
        return false;
    };
    for (QWidget* widget : dock->widget()->findChildren<QWidget*>()) {
        if (!widget->isVisible() || qobject_cast<QScrollBar*>(widget)) continue;
        // The outermost widget cut stands for what it holds.
        std::string how;
        if (across(widget, &how) && !across(widget->parentWidget(), nullptr)) cut.push_back(how);
    }
    return cut;
}

TEST_F(WindowLayoutTest, NoDockScrollsSidewaysWhateverTheProtocol) {
    for (const char* model : {"dogwood16", "dogwood32", "fir"})
        for (const QSize screen : {smallScreen, largeScreen}) {
            SCOPED_TRACE(std::string(model) + " at " + rect(QRect(QPoint(), screen)));
            open(model, 1, screen);
            connectTo(combo()->itemText(0));
            QDockWidget* protocolDock = dock("protocolDw");
            auto* protocols = protocolDock->findChild<QComboBox*>();
            ASSERT_TRUE(protocols);
            // Each protocol in turn, picked with the keyboard.
            protocols->setFocus();
            QTest::keyClick(protocols, Qt::Key_Home);
            for (int p = 0; p < protocols->count(); p++) {
                if (p > 0) QTest::keyClick(protocols, Qt::Key_Down);
                ASSERT_EQ(protocols->currentIndex(), p);
                settle();
                EXPECT_EQ(cutSideways(protocolDock), std::vector<std::string>())
                    << protocols->currentText().toStdString();
            }
            for (QDockWidget* shown : window->findChildren<QDockWidget*>()) {
                if (!shown->isVisible() || shown->isFloating()) continue;
                shown->raise();
                settle();
                EXPECT_EQ(cutSideways(shown), std::vector<std::string>())
                    << shown->objectName().toStdString();
            }
            close();
        }
}

QRect onScreen(const QWidget* widget) {
    return QRect(widget->mapToGlobal(QPoint()), widget->size());
}

// Where a widget of a name was each time it was shown.
class ShownAt : public QObject {
  public:
    explicit ShownAt(const QString& name) : name(name) { qApp->installEventFilter(this); }
    std::vector<QRect> frames;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->objectName() == name)
            frames.push_back(static_cast<QWidget*>(watched)->frameGeometry());
        return false;
    }

  private:
    QString name;
};

TEST_F(WindowLayoutTest, FloatingDocksOpenInsideTheWindowClearOfTheMenus) {
    for (const QSize screen : {smallScreen, largeScreen}) {
        SCOPED_TRACE(rect(QRect(QPoint(), screen)));
        open("fir", 1, screen);
        ShownAt shown("ttlDw");
        connectTo("VFIR01");
        QDockWidget* ttl = dock("ttlDw");
        ASSERT_TRUE(ttl);
        EXPECT_TRUE(ttl->isFloating() && ttl->isVisible());
        // Never shown at the screen's corner first, not even for a moment.
        ASSERT_FALSE(shown.frames.empty());
        for (const QRect& frame : shown.frames) {
            EXPECT_TRUE(onScreen(window.get()).contains(frame.topLeft())) << rect(frame);
            EXPECT_FALSE(frame.intersects(onScreen(window->menuBar()))) << rect(frame);
        }
        // An analysis opened from its menu floats too.
        QDockWidget* histogram = dock("histogramWidget1");
        ASSERT_TRUE(histogram);
        histogram->toggleViewAction()->trigger();
        settle();
        ASSERT_TRUE(histogram->isFloating() && histogram->isVisible());
        const QRect inside = onScreen(window.get());
        for (const QDockWidget* floating : {ttl, histogram}) {
            SCOPED_TRACE(floating->objectName().toStdString());
            const QRect frame = floating->frameGeometry();
            EXPECT_TRUE(inside.contains(frame)) << rect(frame) << " in " << rect(inside);
            EXPECT_GT(frame.center().x(), inside.center().x()) << "in the window's right part";
            for (const QWidget* covered :
                 {static_cast<QWidget*>(window->menuBar()), static_cast<QWidget*>(dock("deviceDetectorDw"))})
                EXPECT_FALSE(frame.intersects(onScreen(covered))) << covered->objectName().toStdString();
        }

        // A refusal shows its reason without growing the dock.
        const QSize size = ttl->size();
        for (const auto& [name, typed] : {std::pair{"periodSpinBox", "1"}, {"durationSpinBox", "2500"}}) {
            auto* box = ttl->findChild<QAbstractSpinBox*>(name);
            ASSERT_TRUE(box) << name;
            box->setFocus();
            QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(box, typed);
            QTest::keyClick(box, Qt::Key_Tab);
        }
        QTest::mouseClick(button("ttlDw", "Start"), Qt::LeftButton);
        settle();
        EXPECT_EQ(ttl->findChild<QLabel*>("statusLine")->text(),
                  "The duration must be shorter than the period");
        EXPECT_EQ(ttl->size(), size);
        close();
    }
}

TEST_F(WindowLayoutTest, TheKeyboardReachesEveryMenuAndOnlyWhatIsShown) {
    open("dogwood16", 1, smallScreen);
    connectTo("VDOGWOOD1601");
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));

    // Alt and each menu's own letter open it; F10 opens the first.
    QString letters;
    const QList<QAction*> menus = window->menuBar()->actions();
    for (QAction* menu : menus) {
        SCOPED_TRACE(menu->text().toStdString());
        const qsizetype mnemonic = menu->text().indexOf('&');
        ASSERT_GE(mnemonic, 0) << "no mnemonic";
        const QChar letter = menu->text().at(mnemonic + 1).toUpper();
        EXPECT_FALSE(letters.contains(letter)) << "a letter of two menus";
        letters += letter;
        QTest::keyClick(window.get(), letter.toLatin1(), Qt::AltModifier);
        EXPECT_TRUE(QTest::qWaitFor([&] { return menu->menu()->isVisible(); }, 2000));
        QTest::keyClick(menu->menu(), Qt::Key_Escape);
        QTest::keyClick(window->menuBar(), Qt::Key_Escape);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu->menu()->isVisible(); }, 2000));
    }
    QTest::keyClick(window.get(), Qt::Key_F10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return menus.first()->menu()->isVisible(); }, 2000));
    QTest::keyClick(menus.first()->menu(), Qt::Key_Escape);
    QTest::keyClick(window->menuBar(), Qt::Key_Escape);
    // Alt alone lights the first menu, and Down opens it.
    QTest::keyClick(window.get(), Qt::Key_Alt, Qt::AltModifier);
    EXPECT_EQ(window->menuBar()->activeAction(), menus.first());
    QTest::keyClick(window->menuBar(), Qt::Key_Down);
    EXPECT_TRUE(QTest::qWaitFor([&] { return menus.first()->menu()->isVisible(); }, 2000));
    QTest::keyClick(menus.first()->menu(), Qt::Key_Escape);
    QTest::keyClick(window->menuBar(), Qt::Key_Escape);

    // Tab goes round every control once, each shown where the window shows it.
    QWidget* first = dock("protocolDw")->findChild<QComboBox*>();
    first->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->hasFocus(); }, 2000));
    std::vector<std::string> hidden;
    int stops = 0;
    for (; stops < 1000; stops++) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        settle();
        QWidget* focused = QApplication::focusWidget();
        ASSERT_TRUE(focused);
        if (focused == first) break;
        if (focused->window() == window.get() && !reachable(focused, window.get()))
            hidden.push_back(
                std::string(focused->metaObject()->className()) + " " + focused->objectName().toStdString() +
                " in " + (focused->parentWidget() ? focused->parentWidget()->metaObject()->className() : ""));
    }
    EXPECT_LT(stops, 1000) << "Tab never came back";
    EXPECT_GT(stops, 20);
    EXPECT_EQ(hidden, std::vector<std::string>());
}

TEST_F(WindowLayoutTest, CancelInTheFirstRecordingPropertiesStartsNothingAndShiftEscapeStops) {
    const QString folder = QDir::homePath() + "/first/";
    ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
    QSettings().setValue("Protocol/Settings/recordPath", folder);
    open("cedar", 1, smallScreen);
    connectTo("VCEDAR01");
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto* dialog = dock("protocolDw")->findChild<RecordSettingsDialog*>();
    ASSERT_TRUE(dialog);
    const QString data = folder + "file/file_000.dat";

    // No name chosen yet: the record button asks first, and the answer decides.
    for (const QDialogButtonBox::StandardButton answer : {QDialogButtonBox::Cancel, QDialogButtonBox::Ok}) {
        SCOPED_TRACE(int(answer));
        bool asked = false;
        QObject watch; // ends the timer with the round
        QTimer::singleShot(0, &watch, [&] {
            asked = dialog->isVisible();
            dialog->findChild<QDialogButtonBox*>()->button(answer)->click();
        });
        button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)")->click();
        EXPECT_TRUE(asked);
        EXPECT_FALSE(dialog->isVisible());
        if (answer == QDialogButtonBox::Cancel) {
            // A recording would have made its folder at once.
            EXPECT_EQ(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
            EXPECT_TRUE(QSettings().value("Protocol/Settings/recordName").toString().isEmpty());
        }
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(data).size() > 0; }, 5000));

    // The keys go to the window once the dialog has given it back the keyboard, which the
    // offscreen platform leaves to the program.
    QApplication::setActiveWindow(window.get());
    QTest::keyClick(window.get(), Qt::Key_Escape, Qt::ShiftModifier);
    const qint64 size = QFileInfo(data).size();
    EXPECT_EQ(size % (5 * 4), 0) << "whole frames of four currents and the voltage";
    QSignalSpy rows(window->producer(), &DeviceDataProducer::bitRateComputed);
    ASSERT_TRUE(rows.wait(5000));
    ASSERT_TRUE(rows.wait(5000));
    EXPECT_EQ(QFileInfo(data).size(), size) << "stopped by the keys";
    QDir(folder).removeRecursively();
}

// The box a label names, in a dock or dialog.
QAbstractSpinBox* labelled(const QWidget* in, const QString& text) {
    for (const QLabel* label : in->findChildren<QLabel*>())
        if (label->text() == text) return qobject_cast<QAbstractSpinBox*>(label->buddy());
    return nullptr;
}

// The texts of the tips shown meanwhile: the offscreen platform may close one as soon as the
// activation moves, before it could be looked at.
class TipsShown : public QObject {
  public:
    TipsShown() { qApp->installEventFilter(this); }
    QString take() { return std::exchange(shown, QString()); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->objectName() == "qtooltip_label")
            shown = static_cast<QLabel*>(watched)->text();
        return false;
    }

  private:
    QString shown;
};

// The tip the box shows as `typed` is typed into it, and once the field is left.
std::pair<QString, QString> tipsFor(QAbstractSpinBox* box, const QString& typed) {
    TipsShown tips;
    QToolTip::hideText();
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, typed);
    const QString whileTyping = tips.take();
    QTest::keyClick(box, Qt::Key_Tab);
    QCoreApplication::processEvents(); // a tip shown once the focus has moved on
    return {whileTyping, tips.take()};
}

TEST_F(WindowLayoutTest, ValuesTheBoxesRefuseOrMoveSayWhyWhereTheyAreTyped) {
    open("dogwood16", 1, smallScreen);
    connectTo("VDOGWOOD1601");
    QApplication::setActiveWindow(window.get());
    const kav4sim::VirtualAmplifier* amplifier = simulation->amplifier("VDOGWOOD1601");

    // Vamp takes -50, 0 and 50 mV: 200 loses its last digit, then 20 becomes 0.
    auto* protocols = dock("protocolDw")->findChild<QComboBox*>();
    protocols->setCurrentIndex(protocols->findText("Triangular"));
    QAbstractSpinBox* vamp = labelled(dock("protocolDw"), "Vamp [mV]");
    ASSERT_TRUE(vamp);
    const auto [typing, left] = tipsFor(vamp, "200");
    EXPECT_EQ(typing.toStdString(), "Allowed: -50, 0, 50 mV");
    EXPECT_EQ(left.toStdString(), "Allowed: -50, 0, 50 mV");
    EXPECT_EQ(vamp->text().toStdString(), "0");
    // A value it takes goes in without a word.
    EXPECT_EQ(tipsFor(vamp, "-50"), (std::pair<QString, QString>()));

    // A chunk of 2 s becomes "Disabled": the chunks are whole tens of seconds. (Shown without a
    // modal loop of its own, where the offscreen platform closes tips as it moves the activation.)
    auto* dialog = dock("protocolDw")->findChild<RecordSettingsDialog*>();
    ASSERT_TRUE(dialog);
    dialog->show();
    QApplication::setActiveWindow(dialog);
    auto* chunk = dialog->findChild<QAbstractSpinBox*>("chunkDurationSpinBox");
    ASSERT_TRUE(chunk);
    EXPECT_EQ(tipsFor(chunk, "2").second.toStdString(), "Allowed: 0 to 1000000 s, in steps of 10 s");
    EXPECT_EQ(chunk->text().toStdString(), "Disabled");
    // Plain boxes say so too: a digit past "Record for"'s bound, a sweep left below its least.
    auto* duration = dialog->findChild<QAbstractSpinBox*>("recordDurationSpinBox");
    auto* sweep = dialog->findChild<QAbstractSpinBox*>("episodicDurationSpinBox");
    ASSERT_TRUE(duration && sweep);
    EXPECT_EQ(tipsFor(duration, "2000000").first.toStdString(), "Allowed: 0 (Unlimited) to 1000000 s");
    EXPECT_EQ(duration->text().toStdString(), "200000.0 s");
    EXPECT_EQ(tipsFor(sweep, "15").first, QString()) << "a value it takes goes in without a word";
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();

    // The reference pulse train refuses pulses no shorter than their period, as the TTL dock does.
    QApplication::setActiveWindow(window.get());
    QWidget* pulses = dock("allChannelsControlsDw");
    QAbstractSpinBox* tref = labelled(pulses, "Tref");
    QAbstractSpinBox* pref = labelled(pulses, "Pref");
    ASSERT_TRUE(tref && pref);
    tipsFor(tref, "50");
    tipsFor(pref, "20");
    const uint64_t trains = amplifier->command().referencePulseTrain.count;
    QToolTip::hideText();
    QAbstractButton* train = button(
        "allChannelsControlsDw", "Apply a reference pulse train with\namplitude Vref, pulse duration Tref, "
                                 "pulse period\nPref and Nref pulses");
    ASSERT_TRUE(train);
    QTest::mouseClick(train, Qt::LeftButton);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text().toStdString(), "Tref must be shorter than Pref");
    // Fenced by a reset sent after the click: had the train gone, it would be in by then.
    const uint64_t resets = amplifier->command().resets;
    ASSERT_EQ(kv4cl::resetDevice(), kv4cl::Success);
    ASSERT_TRUE(amplifier->waitForCommand([&](const kav4sim::DecodedCommand& c) { return c.resets > resets; },
                                          std::chrono::seconds(5)));
    EXPECT_EQ(amplifier->command().referencePulseTrain.count, trains);
    // A period longer than the pulse goes.
    tipsFor(pref, "60");
    QTest::mouseClick(train, Qt::LeftButton);
    EXPECT_TRUE(amplifier->waitForCommand(
        [&](const kav4sim::DecodedCommand& c) { return c.referencePulseTrain.count > trains; },
        std::chrono::seconds(5)));
}

TEST_F(WindowLayoutTest, TheDocksSayWhatRunsAndWhichRangeAutoHolds) {
    open("fir", 1, smallScreen);
    connectTo("VFIR01");
    QApplication::setActiveWindow(window.get());
    kav4sim::VirtualAmplifier* amplifier = simulation->amplifier("VFIR01");
    auto* running = dock("protocolDw")->findChild<QLabel*>("runningProtocolLabel");
    auto* inForce = dock("controlsDw")->findChild<QLabel*>("autoRangeLabel");
    ASSERT_TRUE(running && inForce);

    QTest::mouseClick(button("controlsDw", "Auto"), Qt::LeftButton);
    EXPECT_TRUE(inForce->isVisible());
    EXPECT_EQ(inForce->text().toStdString(), "Range in force: 200 pA");

    // A cell far noisier than the range puts every sample at an edge: automatic ranging goes up.
    kav4sim::CellParameters noisy;
    noisy.noiseRms = 1e-6;
    amplifier->setCell(3, noisy);
    auto* protocols = dock("protocolDw")->findChild<QComboBox*>();
    QTest::mouseClick(button("protocolDw", "Apply the current stimulus (ENTER/RETURN)"), Qt::LeftButton);
    EXPECT_EQ(running->text().toStdString(), "Running: " + protocols->itemText(0).toStdString());
    // The suggestion reaches the controls through the window's event loop, which this wait runs.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const std::vector<uint16_t> ranges = amplifier->command().currentRangeIdx;
            return !ranges.empty() && ranges[0] == 1;
        },
        10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return inForce->text() == "Range in force: 2 nA"; }, 5000))
        << inForce->text().toStdString();

    // Another protocol chosen is not yet the one running; a range chosen ends "Auto".
    protocols->setFocus();
    QTest::keyClick(protocols, Qt::Key_Down);
    EXPECT_EQ(protocols->currentIndex(), 1);
    EXPECT_EQ(running->text().toStdString(), "Running: " + protocols->itemText(0).toStdString());
    QTest::mouseClick(button("controlsDw", "20 nA"), Qt::LeftButton);
    EXPECT_FALSE(inForce->isVisible());
}

TEST_F(WindowLayoutTest, TheLayoutIsKeptPerModel) {
    open("cedar,dogwood16", 3, smallScreen);
    // Each model gets a protocol dock of its own width, and one of them a floating dock.
    struct Layout {
        const char* device;
        int protocolWidth;
        bool infoFloating;
        int keptWidth = 0;
    };
    Layout layouts[] = {{"VCEDAR01", 520, true}, {"VDOGWOOD1601", 380, false}};
    for (Layout& layout : layouts) {
        connectTo(layout.device);
        window->resizeDocks({dock("protocolDw")}, {layout.protocolWidth}, Qt::Horizontal);
        dock("acquisitionInfoDw")->setFloating(layout.infoFloating);
        settle();
        layout.keptWidth = dock("protocolDw")->width();
        disconnect();
    }
    ASSERT_NE(layouts[0].keptWidth, layouts[1].keptWidth);
    for (int round = 0; round < 2; round++)
        for (const Layout& layout : layouts) {
            SCOPED_TRACE(layout.device);
            connectTo(layout.device);
            EXPECT_EQ(dock("protocolDw")->width(), layout.keptWidth);
            EXPECT_EQ(dock("acquisitionInfoDw")->isFloating(), layout.infoFloating);
            disconnect();
        }
}

TEST_F(WindowLayoutTest, ClosingWhileRecordingAsksAndFinishesTheFiles) {
    const QString folder = QDir::homePath() + "/closing/";
    ASSERT_TRUE(QDir().mkpath(folder));
    QSettings().setValue("Protocol/Settings/recordPath", folder);
    QSettings().setValue("Protocol/Settings/recordName", "cell");
    open("cedar", 1, smallScreen);
    connectTo("VCEDAR01");
    const QString data = folder + "cell/cell_000.dat";
    const qint64 frameBytes = 5 * 4; // four currents and the voltage

    const struct {
        bool recording;
        QMessageBox::StandardButton answer;
        bool closes;
    } closings[] = {
        {false, QMessageBox::NoButton, true}, // nothing to lose: no question
        {true, QMessageBox::No, false},       // the recording goes on
        {true, QMessageBox::Yes, true},       // stopped, its files complete
    };
    for (const auto& closing : closings) {
        SCOPED_TRACE(int(closing.answer));
        if (closing.recording && !QFileInfo::exists(data)) {
            button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)")->click();
            ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(data).size() > 0; }, 5000));
        }
        QString asked;
        QObject watch; // ends the timer with the round
        QTimer::singleShot(0, &watch, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                    asked = box->text();
                    box->button(closing.answer)->click();
                }
        });
        EXPECT_EQ(window->close(), closing.closes);
        EXPECT_EQ(asked.toStdString(),
                  closing.recording ? "A recording is in progress. Stop it and quit?" : "");
        if (closing.closes && !closing.recording) window->show();
        if (!closing.recording || closing.closes) continue;
        const qint64 size = QFileInfo(data).size();
        EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo(data).size() > size; }, 5000))
            << "still recording";
    }

    const qint64 size = QFileInfo(data).size();
    EXPECT_EQ(size % frameBytes, 0) << "whole frames";
    EXPECT_TRUE(QFileInfo::exists(folder + "cell/cell.kdh"));
    // The producer goes on after the window closed; the file no longer grows.
    QSignalSpy rows(window->producer(), &DeviceDataProducer::bitRateComputed);
    ASSERT_TRUE(rows.wait(5000));
    ASSERT_TRUE(rows.wait(5000));
    EXPECT_EQ(QFileInfo(data).size(), size) << "stopped at the closing";
    QDir(folder).removeRecursively();
}

} // namespace

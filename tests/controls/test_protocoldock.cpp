// The "Voltage stimulus" dock on a virtual reference amplifier, driven as a user does: what
// applying and stopping reach, edits that wait for Apply, the library's message, the Vhold
// shortcuts, an estimation's turn, the parameter files through their dialogs and from one
// session to the next, recording. What the stimulus itself does is tested without the dock.

#include "tests/support/connectedamplifier.h"
#include "tests/support/warningcapture.h"

#include "controls/protocoldockwidget.h"
#include "controls/recordsettingsdialog.h"
#include "widgets/protocolimagebutton.h"
#include "widgets/steppedspinbox.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QWheelEvent>

#include <cmath>
#include <functional>
#include <map>
#include <memory>

namespace {

using kav4sim::DecodedCommand;

const char* const applyTip = "Apply the current stimulus (ENTER/RETURN)";

class ProtocolDock : public kv4test::ConnectedAmplifier {
  protected:
    void SetUp() override {
        QFile::remove(StimulusService::lastSessionFile());
        QSettings().remove("Protocol");
        connect("cedar");
        // The connection's own reset, so that a fence never takes it for its own.
        ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.resets > 0; }));
        ASSERT_TRUE(folder.isValid());
        stimulus = std::make_unique<StimulusService>();
    }
    void TearDown() override {
        stimulus.reset();
        ConnectedAmplifier::TearDown();
    }

    static QComboBox* protocols(const ProtocolDockWidget& dock) {
        return labelled<QComboBox>(dock, "Protocol");
    }
    // What the dock says the amplifier runs, when it says it.
    static std::string running(const ProtocolDockWidget& dock) {
        const auto* label = dock.findChild<QLabel*>("runningProtocolLabel");
        return label && !label->isHidden() ? label->text().toStdString() : "";
    }
    static SteppedSpinBox* box(const ProtocolDockWidget& dock, const QString& label) {
        SteppedSpinBox* found = labelled<SteppedSpinBox>(dock, label);
        EXPECT_TRUE(found) << label.toStdString();
        return found;
    }
    static QPushButton* button(const ProtocolDockWidget& dock, const QString& toolTip) {
        for (QPushButton* b : dock.findChildren<QPushButton*>())
            if (b->toolTip() == toolTip) return b;
        ADD_FAILURE() << toolTip.toStdString();
        return nullptr;
    }
    // The text of the next modal box, which is closed as soon as it shows.
    static std::shared_ptr<QString> closeNextBox() {
        auto text = std::make_shared<QString>();
        QTimer::singleShot(0, [text] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                *text = box->text();
                box->close();
            }
        });
        return text;
    }
    bool startsAgain(uint64_t startsBefore, uint16_t protocolIdx) const {
        return reaches([&](const DecodedCommand& c) {
            return c.protocolStarts > startsBefore && c.protocolIdx == protocolIdx;
        });
    }
    // What the device holds once it has decoded a message sent after every call so far: a
    // value that the library encoded, even without sending it, shows there.
    DecodedCommand fenced() const {
        const uint64_t resets = command().resets;
        EXPECT_EQ(kv4cl::resetDevice(), kv4cl::Success);
        EXPECT_TRUE(reaches([&](const DecodedCommand& c) { return c.resets > resets; }));
        return command();
    }
    QString write(const QString& name, const QString& text) const {
        const QString path = folder.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
        return path;
    }

    QTemporaryDir folder;
    std::unique_ptr<StimulusService> stimulus;
};

TEST_F(ProtocolDock, ApplyingSendsTheProtocolAndStartsItStoppingHoldsVhold) {
    ProtocolDockWidget dock(*stimulus);
    EXPECT_EQ(dock.windowTitle(), "Voltage stimulus");
    EXPECT_EQ(protocols(dock)->currentIndex(), 0);
    EXPECT_TRUE(box(dock, "Vpulse [mV]")->isHidden()) << "not a parameter of the holding protocol";
    EXPECT_EQ(running(dock), "") << "nothing applied yet";

    protocols(dock)->setCurrentIndex(2); // "Square wave"
    EXPECT_EQ(running(dock), "") << "chosen, not applied";
    EXPECT_FALSE(box(dock, "Vpulse [mV]")->isHidden());
    EXPECT_TRUE(box(dock, "N")->isHidden());
    box(dock, "Vhold [mV]")->setValue(-30.0);
    box(dock, "Vpulse [mV]")->setValue(50.0);
    box(dock, "Tpulse [ms]")->setValue(20.0);
    const uint64_t starts = command().protocolStarts;
    button(dock, applyTip)->click();
    ASSERT_TRUE(startsAgain(starts, 2));
    DecodedCommand c = command();
    EXPECT_NEAR(c.protocolParameters.at("Vpulse"), 0.05, 1e-6);
    EXPECT_NEAR(c.protocolParameters.at("Tpulse"), 0.02, 1e-6);
    EXPECT_EQ(running(dock), "Running: Square wave");
    protocols(dock)->setCurrentIndex(3);
    EXPECT_EQ(running(dock), "Running: Square wave") << "another one chosen, not applied";

    box(dock, "Vhold [mV]")->setValue(-40.0);
    button(dock, "Stop the current stimulus")->click();
    ASSERT_TRUE(startsAgain(c.protocolStarts, 0));
    EXPECT_NEAR(command().protocolParameters.at("Vhold"), -0.04, 1e-6);
    EXPECT_EQ(running(dock), "Running: " + protocols(dock)->itemText(0).toStdString());

    // Ctrl+Down: 10 mV lower, applied with the protocol chosen.
    const uint64_t held = command().protocolStarts;
    dock.onDecreaseVhold();
    EXPECT_DOUBLE_EQ(box(dock, "Vhold [mV]")->value(), -50.0);
    ASSERT_TRUE(startsAgain(held, 3));
    EXPECT_NEAR(command().protocolParameters.at("Vhold"), -0.05, 1e-6);
}

// An estimation holds the protocol choice, stopping and the shortcuts off; Return runs it again
// with the Vhold typed; its end gives the choice back.
TEST_F(ProtocolDock, AnEstimationHoldsTheChoiceUntilItEnds) {
    ProtocolDockWidget dock(*stimulus);
    uint16_t estimation = 0;
    ASSERT_EQ(kv4cl::getCEstimationProtocol(estimation), kv4cl::Success);
    uint64_t starts = command().protocolStarts;
    stimulus->runEstimation(estimation, {});
    ASSERT_TRUE(startsAgain(starts, estimation));
    EXPECT_EQ(running(dock), "Running: " + protocols(dock)->itemText(estimation).toStdString());
    EXPECT_FALSE(protocols(dock)->isEnabled());

    button(dock, "Stop the current stimulus")->click();
    dock.onStartProtocolByShortCut(3);
    box(dock, "Vhold [mV]")->setValue(-10.0);
    starts = command().protocolStarts;
    QTest::keyClick(&dock, Qt::Key_Return);
    ASSERT_TRUE(startsAgain(starts, estimation));
    EXPECT_EQ(fenced().protocolStarts, starts + 1) << "nothing else started";
    EXPECT_NEAR(command().protocolParameters.at("Vhold"), -0.01, 1e-6);

    stimulus->endEstimation();
    EXPECT_TRUE(protocols(dock)->isEnabled());
}

// Edits the user makes before applying: none of them may reach the device until Apply.
struct Edit {
    const char* what;
    std::function<void(ProtocolDockWidget&)> edit;
    bool byReturn; // applied with Return instead of the Apply button
    uint16_t protocolIdx;
    std::map<std::string, double> sent; // what Apply sends, in V and s
};

void typeInto(QAbstractSpinBox* box, const QString& text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
}

void wheel(QWidget* widget, int notches) {
    widget->setFocus();
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    for (int i = 0; i < notches; i++) {
        QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(widget, &event);
    }
}

TEST_F(ProtocolDock, EditsReachTheDeviceOnlyOnApply) {
    const Edit edits[] = {
        {"typing 150 into Vhold",
         [](ProtocolDockWidget& dock) { typeInto(box(dock, "Vhold [mV]"), "150"); },
         false,
         0,
         {{"Vhold", 0.150}}},
        {"three wheel notches over Vhold, then Return",
         [](ProtocolDockWidget& dock) { wheel(box(dock, "Vhold [mV]"), 3); },
         true,
         0,
         {{"Vhold", 0.0015}}},
        {"Square wave chosen with the keyboard, Vpulse and Tpulse typed",
         [](ProtocolDockWidget& dock) {
             protocols(dock)->setFocus();
             QTest::keyClick(protocols(dock), Qt::Key_Down);
             QTest::keyClick(protocols(dock), Qt::Key_Down);
             typeInto(box(dock, "Vpulse [mV]"), "60");
             typeInto(box(dock, "Tpulse [ms]"), "25");
             wheel(box(dock, "Vpulse [mV]"), 2);
         },
         false,
         2,
         {{"Vhold", 0.0}, {"Vpulse", 0.061}, {"Tpulse", 0.025}}},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.what);
        QFile::remove(StimulusService::lastSessionFile());
        stimulus = std::make_unique<StimulusService>();
        ProtocolDockWidget dock(*stimulus);
        dock.show();
        QApplication::setActiveWindow(&dock);
        const DecodedCommand before = fenced();
        e.edit(dock);
        const DecodedCommand edited = fenced();
        EXPECT_EQ(edited.protocolIdx, before.protocolIdx);
        EXPECT_EQ(edited.protocolParameters, before.protocolParameters);
        EXPECT_EQ(edited.protocolStarts, before.protocolStarts);

        if (e.byReturn)
            QTest::keyClick(box(dock, "Vhold [mV]"), Qt::Key_Return);
        else
            QTest::mouseClick(button(dock, applyTip), Qt::LeftButton);
        ASSERT_TRUE(startsAgain(before.protocolStarts, e.protocolIdx));
        const DecodedCommand applied = command();
        for (const auto& [name, value] : e.sent)
            EXPECT_NEAR(applied.protocolParameters.at(name), value, 1e-9) << name;
    }
}

TEST_F(ProtocolDock, AnInvalidValueShowsTheLibraryMessageAndApplyRefuses) {
    ProtocolDockWidget dock(*stimulus);
    dock.show();
    QApplication::setActiveWindow(&dock);
    const DecodedCommand before = fenced();
    // Within the box, outside the protocol's limits.
    typeInto(box(dock, "Vhold [mV]"), "505");
    const QString message = "Vhold\nmust be within [-500,500]mV";
    const QLabel* label = nullptr;
    for (const QLabel* l : dock.findChildren<QLabel*>())
        if (l->text() == message) label = l;
    ASSERT_TRUE(label);
    EXPECT_FALSE(label->isHidden());

    const auto boxText = closeNextBox();
    QTest::mouseClick(button(dock, applyTip), Qt::LeftButton);
    EXPECT_EQ(*boxText, "Invalid protocol parameters");
    EXPECT_EQ(fenced().protocolStarts, before.protocolStarts);
    typeInto(box(dock, "Vhold [mV]"), "50");
    EXPECT_TRUE(label->isHidden());
}

// Types a name into the next file dialog and presses Return; answers with its title.
std::shared_ptr<QString> typeIntoNextFileDialog(QObject* owner, const QString& name) {
    auto title = std::make_shared<QString>();
    QTimer::singleShot(0, owner, [title, name] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        *title = dialog->windowTitle();
        auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
        if (!edit) {
            dialog->reject();
            return;
        }
        edit->clear();
        QTest::keyClicks(edit, name);
        QTest::keyClick(edit, Qt::Key_Return);
    });
    return title;
}

TEST_F(ProtocolDock, SavedParameterFilesEndInTxtAndLoadBack) {
    const struct {
        QString typed;
        QString saved;
    } names[] = {{"sq50", "sq50.txt"}, {"sq60.txt", "sq60.txt"}, {"run.v2", "run.v2.txt"}};
    QSettings().setValue("Protocol/Parameters/savePath", folder.path() + "/");
    ProtocolDockWidget dock(*stimulus);
    protocols(dock)->setCurrentIndex(2);
    QObject watch; // ends the timers with the test
    for (const auto& n : names) {
        SCOPED_TRACE(n.typed.toStdString());
        box(dock, "Vpulse [mV]")->setValue(40.0 + n.saved.size());
        const auto saveTitle = typeIntoNextFileDialog(&watch, n.typed);
        button(dock, "Save protocol parameters")->click();
        EXPECT_EQ(*saveTitle, "Select output parameters file");
        EXPECT_TRUE(QFile::exists(folder.filePath(n.saved)));
        if (n.typed != n.saved) {
            EXPECT_FALSE(QFile::exists(folder.filePath(n.typed)));
        }

        box(dock, "Vpulse [mV]")->setValue(0.0);
        const auto loadTitle = typeIntoNextFileDialog(&watch, n.saved);
        button(dock, "Load protocol parameters")->click();
        EXPECT_EQ(*loadTitle, "Select input parameters file");
        EXPECT_DOUBLE_EQ(box(dock, "Vpulse [mV]")->value(), 40.0 + n.saved.size());
    }
}

// Closes the next message box whenever it shows, after the file dialog say; answers with its text.
std::shared_ptr<QString> closeBoxWhenShown(QObject* owner) {
    auto text = std::make_shared<QString>();
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, [poll, text] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            *text = box->text();
            box->close();
            poll->stop();
        }
    });
    poll->start(10);
    return text;
}

TEST_F(ProtocolDock, AFileRefusedSaysWhyAndTheBoxesKeepTheirValues) {
    QSettings().setValue("Protocol/Parameters/savePath", folder.path() + "/");
    ProtocolDockWidget dock(*stimulus);
    box(dock, "Vhold [mV]")->setValue(-20.0);
    const QString header = "Compatibility:\nversion: 4\nsubversion: 3\nfirmware: 129\n\nprotocol: %1\n";
    const QString title = "Incompatible or unreadable protocol file";
    const struct {
        QString name, text, message;
    } files[] = {
        {"lastbad.txt", header.arg(2) + "Vhold: 40\nVpulse: 60\nThold: 5\nTpulse: nan\n", title},
        // Out of a box's range: a box would clamp it without a word.
        {"negative.txt", header.arg(2) + "Vhold: 40\nVpulse: 60\nThold: 5\nTpulse: -5\n",
         title + "\nLine 10: -5 is out of range [0, 1e+08]"},
    };
    QObject watch; // ends the timers with the test
    for (const auto& [name, text, expected] : files) {
        SCOPED_TRACE(name.toStdString());
        write(name, text);
        typeIntoNextFileDialog(&watch, name);
        const auto message = closeBoxWhenShown(&watch);
        button(dock, "Load protocol parameters")->click();
        EXPECT_EQ(message->toStdString(), expected.toStdString());
        EXPECT_EQ(protocols(dock)->currentIndex(), 0) << "a file is taken whole or not at all";
        EXPECT_DOUBLE_EQ(box(dock, "Vhold [mV]")->value(), -20.0);
    }
}

TEST_F(ProtocolDock, TheLastSessionParametersComeBackInTheNextDock) {
    {
        ProtocolDockWidget dock(*stimulus);
        protocols(dock)->setCurrentIndex(3); // "Conductance"
        box(dock, "Vpulse [mV]")->setValue(70.0);
        box(dock, "N")->setValue(5.0);
    }
    StimulusService nextStimulus;
    ProtocolDockWidget next(nextStimulus);
    EXPECT_EQ(protocols(next)->currentIndex(), 3);
    EXPECT_DOUBLE_EQ(box(next, "Vpulse [mV]")->value(), 70.0);
    EXPECT_DOUBLE_EQ(box(next, "N")->value(), 5.0);
}

TEST_F(ProtocolDock, ALastSessionWithANonFiniteValueStartsFromTheDefaultsWithAWarning) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(StimulusService::lastSessionFile()).absolutePath()));
    QFile session(StimulusService::lastSessionFile());
    ASSERT_TRUE(session.open(QIODevice::WriteOnly));
    session.write("Compatibility:\nversion: 4\nsubversion: 3\nfirmware: 129\n\nprotocol: 0\nVhold: inf\n");
    session.close();
    std::vector<std::string> names;
    std::vector<kv4cl::RangedMeasurement_t> ranges;
    std::vector<kv4cl::Measurement_t> defaults;
    ASSERT_EQ(kv4cl::getProtocolVoltage(names, ranges, defaults), kv4cl::Success);

    kv4test::WarningCapture console;
    ProtocolDockWidget dock(*stimulus);
    EXPECT_EQ(console.count("last session"), 1);
    EXPECT_DOUBLE_EQ(box(dock, "Vhold [mV]")->value(), defaults[0].converted(kv4cl::UnitPfxMilli).value);
}

TEST_F(ProtocolDock, ARecordRequestAsksForTheFileFirstThenResetsTheDeviceAndRecords) {
    ProtocolDockWidget dock(*stimulus);
    QSettings().setValue("Protocol/Settings/recordName", "");
    QSignalSpy requests(&dock, &ProtocolDockWidget::recordRequest);
    const uint64_t resets = command().resets;
    QString asked;
    QObject watch; // ends the timer with the test
    QTimer::singleShot(0, &watch, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            asked = dialog->windowTitle();
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        }
    });
    button(dock, "Start recording (SHIFT + ENTER/RETURN)")->click();
    EXPECT_EQ(asked, "Recording properties") << "no file name yet: the settings come first";
    ASSERT_EQ(requests.count(), 1);
    EXPECT_TRUE(requests.at(0).at(0).toBool());
    // This model has no digital trigger box, so the device starts from a reset.
    EXPECT_TRUE(reaches([&](const DecodedCommand& c) { return c.resets > resets; }));

    dock.onNewRecordFile("cell/cell_000");
    const QString path = dock.recordSettingsDialog()->getRecordPath();
    auto* record = button(dock, path + "cell/cell_000");
    ASSERT_NE(record, nullptr) << "the file shows on the record button";
    EXPECT_TRUE(record->text().endsWith("\nFile: cell/cell_000")) << record->text().toStdString();
    button(dock, "Stop recording (SHIFT + ESC)")->click();
    ASSERT_EQ(requests.count(), 2);
    EXPECT_FALSE(requests.at(1).at(0).toBool());
}

TEST_F(ProtocolDock, HoveringTheImageShowsItTwiceAsLargeBesideItWithTitleAndClose) {
    ProtocolDockWidget dock(*stimulus);
    dock.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dock));
    auto* thumbnail = dock.findChild<ProtocolImageButton*>();
    ASSERT_NE(thumbnail, nullptr);
    QDialog* preview = nullptr;
    for (QDialog* d : dock.findChildren<QDialog*>())
        if (d->windowTitle() == "Protocol waveform") preview = d;
    ASSERT_NE(preview, nullptr);
    QPushButton* close = withText<QPushButton>(*preview, "Close");
    ASSERT_NE(close, nullptr);

    for (const int protocol : {0, 2, 6}) {
        SCOPED_TRACE(protocol);
        protocols(dock)->setCurrentIndex(protocol);
        QTest::mouseMove(&dock, QPoint(2, 2));
        QTest::mouseMove(thumbnail);
        ASSERT_TRUE(QTest::qWaitFor([&] { return preview->isVisible(); }));
        const QSize shown = thumbnail->icon().actualSize(thumbnail->iconSize());
        QLabel* image = nullptr;
        for (QLabel* l : preview->findChildren<QLabel*>())
            if (!l->pixmap().isNull()) image = l;
        ASSERT_NE(image, nullptr);
        const QSize large = image->pixmap().deviceIndependentSize().toSize();
        EXPECT_GE(large.width(), 2 * shown.width());
        EXPECT_GE(large.height(), 2 * shown.height());
        EXPECT_GE(image->width(), large.width());
        // The title bar holds the title and the window's own buttons.
        EXPECT_GT(preview->width(), preview->fontMetrics().horizontalAdvance("Protocol waveform") + 100);
        EXPECT_TRUE(close->isVisible());
        // Beside the thumbnail, never over it: a window under the pointer would end the hover.
        const QRect thumb(thumbnail->mapToGlobal(QPoint(0, 0)), thumbnail->size());
        EXPECT_FALSE(preview->frameGeometry().intersects(thumb));

        QTest::mouseMove(&dock, QPoint(2, 2));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !preview->isVisible(); }));
    }
    QTest::mouseMove(thumbnail);
    ASSERT_TRUE(QTest::qWaitFor([&] { return preview->isVisible(); }));
    QTest::mouseClick(close, Qt::LeftButton);
    EXPECT_FALSE(preview->isVisible());
}

TEST_F(ProtocolDock, LongRecordingPathsElideWithoutWideningTheDock) {
    const QString deep = "/home/user/KAV4/Recordings/" + QString("very long folder name/").repeated(12);
    const struct {
        QString path;
        QString file;
    } shown[] = {{"/r/", "cell/cell_000"}, {deep, "cell/cell_000"}, {deep, "a" + QString("b").repeated(300)}};
    for (const auto& s : shown) {
        SCOPED_TRACE(s.file.toStdString());
        QSettings().setValue("Protocol/Settings/recordPath", s.path);
        ProtocolDockWidget dock(*stimulus);
        dock.show();
        QApplication::processEvents();
        const int hint = dock.sizeHint().width();
        const int minimum = dock.minimumSizeHint().width();
        dock.onNewRecordFile(s.file);
        QApplication::processEvents();
        EXPECT_EQ(dock.sizeHint().width(), hint);
        EXPECT_EQ(dock.minimumSizeHint().width(), minimum);

        QPushButton* record = button(dock, s.path + s.file);
        ASSERT_NE(record, nullptr) << "the full path and file are the tool tip";
        const QStringList lines = record->text().split("\n");
        ASSERT_EQ(lines.size(), 2);
        EXPECT_TRUE(lines[0].startsWith("Recording path: ")) << lines[0].toStdString();
        EXPECT_TRUE(lines[1].startsWith("File: ")) << lines[1].toStdString();
        const bool fits = s.path.size() + s.file.size() < 20;
        EXPECT_EQ(lines.join("") == "Recording path: " + s.path + "File: " + s.file, fits);
        for (const QString& line : lines)
            EXPECT_LE(record->fontMetrics().horizontalAdvance(line), record->width()) << line.toStdString();
        // An elided path uses the room it has: most of the button beside the icon.
        if (!fits) {
            EXPECT_GT(record->fontMetrics().horizontalAdvance(lines[0]), 0.75 * record->width())
                << lines[0].toStdString();
        }
    }
}

} // namespace

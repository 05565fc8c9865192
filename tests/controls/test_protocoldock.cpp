// The "Voltage stimulus" dock on a virtual reference amplifier: what applying and stopping
// reach, validation, the Vhold lock and shortcuts, and the parameter files.

#include "tests/controls/connectedamplifier.h"

#include "app/steppedspinbox.h"
#include "controls/protocoldockwidget.h"
#include "recording/recordsettingsdialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <memory>

namespace {

using kav4sim::DecodedCommand;

const char* const applyTip = "Apply the current stimulus (ENTER/RETURN)";

class ProtocolDock : public kv4test::ConnectedAmplifier {
  protected:
    void SetUp() override {
        QFile::remove(ProtocolDockWidget::lastSessionFile());
        QSettings().remove("Protocol");
        connect("cedar");
        ASSERT_TRUE(folder.isValid());
    }

    static QComboBox* protocols(const ProtocolDockWidget& dock) {
        return labelled<QComboBox>(dock, "Protocol");
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
    QString write(const QString& name, const QString& text) const {
        const QString path = folder.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
        return path;
    }
    static QStringList lines(const QString& path) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QString::fromUtf8(file.readAll()).split("\n");
    }

    QTemporaryDir folder;
};

TEST_F(ProtocolDock, ApplyingSendsTheProtocolAndStartsItStoppingHoldsVhold) {
    ProtocolDockWidget dock;
    EXPECT_EQ(dock.windowTitle(), "Voltage stimulus");
    EXPECT_EQ(protocols(dock)->currentIndex(), 0);
    EXPECT_TRUE(box(dock, "Vpulse [mV]")->isHidden()) << "not a parameter of the holding protocol";

    protocols(dock)->setCurrentIndex(2); // "Square wave"
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

    box(dock, "Vhold [mV]")->setValue(-40.0);
    button(dock, "Stop the current stimulus")->click();
    ASSERT_TRUE(startsAgain(c.protocolStarts, 0));
    EXPECT_NEAR(command().protocolParameters.at("Vhold"), -0.04, 1e-6);
}

TEST_F(ProtocolDock, InvalidParametersShowTheLibraryMessageAndRefuseApplying) {
    ProtocolDockWidget dock;
    box(dock, "Vhold [mV]")->setValue(505.0); // within the box, outside the protocol's limits
    const QString message = "Vhold\nmust be within [-500,500]mV";
    const QLabel* label = nullptr;
    for (const QLabel* l : dock.findChildren<QLabel*>())
        if (l->text() == message) label = l;
    ASSERT_TRUE(label);
    EXPECT_FALSE(label->isHidden());

    const uint64_t starts = command().protocolStarts;
    const auto boxText = closeNextBox();
    button(dock, applyTip)->click();
    EXPECT_EQ(*boxText, "Invalid protocol parameters");
    // The stop's start is the only one: the refused apply sent none before it.
    button(dock, "Stop the current stimulus")->click();
    ASSERT_TRUE(startsAgain(starts, 0));
    EXPECT_EQ(command().protocolStarts, starts + 1);

    box(dock, "Vhold [mV]")->setValue(0.0);
    EXPECT_TRUE(label->isHidden());
}

TEST_F(ProtocolDock, DecreasingVholdFromZeroAppliesMinusTenMillivoltsReturnApplies) {
    ProtocolDockWidget dock;
    SteppedSpinBox* vhold = box(dock, "Vhold [mV]");
    vhold->setValue(0.0);
    uint64_t starts = command().protocolStarts;
    dock.onDecreaseVhold();
    EXPECT_DOUBLE_EQ(vhold->value(), -10.0);
    ASSERT_TRUE(startsAgain(starts, 0));
    EXPECT_NEAR(command().protocolParameters.at("Vhold"), -0.01, 1e-6);

    protocols(dock)->setCurrentIndex(1);
    starts = command().protocolStarts;
    QTest::keyClick(vhold, Qt::Key_Return);
    EXPECT_TRUE(startsAgain(starts, 1));
}

TEST_F(ProtocolDock, LockedVholdStaysUnlockedEachProtocolRestoresItsOwn) {
    ProtocolDockWidget dock;
    SteppedSpinBox* vhold = box(dock, "Vhold [mV]");
    vhold->setValue(-20.0);
    protocols(dock)->setCurrentIndex(2);
    EXPECT_DOUBLE_EQ(vhold->value(), -20.0);

    QPushButton* lock = nullptr;
    for (QPushButton* b : dock.findChildren<QPushButton*>())
        if (b->toolTip().startsWith("If locked the vhold stays the same")) lock = b;
    ASSERT_TRUE(lock);
    lock->click();
    EXPECT_FALSE(QSettings().value("Protocol/Settings/vholdLock").toBool());
    vhold->setValue(30.0);
    protocols(dock)->setCurrentIndex(0);
    EXPECT_DOUBLE_EQ(vhold->value(), -20.0);
    protocols(dock)->setCurrentIndex(2);
    EXPECT_DOUBLE_EQ(vhold->value(), 30.0);
}

TEST_F(ProtocolDock, SavingTheHoldingProtocolWritesTheHeaderAndVhold) {
    ProtocolDockWidget dock;
    box(dock, "Vhold [mV]")->setValue(-20.0);
    const QString path = folder.filePath("holding.txt");
    ASSERT_TRUE(dock.saveParameters(path));
    EXPECT_EQ(lines(path), QStringList({"Compatibility:", "version: 4", "subversion: 3", "firmware: 129", "",
                                        "protocol: 0", "Vhold: -20", ""}));
}

TEST_F(ProtocolDock, ForeignOrMalformedFilesFailToLoad) {
    ProtocolDockWidget dock;
    box(dock, "Vhold [mV]")->setValue(-20.0);
    const QString header = "Compatibility:\nversion: 4\nsubversion: 3\nfirmware: %1\n\nprotocol: 2\n";

    EXPECT_FALSE(dock.loadParameters(write("foreign.txt", header.arg(1) + "Vhold: 40\n")));
    EXPECT_EQ(protocols(dock)->currentIndex(), 0) << "nothing changes before the protocol line";
    EXPECT_DOUBLE_EQ(box(dock, "Vhold [mV]")->value(), -20.0);

    EXPECT_FALSE(dock.loadParameters(write("malformed.txt", header.arg(129) + "Vhold 40\n")));
    EXPECT_FALSE(dock.loadParameters(folder.filePath("missing.txt")));

    const QString good = header.arg(129) + "Vhold: 40\nVpulse: 60\nThold: 5\nTpulse: 7\n";
    ASSERT_TRUE(dock.loadParameters(write("good.txt", good)));
    EXPECT_EQ(protocols(dock)->currentIndex(), 2);
    EXPECT_DOUBLE_EQ(box(dock, "Vpulse [mV]")->value(), 60.0);
    EXPECT_DOUBLE_EQ(box(dock, "Tpulse [ms]")->value(), 7.0);
}

TEST_F(ProtocolDock, TheLastSessionParametersComeBackInTheNextDock) {
    {
        ProtocolDockWidget dock;
        protocols(dock)->setCurrentIndex(3); // "Conductance"
        box(dock, "Vpulse [mV]")->setValue(70.0);
        box(dock, "N")->setValue(5.0);
    }
    ProtocolDockWidget next;
    EXPECT_EQ(protocols(next)->currentIndex(), 3);
    EXPECT_DOUBLE_EQ(box(next, "Vpulse [mV]")->value(), 70.0);
    EXPECT_DOUBLE_EQ(box(next, "N")->value(), 5.0);
}

TEST_F(ProtocolDock, RestoringDefaultsBringsBackTheLibraryValues) {
    ProtocolDockWidget dock;
    std::vector<std::string> names;
    std::vector<kv4cl::RangedMeasurement_t> ranges;
    std::vector<kv4cl::Measurement_t> defaults;
    ASSERT_EQ(kv4cl::getProtocolVoltage(names, ranges, defaults), kv4cl::Success);
    protocols(dock)->setCurrentIndex(2);
    box(dock, "Vpulse [mV]")->setValue(defaults[1].value + 40.0);
    box(dock, "Vhold [mV]")->setValue(defaults[0].value - 20.0);
    button(dock, "Restore default protocol parameters")->click();
    EXPECT_DOUBLE_EQ(box(dock, "Vhold [mV]")->value(), defaults[0].value);
    EXPECT_DOUBLE_EQ(box(dock, "Vpulse [mV]")->value(), defaults[1].value);
}

TEST_F(ProtocolDock, ARecordRequestAsksForTheFileFirstThenResetsTheDeviceAndRecords) {
    ProtocolDockWidget dock;
    QSettings().setValue("Protocol/Settings/recordName", "");
    QSignalSpy requests(&dock, &ProtocolDockWidget::recordRequest);
    const uint64_t resets = command().resets;
    QString asked;
    QObject watch; // ends the timer with the test
    QTimer::singleShot(0, &watch, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            asked = dialog->windowTitle();
            dialog->close();
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
    EXPECT_EQ(record->text(), "Recording path: " + path + "\nFile: cell/cell_000");
    button(dock, "Stop recording")->click();
    ASSERT_EQ(requests.count(), 2);
    EXPECT_FALSE(requests.at(1).at(0).toBool());
}

} // namespace

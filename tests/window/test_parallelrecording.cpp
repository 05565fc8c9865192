// "All" over two Dogwood 16, recorded from the window as a user does, with the amplifiers
// counting their frames: every current and gp word of each device must be in its column of the
// files, frame by frame, and the plots and the header must name each device's gp channel.

#include "commlib/api/kv4cl.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/connectedwindow.h"
#include "tools/patternverifier.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class ParallelRecording : public kv4test::WindowTest, public testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        folder = QDir::homePath() + "/parallel/";
        ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
        QSettings settings;
        settings.setValue("Protocol/Settings/recordPath", folder);
        settings.setValue("Protocol/Settings/recordName", "run");
        settings.setValue("Protocol/Settings/recordFormat", GetParam());
        // The counting words as they came: the reset denoiser would reshape the current words.
        settings.setValue("Preferences/Filters/filterDataForDatRecording", false);
        settings.setValue("Preferences/Filters/filterDataForAbfRecording", false);
        open("dogwood16,dogwood16", 3);
        window->resize(1366, 768);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        // Before the connection, so that every frame the library hands out counts.
        for (const char* id : {"VDOGWOOD1601", "VDOGWOOD1602"})
            simulation->amplifier(id)->setPatternMode(true);
        connectTo("All");
    }

    QString folder;
};

TEST_P(ParallelRecording, EveryDevicesWordsAreInTheirColumnsAndTheGpChannelsAreNamed) {
    uint32_t voltages = 0, currents = 0, gps = 0;
    ASSERT_EQ(kv4cl::getChannelCounts(voltages, currents, gps), kv4cl::Success);
    ASSERT_EQ(currents, 32u);
    ASSERT_EQ(gps, 2u);
    for (const char* name : {"Vref monitor 1", "Vref monitor 2"}) {
        const QList<QLabel*> labels = window->findChildren<QLabel*>();
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == name; }))
            << name << " has no plot";
    }

    // How a DAT file holds each word, by the library's conversions as the recording starts.
    const std::vector<kav4cli::DatColumn> columns = kav4cli::datColumns(currents, gps, voltages);

    QAbstractButton* record = button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)");
    QAbstractButton* stop = button("protocolDw", "Stop recording");
    ASSERT_TRUE(record && stop);
    const bool dat = GetParam() == 0;
    const QString first = folder + (dat ? "run/run_000.dat" : "run/run_CH001_000.abf");
    record->click();
    // Half a second at the default rate, at the least.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return dat ? QFileInfo(first).size() >= 600 * 35 * 4
                       : kav4cli::abfFrameCount(first.toStdString()) >= 600;
        },
        20000));
    stop->click();

    const kav4cli::FrameLayout layout{currents, gps, dat ? voltages : 1, 2};
    const std::string where = (folder + "run/").toStdString();
    const kav4cli::PatternReport report =
        dat ? kav4cli::verifyDat(kav4cli::datFiles(where, "run"), layout, columns,
                                 kav4cli::labbookLosses(where + "run_lab_book.txt"))
            : kav4cli::verifyAbf(kav4cli::abfFiles(where, "run", currents + gps), layout);
    EXPECT_EQ(report.fault, "");
    EXPECT_GE(report.frames, 600u);
    EXPECT_EQ(report.lostFrames, 0u);

    QFile header(folder + "run/run.kdh");
    ASSERT_TRUE(header.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(header.readAll());
    EXPECT_TRUE(text.contains("\nChannels: 32\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("; Ch32 [pA]; Vref monitor 1 [mV]; Vref monitor 2 [mV]; V1 [mV]\n"))
        << text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Window, ParallelRecording, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Dat" : "Abf"; });

} // namespace

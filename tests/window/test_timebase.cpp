// One time base through the whole window: whatever rate button was clicked, or none, the
// consumers, the writers' files, the plot's time axis and the info dock all compute with the
// rate at which the amplifier really samples.

#include "acquisition/valuelabel.h"
#include "commlib/api/kv4cl.h"
#include "controls/protocoldockwidget.h"
#include "controls/recordsettingsdialog.h"
#include "plots/plottab.h"
#include "tests/support/childprocess.h"
#include "tests/support/connectedwindow.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using kv4cl::Measurement_t;

const char* const python = "/usr/bin/python3";
// Per file: the rate Neo reads and the samples of the first channel.
const char* const rateScript = R"(
import json, sys
from neo.io import AxonIO
out = []
for path in sys.argv[1:]:
    signal = AxonIO(filename=path).read_block().segments[0].analogsignals[0]
    out.append([float(signal.sampling_rate.rescale('Hz').magnitude), int(signal.shape[0])])
print(json.dumps(out))
)";

constexpr double recordSeconds = 0.2;

struct Model {
    const char* name;
    const char* entry;
    const char* oversampling; // the ratio button clicked before the rates, or null
};

struct Case {
    QString name; // of the recording
    QString clicked;
    double rateHz;
    Measurement_t rate; // as the library lists it, for the labels
};

class TimeBase : public kv4test::WindowTest, public testing::WithParamInterface<Model> {
  protected:
    void SetUp() override {
        if (!kv4test::runProgram(python, {"-c", "import neo.io"}).succeeded())
            GTEST_SKIP() << "python3-neo is missing";
        WindowTest::SetUp();
        folder = QDir::homePath() + "/time base/";
        ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
        QSettings settings;
        settings.setValue("Protocol/Settings/recordPath", folder);
        settings.setValue("Protocol/Settings/recordName", "unused");
        settings.setValue("Protocol/Settings/recordFormat", 1);
        settings.setValue("Protocol/Settings/recordDuration", recordSeconds);
        open(GetParam().name, 1);
        connectTo(GetParam().entry);
        // Found before the first recording, which gives it the file's name as its tool tip.
        recordButton = button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)");
        ASSERT_NE(recordButton, nullptr);
    }

    // The plot's sweep: as many points, that far apart, as the consumer makes of the rate.
    testing::AssertionResult sweepFollows(double rateHz) const {
        const auto* tab = qobject_cast<PlotTab*>(window->centralWidget());
        const long rows = std::lround(rateHz * tab->timeSpan());
        const long decimation = (rows - 1) / 8192 + 1;
        const int points = int(rows / decimation);
        const double step = double(decimation) / rateHz;
        const QCPGraph* graph = nullptr;
        const auto shown = [&] {
            graph = tab->channelPlots().front()->graph(0);
            return graph && graph->data()->size() == points &&
                   std::abs(graph->data()->at(1)->key - step) < 1e-9 * step;
        };
        if (QTest::qWaitFor(shown, 5000)) return testing::AssertionSuccess();
        return testing::AssertionFailure()
               << "the sweep has " << (graph ? graph->data()->size() : -1) << " points "
               << (graph && graph->data()->size() > 1 ? graph->data()->at(1)->key : 0.0) << " s apart, not "
               << points << " points " << step << " s apart";
    }

    // Records for the duration set in the dialog, from the protocol dock's record button.
    void record(const QString& name) const {
        auto* protocols = qobject_cast<ProtocolDockWidget*>(dock("protocolDw"));
        protocols->recordSettingsDialog()->findChild<QLineEdit*>("recordNameEdit")->setText(name);
        QAbstractButton* rates = button("controlsDw", valueLabel(nominal.front()));
        recordButton->click();
        // The controls are locked while the writer runs and free again once it has stopped.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !rates->isEnabled(); }, 5000)) << name.toStdString();
        ASSERT_TRUE(QTest::qWaitFor([&] { return rates->isEnabled(); }, 10000)) << name.toStdString();
    }

    // The device's effective rate now, checked against the library's real list.
    Measurement_t deviceRate(size_t rateIdx, uint16_t ratio) const {
        Measurement_t rate = real[rateIdx];
        rate.value *= ratio;
        Measurement_t device;
        EXPECT_EQ(kv4cl::getSamplingRate(device), kv4cl::Success);
        EXPECT_DOUBLE_EQ(device.getNoPrefixValue(), rate.getNoPrefixValue());
        return rate;
    }

    std::vector<Measurement_t> nominal, real;
    QString folder;
    QAbstractButton* recordButton = nullptr;
};

TEST_P(TimeBase, EveryConsumerAndFileUseTheRealRate) {
    uint16_t defaultRate = 0, defaultRatio = 0;
    ASSERT_EQ(kv4cl::getSamplingRates(nominal, defaultRate), kv4cl::Success);
    ASSERT_EQ(kv4cl::getRealSamplingRates(real), kv4cl::Success);
    std::vector<uint16_t> ratios;
    uint16_t ratio = 1;
    if (kv4cl::getOversamplingRatios(ratios, defaultRatio) == kv4cl::Success) ratio = ratios[defaultRatio];
    ASSERT_EQ(nominal.size(), real.size());

    std::vector<Case> cases;
    const auto check = [&](const QString& clicked, size_t rateIdx) {
        const Measurement_t rate = deviceRate(rateIdx, ratio);
        const double hz = rate.getNoPrefixValue();
        const QString name = QString("case%1").arg(cases.size());
        SCOPED_TRACE(clicked.toStdString());
        EXPECT_TRUE(sweepFollows(hz));
        EXPECT_EQ(dock("acquisitionInfoDw")->findChild<QLabel*>("samplingRateLabel")->text().toStdString(),
                  measurementDisplay(rate).toStdString());
        record(name);
        cases.push_back({name, clicked, hz, rate});
    };

    check("no button", defaultRate);
    if (const char* x = GetParam().oversampling) {
        QAbstractButton* ratioButton = button("controlsDw", x);
        ASSERT_NE(ratioButton, nullptr) << x;
        QTest::mouseClick(ratioButton, Qt::LeftButton);
        ratio = uint16_t(QString(x).mid(1).toUInt());
        ASSERT_NE(std::find(ratios.begin(), ratios.end(), ratio), ratios.end()) << x;
        check(x, defaultRate);
    }
    for (size_t i = 0; i < nominal.size(); i++) {
        QAbstractButton* rateButton = button("controlsDw", valueLabel(nominal[i]));
        ASSERT_NE(rateButton, nullptr) << valueLabel(nominal[i]).toStdString();
        QTest::mouseClick(rateButton, Qt::LeftButton);
        check(rateButton->text(), i);
    }

    QStringList files;
    for (const Case& c : cases)
        files << folder + c.name + "/" + c.name + "_CH001_000.abf";
    const kv4test::ProgramRun neo = kv4test::runProgram(python, QStringList{"-c", rateScript} + files);
    ASSERT_TRUE(neo.exited);
    const QJsonArray read = QJsonDocument::fromJson(neo.out).array();
    ASSERT_EQ(read.size(), qsizetype(cases.size())) << neo.err.toStdString();
    for (size_t k = 0; k < cases.size(); k++) {
        const Case& c = cases[k];
        SCOPED_TRACE(c.clicked.toStdString());
        // The file holds the sample interval in single precision.
        EXPECT_NEAR(read[qsizetype(k)][0].toDouble(), c.rateHz, c.rateHz * 1e-6) << "the ABF file's rate";
        EXPECT_EQ(read[qsizetype(k)][1].toInt(), std::lround(recordSeconds * c.rateHz))
            << "the frames of a duration-limited recording";
        QFile header(folder + c.name + "/" + c.name + ".kdh");
        ASSERT_TRUE(header.open(QIODevice::ReadOnly));
        EXPECT_TRUE(
            QString(header.readAll()).contains("Sampling frequency (SR): " + valueLabel(c.rate) + "\n"))
            << "the KDH header's rate";
    }
}

INSTANTIATE_TEST_SUITE_P(Models, TimeBase,
                         testing::Values(Model{"cedar", "VCEDAR01", nullptr}, Model{"elm", "VELM01", "x2"}),
                         [](const testing::TestParamInfo<Model>& info) {
                             return std::string(info.param.name);
                         });

} // namespace

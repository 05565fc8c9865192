// kav4-cli analyse reads a recording in blocks and hands them to the analyses itself, while a
// recording played in the window goes through the producer's ring to the analyses' threads. The
// two must give the same numbers from the same frames, and the numbers must be the recording's:
// four current channels of known noise in nA, a reference monitor with an offset and the voltage
// at a real rate of 19531.25 Hz, in two chunk files with a loss in the lab book, each way from
// 0.3 s on, with windows and averages that neither the ring's reads nor the blocks divide.

#include "analysis/framework/csvformat.h"
#include "analysis/histogram/histogramconsumer.h"
#include "analysis/noisereport/noisereportconsumer.h"
#include "analysis/spectrum/spectrumconsumer.h"
#include "recording/labbookevent.h"
#include "session/devicesession.h"
#include "tools/analysecommand.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int currents = 4;
constexpr double rate = 19531.25;
constexpr double currentStep = 0.000625; // nA
// Steps and offsets of no power of two, whose sums round differently when taken in another order.
constexpr double monitorStep = 0.061, monitorZero = 1000.3, monitorCode = 160; // mV
constexpr double voltageStep = 0.0625;                                         // mV
constexpr int64_t chunkFrames[] = {30000, 20000};
constexpr int64_t lossFrame = 20000, lostFrames = 100; // in the first chunk
constexpr double from = 0.3, noiseWindow = 0.25, integration = 0.5;
constexpr int fftBins = 1024;

double noiseOf(int channel) {
    return 0.5 * (channel + 1); // nA RMS
}

// NAME.kdh, NAME_000.dat, NAME_001.dat and NAME_lab_book.txt, as the program writes them.
void writeRecording(const std::string& base) {
    std::ofstream kdh(base + ".kdh");
    kdh << "KDH Version: 2.0\n\nSampling rate [Hz]: " << rate << "\n\nColumns: ";
    for (int c = 1; c <= currents; c++)
        kdh << "Ch" << c << " [nA]; ";
    kdh << "Vref monitor 1 [mV]; V1 [mV]\nColumn scales: ";
    for (int c = 1; c <= currents; c++)
        kdh << currentStep << " 0; ";
    kdh << monitorStep << " " << monitorZero << "; " << voltageStep << " 0\n";

    std::mt19937 random(7);
    std::normal_distribution<double> normal;
    for (size_t k = 0; k < std::size(chunkFrames); k++) {
        std::ofstream dat(base + "_00" + std::to_string(k) + ".dat", std::ios::binary);
        for (int64_t f = 0; f < chunkFrames[k]; f++) {
            std::vector<float> frame;
            for (int c = 0; c < currents; c++)
                frame.push_back(float(std::round(normal(random) * noiseOf(c) / currentStep) * currentStep));
            frame.push_back(float(monitorCode * monitorStep + monitorZero));
            frame.push_back(float(-800 * voltageStep));
            dat.write(reinterpret_cast<const char*>(frame.data()),
                      std::streamsize(frame.size() * sizeof(float)));
        }
    }
    std::ofstream(base + "_lab_book.txt")
        << LabbookEventSamplesLost(lostFrames, rate, "rec_000.dat", lossFrame).lineText().toStdString()
        << "\n";
}

// The recording played as the window plays it, as fast as the analyses take it, and what their
// docks would export, in the order kav4-cli analyse writes it.
QString playedThroughTheRing(const QString& kdh, int& noiseResults) {
    QString error;
    const std::unique_ptr<DeviceSession> session = DeviceSession::openRecording(kdh, error);
    EXPECT_TRUE(session) << error.toStdString();
    if (!session) return {};
    DeviceDataProducer& producer = *session->producer();
    auto* noise = new NoiseReportConsumer(&producer);
    auto* histogram = new HistogramConsumer(&producer);
    auto* spectrum = new SpectrumConsumer(&producer);
    session->add(noise, "NoiseReport");
    session->add(histogram, "Histogram");
    session->add(spectrum, "Spectrum");
    session->seedRanges();

    std::mutex mutex;
    std::condition_variable progress;
    NoiseReportConsumer::Result_t lastNoise;
    noiseResults = 0;
    QObject::connect(
        noise, &NoiseReportConsumer::result, noise,
        [&](const NoiseReportConsumer::Result_t& result) {
            std::lock_guard lock(mutex);
            lastNoise = result;
            noiseResults++;
        },
        Qt::DirectConnection);
    for (AnalysisConsumer* consumer : std::initializer_list<AnalysisConsumer*>{noise, histogram, spectrum})
        QObject::connect(
            consumer, &AnalysisConsumer::analysed, consumer,
            [&] {
                std::lock_guard lock(mutex);
                progress.notify_all();
            },
            Qt::DirectConnection);
    noise->onWindowChanged(noiseWindow);
    noise->onStartConsuming();
    for (int c = 0; c < currents; c++) {
        SpectrumConsumer::Options_t options{fftBins, {integration, kv4cl::UnitPfxNone, "s"}};
        spectrum->onSetOptions(c, options);
        spectrum->onStartConsuming(c);
        histogram->onStartConsuming(c);
    }

    FileSampleSource& source = *session->replay();
    source.seek(std::llround(from * rate));
    source.setSpeed(0);
    source.play();
    session->start();
    source.awaitEnd();
    producer.onStopProducing();
    const uint64_t rows = producer.rowsProduced();
    {
        std::unique_lock lock(mutex);
        progress.wait(lock, [&] {
            return noise->rowsAnalysed() >= rows && histogram->rowsAnalysed() >= rows &&
                   spectrum->rowsAnalysed() >= rows;
        });
    }

    const std::vector<kv4cl::RangedMeasurement_t>& ranges = source.ranges();
    QString text = csvLine({"Analysis:", noiseReportTitle}, ",");
    text += noiseReportCsv(lastNoise, ranges[0], {ranges.begin() + 1, ranges.begin() + 1 + currents},
                           {ranges.begin() + 1 + currents, ranges.end()}, producer.gpChannelNames(), ",");
    for (int c = 0; c < currents; c++) {
        text += csvLine({"Analysis:", histogramTitle(c)}, ",") +
                histogramCsv(c, histogram->channelResult(c), ",");
        text += csvLine({"Analysis:", spectrumTitle(c)}, ",") +
                spectrumCsv(c, spectrumCurve(spectrum->channelResult(c), true), ",");
    }
    session->stop();
    return text;
}

TEST(AnalyseARecording, GivesTheNumbersOfTheRecordingPlayedThroughTheRingFromTheSameFrames) {
    QTemporaryDir folder;
    const std::string base = folder.path().toStdString() + "/rec";
    writeRecording(base);

    kav4cli::AnalyseRequest request;
    request.file = base + "_001.dat";
    request.noise = request.histogram = request.spectrum = true;
    request.from = from;
    request.noiseWindow = noiseWindow;
    request.fftBins = fftBins;
    request.integrationTime = integration;
    request.csv = base + ".csv";
    const kav4cli::AnalyseReport report = kav4cli::analyse(request);
    const int64_t first = std::llround(from * rate), frames = chunkFrames[0] + chunkFrames[1];
    EXPECT_EQ(report.frames, uint64_t(frames - first));
    QFile csv(QString::fromStdString(request.csv));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString analysed = QString::fromUtf8(csv.readAll());

    int noiseResults = 0;
    const QString played = playedThroughTheRing(QString::fromStdString(base + ".kdh"), noiseResults);
    // Windows of exactly 4883 frames.
    EXPECT_EQ(noiseResults, (frames - first) / std::llround(noiseWindow * rate));
    EXPECT_EQ(analysed, played);

    // The recording's numbers: the last window's deviation of each channel within 5% of its
    // noise, the monitor at its value; each histogram holds four whole half seconds.
    const QStringList lines = analysed.split('\n');
    ASSERT_GE(lines.size(), 10);
    EXPECT_EQ(lines[3], "Channel,Mean current [nA],Current std [nA]");
    for (int c = 0; c < currents; c++) {
        const QStringList row = lines[4 + c].split(',');
        ASSERT_EQ(row.size(), 3);
        EXPECT_NEAR(row[2].toDouble(), noiseOf(c), 0.05 * noiseOf(c)) << "channel " << c + 1;
    }
    EXPECT_EQ(lines[8], "Vref monitor 1,Mean value [mV],Value std [mV]");
    const QStringList monitor = lines[9].split(',');
    ASSERT_EQ(monitor.size(), 3);
    EXPECT_NEAR(monitor[1].toDouble(), monitorCode * monitorStep + monitorZero, 1e-9);
    EXPECT_NEAR(monitor[2].toDouble(), 0.0, 1e-6);
    const qsizetype histogram = lines.indexOf("Analysis:,Histogram - channel 1");
    ASSERT_GT(histogram, 0);
    double samples = 0;
    for (qsizetype i = histogram + 3; i < lines.size() && !lines[i].startsWith("Analysis:"); i++)
        samples += lines[i].split(',').value(1).toDouble();
    EXPECT_EQ(samples, 4 * std::llround(0.5 * rate));
}

} // namespace

#include "tools/analysecommand.h"

#include "analysis/compute/datafitter.h"
#include "analysis/eventdetection/eventdetectionconsumer.h"
#include "analysis/framework/csvformat.h"
#include "analysis/histogram/histogramconsumer.h"
#include "analysis/ivgraph/ivgraphconsumer.h"
#include "analysis/noisereport/noisereportconsumer.h"
#include "analysis/spectrum/spectrumconsumer.h"
#include "session/devicesession.h"
#include "tools/acquisitionsettings.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kav4cli {

namespace {

// Frames read and analysed at a time: small enough to stay in the cache between the analyses.
constexpr int64_t blockFrames = 4096;

// Blocks of rows read in the command's thread and analysed by each consumer in a thread of its
// own, so that reading and the analyses share the cores; a slot is filled again once every
// consumer has taken the block in it.
class BlockFeed {
  public:
    struct Block {
        std::vector<double> values;
        size_t rows = 0;
        bool afterGap = false;
    };

    explicit BlockFeed(const std::vector<AnalysisConsumer*>& consumers) : taken(consumers.size(), 0) {
        for (size_t i = 0; i < consumers.size(); i++)
            workers.emplace_back([this, i, consumer = consumers[i]] { work(i, *consumer); });
    }
    // Once every block published is analysed.
    ~BlockFeed() {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        changed.notify_all();
        for (std::thread& worker : workers)
            worker.join();
    }

    // The slot to fill next, once the consumers are done with what it held.
    Block& slot() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] {
            return taken.empty() || published - *std::min_element(taken.begin(), taken.end()) < depth;
        });
        return blocks[published % depth];
    }
    void publish() {
        {
            std::lock_guard lock(mutex);
            published++;
        }
        changed.notify_all();
    }

  private:
    static constexpr uint64_t depth = 4;

    void work(size_t i, AnalysisConsumer& consumer) {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return taken[i] < published || done; });
            if (taken[i] == published) return;
            const Block& block = blocks[taken[i] % depth];
            lock.unlock();
            consumer.feed(block.values.data(), block.rows, block.afterGap);
            lock.lock();
            taken[i]++;
            changed.notify_all();
        }
    }

    std::array<Block, depth> blocks;
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t published = 0;
    std::vector<uint64_t> taken; // per consumer
    bool done = false;
    std::vector<std::thread> workers;
};

// The exports are written as the dock writes them with its first choice of separator.
const QString separator = ",";

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

// The dock's first series of the I-V points, named as the dock names it.
IvSeries ivSeries(const IvGraphConsumer::Record& record) {
    IvSeries series{"Series 1", {}, {}};
    for (const QPointF& p : record.points) {
        series.x.append(p.x());
        series.y.append(p.y());
    }
    return series;
}

// The line the dock's Linear fit draws through the series, when it has points enough.
std::vector<IvFit> ivFits(const IvGraphConsumer::Record& record) {
    LinearDataFitter fitter;
    fitter.loadPoints(record.points);
    if (!fitter.enoughPoints()) return {};
    std::optional<LinearFitModel> fitted;
    QObject::connect(
        &fitter, &LinearDataFitter::fitted, &fitter, [&](const LinearFitModel& model) { fitted = model; },
        Qt::DirectConnection);
    fitter.fit();
    fitter.join();
    if (!fitted) return {};
    return {{"Series 1, lin",
             ivLinearFitParameters(*fitted, record.voltageMultiplier, record.currentMultiplier)}};
}

} // namespace

AnalyseReport analyse(const AnalyseRequest& request) {
    std::optional<NoiseReportConsumer::Result_t> noiseResult;

    QString error;
    const std::unique_ptr<DeviceSession> session =
        DeviceSession::openRecording(QString::fromStdString(request.file), error);
    if (!session) throw Failure(error.toStdString());
    FileSampleSource& source = *session->replay();
    DeviceDataProducer& producer = *session->producer();
    const DeviceDataProducer::ChannelCounts& counts = session->features().channels;
    const double rate = source.rate();
    const int64_t frames = source.recording().frames;
    const double duration = double(frames) / rate;

    const int currents = int(counts.current);
    std::vector<int> channels;
    if (request.channel) {
        if (*request.channel < 1 || *request.channel > currents)
            throw Failure("no current channel " + std::to_string(*request.channel) +
                          " in the recording; it has " + std::to_string(currents));
        channels.push_back(*request.channel - 1);
    } else {
        for (int c = 0; c < currents; c++)
            channels.push_back(c);
    }
    if ((request.spectrum || request.histogram || request.events || request.iv) && channels.empty())
        throw Failure("the recording has no current channel to analyse");
    if (request.iv && counts.voltage == 0)
        throw Failure("the recording has no voltage channel for the I-V graph");

    const int64_t first = std::llround(request.from * rate);
    const int64_t end = request.to ? std::llround(*request.to * rate) : frames;
    if (request.from > duration || (request.to && *request.to > duration))
        throw Failure("the recording lasts " + seconds(duration) + "; --from and --to must lie within it");
    if (end <= first) throw Failure("--to must come after --from");

    // Filed on the session, which deletes them. They take the recording's rows from this
    // command rather than from the producer, which does not run.
    std::vector<AnalysisConsumer*> consumers;
    NoiseReportConsumer* noise = nullptr;
    SpectrumConsumer* spectrum = nullptr;
    HistogramConsumer* histogram = nullptr;
    EventDetectionConsumer* events = nullptr;
    IvGraphConsumer* iv = nullptr;
    const auto file = [&](auto* consumer, const QString& filterKey) {
        session->add(consumer, filterKey);
        consumer->feedByCaller();
        consumers.push_back(consumer);
        return consumer;
    };
    if (request.noise) noise = file(new NoiseReportConsumer(&producer), "NoiseReport");
    if (request.histogram) histogram = file(new HistogramConsumer(&producer), "Histogram");
    if (request.events) events = file(new EventDetectionConsumer(&producer), "EventDetection");
    if (request.spectrum) spectrum = file(new SpectrumConsumer(&producer), "Spectrum");
    if (request.iv) iv = file(new IvGraphConsumer(&producer), "IVGraph");
    session->seedRanges();

    // The noise report's result travels with its signal: the last one is kept.
    if (noise) {
        QObject::connect(
            noise, &NoiseReportConsumer::result, noise,
            [&](const NoiseReportConsumer::Result_t& result) { noiseResult = result; }, Qt::DirectConnection);
        noise->onWindowChanged(request.noiseWindow);
        noise->onStartConsuming();
    }
    for (const int c : channels) {
        if (spectrum) {
            SpectrumConsumer::Options_t options{request.fftBins,
                                                {request.integrationTime, kv4cl::UnitPfxNone, "s"}};
            spectrum->onSetOptions(c, options);
            spectrum->onStartConsuming(c);
        }
        if (histogram) histogram->onStartConsuming(c);
        if (events) events->onStartConsuming(c);
        if (iv) {
            iv->onTransientIgnoreChanged(c, request.ivTransient);
            iv->onStartConsuming(c);
        }
    }

    QElapsedTimer clock;
    clock.start();
    const uint64_t rows = uint64_t(end - first);
    const std::vector<RecordingReader::Loss>& losses = source.recording().losses;
    {
        BlockFeed feed(consumers);
        for (int64_t at = first; at < end;) {
            BlockFeed::Block& block = feed.slot();
            // A block never runs across a loss: the analyses learn of it before the frames after it.
            block.afterGap = false;
            int64_t next = std::min(at + blockFrames, end);
            for (const RecordingReader::Loss& loss : losses) {
                block.afterGap = block.afterGap || loss.frame == at;
                if (loss.frame > at) next = std::min(next, loss.frame);
            }
            if (!source.readValues(at, next - at, block.values))
                throw Failure("the recording could not be read after " + seconds(double(at) / rate));
            block.rows = size_t(next - at);
            feed.publish();
            at = next;
        }
    }
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;

    const std::vector<kv4cl::RangedMeasurement_t>& ranges = source.ranges();
    const auto rangesFrom = [&](size_t at, uint32_t count) {
        return std::vector<kv4cl::RangedMeasurement_t>(ranges.begin() + ptrdiff_t(at),
                                                       ranges.begin() + ptrdiff_t(at + count));
    };
    const std::string stretch = " in the " + seconds(double(rows) / rate) + " analysed";
    QString text;
    const auto title = [&](const QString& analysis) { text += csvLine({"Analysis:", analysis}, separator); };
    if (noise) {
        if (!noiseResult)
            throw Failure("no noise report: no window of " + seconds(request.noiseWindow) + stretch);
        title(noiseReportTitle);
        text += noiseReportCsv(
            *noiseResult, counts.voltage > 0 ? ranges.front() : kv4cl::RangedMeasurement_t{},
            rangesFrom(counts.voltage, counts.current),
            rangesFrom(counts.voltage + counts.current, counts.gp), producer.gpChannelNames(), separator);
    }
    for (const int c : channels) {
        const std::string channel = "channel " + std::to_string(c + 1);
        if (histogram) {
            if (histogram->resultsPublished(c) == 0) throw Failure("no histogram of " + channel + stretch);
            title(histogramTitle(c));
            text += histogramCsv(c, histogram->channelResult(c), separator);
        }
        if (events) {
            title(eventDetectionTitle(c));
            text += eventDetectionCsv(c, events->channelResult(c), {}, separator);
        }
        if (spectrum) {
            if (spectrum->resultsPublished(c) == 0)
                throw Failure("no spectrum of " + channel + ": no whole average of " +
                              seconds(request.integrationTime) + stretch);
            title(spectrumTitle(c));
            text += spectrumCsv(c, spectrumCurve(spectrum->channelResult(c), true), separator);
        }
        if (iv) {
            const IvGraphConsumer::Record record = iv->channelResult(c);
            if (record.points.empty()) throw Failure("no I-V point of " + channel + stretch);
            title(ivGraphTitle(c));
            text += ivGraphCsv(c, record.voltageUnitLabel, record.currentUnitLabel, {ivSeries(record)},
                               ivFits(record), separator);
        }
    }
    session->stop();

    QFile out(QString::fromStdString(request.csv));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text) ||
        out.write(text.toUtf8()) < 0 || !out.flush())
        throw Failure("cannot write " + request.csv + ": " + out.errorString().toStdString());
    return {rows, double(first) / rate, double(rows) / rate, elapsed};
}

} // namespace kav4cli

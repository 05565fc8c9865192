// What a redraw of the whole plot tab costs: every channel's 8,192-point sweep copied from the
// consumer's buffers into its curve and every plot drawn, as the tab does ten times a second
// when the consumer publishes. The tab is shown at 1600 x 1000 on the offscreen platform.
// Figure, measured in the same run:
//   of_period  time of one redraw over the 100 ms publication period; target < 0.20

#include "acquisition/devicedataproducer.h"
#include "plots/gapfreeplotconsumer.h"
#include "plots/plotpreferencesdialog.h"
#include "plots/plottab.h"
#include "tests/acquisition/scriptedsource.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int points = PlotConsumer::bufferSize;
constexpr double publicationPeriod = 0.1; // s

void BM_PlotTabRedraw(benchmark::State& state) {
    const int channels = int(state.range(0));
    kv4test::ScriptedSource source(1, uint32_t(channels), 1);
    DeviceDataProducer producer(source);
    GapFreePlotConsumer consumer(&producer);
    PlotPreferencesDialog preferences(channels, 1, 1);
    PlotTab tab(&consumer, preferences, {.channelSwitch = true});
    tab.resize(1600, 1000);
    tab.show();
    QApplication::processEvents();

    // Sweeps that look like data: a stimulus square wave, currents with noise and a slow wave.
    std::vector<double> time(points);
    std::vector<std::vector<double>> values(size_t(channels) + 2, std::vector<double>(points));
    for (int i = 0; i < points; i++) {
        time[size_t(i)] = i * 1.0 / points;
        for (size_t c = 0; c < values.size(); c++)
            values[c][size_t(i)] = std::sin(i * 0.01 + double(c)) + 0.1 * std::sin(i * 1.7 * double(c + 1));
    }
    QList<double*> voltage{values[0].data()}, gp{values[1].data()}, currents;
    for (int c = 0; c < channels; c++)
        currents.append(values[size_t(c) + 2].data());
    tab.onSetGapFreePlotData(time.data(), &voltage, &currents, &gp, points);
    QApplication::processEvents();

    int replots = 0;
    for (QCustomPlot* plot : tab.findChildren<QCustomPlot*>())
        QObject::connect(plot, &QCustomPlot::afterReplot, [&] { replots++; });
    double seconds = 0.0;
    int redraws = 0;
    for (auto _ : state) {
        // The sweep moves on between publications, as it does live.
        for (std::vector<double>& channel : values)
            std::rotate(channel.begin(), channel.begin() + 97, channel.end());
        const auto start = std::chrono::steady_clock::now();
        emit consumer.plotDataUpdated();
        QApplication::processEvents(); // the queued replots
        QApplication::processEvents(); // and the paint events they ask for
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        redraws++;
    }
    std::printf("replots per redraw: %.1f\n", double(replots) / redraws);
    const double fraction = seconds / redraws / publicationPeriod;
    state.counters["of_period"] = fraction;
    std::printf("plot tab redraw, %d current channels + 1 gp + 1 voltage at %d points each: %.1f ms, "
                "%.3f of the 100 ms period (target < 0.20)\n",
                channels, points, 1000.0 * seconds / redraws, fraction);
}

} // namespace

BENCHMARK(BM_PlotTabRedraw)->Arg(16)->Arg(32)->Iterations(30)->Unit(benchmark::kMillisecond);

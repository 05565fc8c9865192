#include "window/replaywiring.h"

#include "analysis/framework/analysisdocks.h"
#include "plots/plottab.h"
#include "session/devicesession.h"
#include "window/docklayout.h"
#include "window/replaybar.h"

#include <QFileInfo>
#include <QMainWindow>

void addReplay(const DeviceSession& session, DockLayout& layout, QMainWindow* window, PlotTab* plotTab,
               AnalysisDocks* analyses) {
    FileSampleSource& replay = *session.replay();
    // It shows from its start, as a device shows at once what it acquires.
    replay.play();
    const QString fileName = QFileInfo(window->windowFilePath()).fileName();
    auto* bar = new ReplayBar(replay, fileName, window);
    bar->setToolTip(window->windowFilePath());
    layout.add(bar, Qt::BottomDockWidgetArea);
    const QString title = window->windowTitle();
    window->setWindowTitle(fileName + " - " + title);
    QObject::connect(bar, &QObject::destroyed, window, [window, title] {
        window->setWindowTitle(title);
        window->setWindowFilePath({});
    });

    // The producer's channels: voltages, currents, others, each in the file's order.
    const std::vector<RecordingReader::Channel>& channels = replay.recording().channels;
    const std::vector<size_t>& order = replay.fileChannels();
    const std::vector<kv4cl::RangedMeasurement_t>& ranges = replay.ranges();
    const DeviceDataProducer::ChannelCounts& counts = session.features().channels;
    const int voltages = int(counts.voltage), currents = int(counts.current);
    for (int v = 0; v < voltages; v++)
        plotTab->voltageSubPlot(v)->setTitle(channels[order[size_t(v)]].name);
    for (int c = 0; c < currents; c++) {
        plotTab->subPlot(c)->setTitle(channels[order[size_t(voltages + c)]].name);
        analyses->onCurrentRangeChanged(ranges[size_t(voltages + c)], c);
    }
    if (voltages > 0) analyses->onVoltageRangeChanged(ranges[0]);
    for (int g = 0; g < int(counts.gp); g++)
        analyses->onGpRangeChanged(ranges[size_t(voltages + currents + g)], g);
}

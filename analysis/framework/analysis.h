#pragma once
// An online analysis as the window offers it: where its docks go, its entry in the Analysis
// menu and its row in the filter preferences, and the makers of its workers and docks. Each
// analysis's folder defines one; analysis/analyses.cpp lists them.

#include "acquisition/devicedataproducer.h"

#include <QString>

#include <functional>
#include <type_traits>
#include <vector>

class AnalysisConsumer;
class AnalysisWidget;
class QWidget;

// In the menu the analyses come in this order of placements, each in the order of the list.
enum class AnalysisPlacement {
    // One dock for the device, docked on the right, a tab beside the other docked ones.
    Docked,
    // A floating dock per current channel, listed as "Channel N" in a submenu of the title.
    PerChannel,
    // One floating dock for the device.
    Floating,
};

struct Analysis {
    // Names the docks, whose layout is kept under "<key>Widget" (with the channel's number
    // after it for a per-channel dock).
    QString key;
    QString title; // the menu's entry, or the submenu's
    AnalysisPlacement placement = AnalysisPlacement::Docked;
    // The row of the filter preferences, and the key of the choice (filtered or raw data) that
    // its consumers follow.
    QString filterLabel;
    QString filterKey;
    // The workers, made once per connection, deleted by the caller.
    std::function<std::vector<AnalysisConsumer*>(DeviceDataProducer* producer)> makeConsumers = nullptr;
    // A dock over them, for the producer's `channels`; `currentChannelIdx` is the channel of a
    // per-channel dock.
    std::function<AnalysisWidget*(const std::vector<AnalysisConsumer*>& consumers,
                                  const DeviceDataProducer::ChannelCounts& channels, int currentChannelIdx,
                                  QWidget* parent)>
        makeDock = nullptr;
};

// The makers of an analysis of one worker and its dock (an AnalysisDock over it), for the
// analysis's folder: per-channel docks are made with the channel and the parent, the others
// with the parent.
template <class Consumer, class Dock> Analysis analysisOf(Analysis analysis) {
    analysis.makeConsumers = [](DeviceDataProducer* producer) {
        return std::vector<AnalysisConsumer*>{new Consumer(producer)};
    };
    analysis.makeDock = [](const std::vector<AnalysisConsumer*>& consumers,
                           const DeviceDataProducer::ChannelCounts& channels, int currentChannelIdx,
                           QWidget* parent) -> AnalysisWidget* {
        Dock* dock = nullptr;
        if constexpr (std::is_constructible_v<Dock, const DeviceDataProducer::ChannelCounts&, int, QWidget*>)
            dock = new Dock(channels, currentChannelIdx, parent);
        else
            dock = new Dock(channels, parent);
        dock->setConsumer(static_cast<Consumer*>(consumers.front()));
        return dock;
    };
    return analysis;
}

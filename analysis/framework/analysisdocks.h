#pragma once
// The online analyses of a connection, as the main window needs them: each analysis's
// workers on the producer and its docks in the window, reachable from the Analysis menu.
// The main window files the consumers with its others (they follow rate, range and filter
// changes there and are stopped and deleted with them) and routes ranges, record file names
// and the lab book through this object. Deleting it deletes the docks and their menu entries.

#include "analysis/framework/analysis.h"
#include "analysis/framework/analysiswidget.h"

#include "recording/labbookevent.h"

#include "commlib/types/kv4cltypes.h"

#include <QObject>
#include <QPointer>

#include <utility>
#include <vector>

class DeviceDataConsumer;
class QDockWidget;
class QMainWindow;
class QMenu;

class AnalysisDocks : public QObject {
    Q_OBJECT

  public:
    // The Analysis menu before a connection: a submenu for each per-channel analysis, which
    // the docks of a connection fill.
    static void addSubmenus(QMenu* analysisMenu, const std::vector<Analysis>& analyses);

    // The docks go to the right area of `window`, hidden until chosen in `analysisMenu`.
    AnalysisDocks(DeviceDataProducer* producer, const std::vector<Analysis>& analyses, QMainWindow* window,
                  QMenu* analysisMenu);
    ~AnalysisDocks() override;

    // Each with its analysis's filter key; the caller owns them.
    const std::vector<std::pair<DeviceDataConsumer*, QString>>& consumers() const { return made; }
    std::vector<QDockWidget*> docks() const;
    // The first dock of that kind, for what the main window wires to other docks; null when
    // no analysis made one.
    template <class Dock> Dock* dock() const {
        for (AnalysisWidget* widget : widgets)
            if (auto* found = qobject_cast<Dock*>(widget)) return found;
        return nullptr;
    }

  signals:
    // Ownership of the event passes with the signal.
    void labbookEvent(LabbookEvent* event);

  public slots:
    void onVoltageRangeChanged(kv4cl::RangedMeasurement_t range);
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void onNewRecordFile(QString name);
    void onRecording(bool on);

  private:
    void place(AnalysisWidget* widget, QMainWindow* window, bool floating);

    std::vector<std::pair<DeviceDataConsumer*, QString>> made;
    std::vector<QPointer<AnalysisWidget>> widgets;
};

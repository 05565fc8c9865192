#include "window/recordingwiring.h"

#include "analysis/framework/analysisdocks.h"
#include "controls/compensationsdockwidget.h"
#include "controls/controlsdockwidget.h"
#include "controls/protocoldockwidget.h"
#include "controls/recordsettingsdialog.h"
#include "plots/plottab.h"
#include "session/recordingservice.h"
#include "window/acquisitioninfodockwidget.h"
#include "window/labbook.h"

#include <QMessageBox>

void connectRecording(RecordingService* recorder, const RecordingViews& views) {
    recorder->setLabbook(views.labbook);
    QObject::connect(views.plotTab, &PlotTab::switchChannelOn, recorder, &RecordingService::switchChannel);
    QObject::connect(recorder, &RecordingService::recording, views.controls,
                     &ControlsDockWidget::onRecording);
    QObject::connect(recorder, &RecordingService::recording, views.info,
                     &AcquisitionInfoDockWidget::onRecording);
    // The compensation tag goes to the recording that starts, and to no other.
    if (auto* dock = views.compensations)
        QObject::connect(recorder, &RecordingService::recording, dock, [dock, recorder](bool on) {
            const auto mark = QObject::connect(dock, &CompensationsDockWidget::markTagTime, recorder,
                                               &RecordingService::markTagTime);
            const auto save = QObject::connect(dock, &CompensationsDockWidget::saveTagString, recorder,
                                               &RecordingService::saveTagString);
            dock->onRecording(on);
            QObject::disconnect(mark);
            QObject::disconnect(save);
        });
    QObject::connect(recorder, &RecordingService::failed, views.info,
                     [](const QString& text) { QMessageBox::warning(nullptr, "Warning", text); });
    QObject::connect(recorder, &RecordingService::newRecordFile, views.analyses,
                     &AnalysisDocks::onNewRecordFile);
    QObject::connect(recorder, &RecordingService::recording, views.analyses, &AnalysisDocks::onRecording);
    if (auto* dock = views.protocol) {
        recorder->setPlan(&dock->recordSettingsDialog()->plan());
        QObject::connect(dock, &ProtocolDockWidget::recordRequest, recorder, [recorder](bool start) {
            if (start)
                recorder->start();
            else
                recorder->stop();
        });
        QObject::connect(recorder, &RecordingService::newRecordFile, dock,
                         &ProtocolDockWidget::onNewRecordFile);
        QObject::connect(recorder, &RecordingService::recording, dock, &ProtocolDockWidget::onRecording);
    }
}

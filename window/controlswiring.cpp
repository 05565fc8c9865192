#include "window/controlswiring.h"

#include "analysis/framework/analysisdocks.h"
#include "controls/controlsdockwidget.h"
#include "controls/protocoldockwidget.h"
#include "controls/recordsettingsdialog.h"
#include "session/devicesession.h"
#include "session/stimulusservice.h"
#include "window/acquisitioninfodockwidget.h"

void connectControls(ControlsDockWidget* controls, DeviceSession& session, const ControlledViews& views) {
    using C = ControlsDockWidget;
    // Range and rate changes reach every consumer, each applying them in its own thread.
    QObject::connect(controls, &C::voltageRangeChanged, &session, &DeviceSession::onVoltageRangeChanged);
    QObject::connect(controls, &C::currentRangeChanged, &session, &DeviceSession::onCurrentRangeChanged);
    QObject::connect(controls, &C::gpRangeChanged, &session, &DeviceSession::onGpRangeChanged);
    QObject::connect(controls, &C::samplingRateChanged, &session, &DeviceSession::onSamplingRateChanged);
    QObject::connect(controls, &C::samplingRateChanged, views.info,
                     &AcquisitionInfoDockWidget::onSamplingRateChanged);
    QObject::connect(controls, &C::voltageRangeChanged, views.analyses,
                     &AnalysisDocks::onVoltageRangeChanged);
    QObject::connect(controls, &C::currentRangeChanged, views.analyses,
                     &AnalysisDocks::onCurrentRangeChanged);
    QObject::connect(controls, &C::gpRangeChanged, views.analyses, &AnalysisDocks::onGpRangeChanged);
    QObject::connect(controls, &C::currentRangeAuto, session.producer(),
                     &DeviceDataProducer::onEnableCurrentRangeChange);
    QObject::connect(session.producer(), &DeviceDataProducer::frontEndCurrentRangeChange, controls,
                     &C::onMoveCurrentRange, Qt::QueuedConnection);
    if (ProtocolDockWidget* protocol = views.protocol) {
        QObject::connect(controls, &C::voltageRangeChanged, session.stimulus(),
                         &StimulusService::onStimulusRangeChanged);
        QObject::connect(controls, &C::samplingRateChanged, protocol->recordSettingsDialog(),
                         &RecordSettingsDialog::onSamplingRateChanged);
    }
}

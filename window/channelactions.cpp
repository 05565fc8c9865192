#include "window/channelactions.h"

#include "controls/allchannelscontrolsdockwidget.h"
#include "plots/plotpreferencesdialog.h"
#include "plots/plottab.h"
#include "session/devicesession.h"
#include "session/offsetcompensationwatch.h"

void connectChannelActions(DeviceSession& session, PlotTab* plotTab,
                           AllChannelsControlsDockWidget* allChannelsDock,
                           const PlotPreferencesDialog* plotPreferences) {
    QObject::connect(plotPreferences, &PlotPreferencesDialog::currentColorChanged, plotTab,
                     qOverload<int, QColor>(&PlotTab::onCurrentColorChanged));
    QObject::connect(plotPreferences, &PlotPreferencesDialog::voltageColorChanged, plotTab,
                     qOverload<int, QColor>(&PlotTab::onVoltageColorChanged));
    QObject::connect(plotPreferences, &PlotPreferencesDialog::gpColorChanged, plotTab,
                     qOverload<int, QColor>(&PlotTab::onGpColorChanged));
    QObject::connect(plotPreferences, &PlotPreferencesDialog::plotColorsChanged, plotTab,
                     qOverload<QColor>(&PlotTab::onPlotColorsChanged));
    if (!allChannelsDock) return; // a recording played back: no device to act on

    // The plot tab counts every channel, the library every current channel, for "all".
    const DeviceDataProducer::ChannelCounts& channels = session.features().channels;
    const int allPlots = int(channels.current + channels.gp);
    const int allCurrents = int(channels.current);
    QObject::connect(allChannelsDock, &AllChannelsControlsDockWidget::baselineTracking, plotTab,
                     [plotTab, allPlots](bool on) { plotTab->onBaselineTracking(allPlots, on); });
    QObject::connect(allChannelsDock, &AllChannelsControlsDockWidget::switchChannelsOn, plotTab,
                     [plotTab, allPlots](bool on) { plotTab->onSwitchChannelOn(allPlots, on); });
    QObject::connect(allChannelsDock, &AllChannelsControlsDockWidget::hideSwitchedOffChannels, plotTab,
                     &PlotTab::onHideOffedChannels);
    QObject::connect(allChannelsDock, &AllChannelsControlsDockWidget::selectStimulusChannel, &session,
                     [&session, allCurrents](bool on) { session.selectStimulusChannel(allCurrents, on); });
    QObject::connect(plotTab, &PlotTab::selectStimulusChannel, &session,
                     &DeviceSession::selectStimulusChannel);
    if (OffsetCompensationWatch* watch = session.offsetCompensation()) {
        QObject::connect(allChannelsDock, &AllChannelsControlsDockWidget::digitalOffsetCompensation, watch,
                         [watch, allCurrents](bool on) { watch->order(allCurrents, on); });
        QObject::connect(plotTab, &PlotTab::digitalOffsetCompensation, watch,
                         &OffsetCompensationWatch::order);
        QObject::connect(watch, &OffsetCompensationWatch::channelCompensating, plotTab,
                         &PlotTab::showDigitalOffsetCompensation);
        QObject::connect(watch, &OffsetCompensationWatch::anyCompensating, allChannelsDock,
                         &AllChannelsControlsDockWidget::showDigitalOffsetCompensation);
    }
    QObject::connect(allChannelsDock, &AllChannelsControlsDockWidget::zap, &session,
                     [&session, allCurrents] { session.zap(allCurrents); });
    QObject::connect(plotTab, &PlotTab::zap, &session, &DeviceSession::zap);
}

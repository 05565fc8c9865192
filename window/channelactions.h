#pragma once
// The channel actions of a connection: the plot tab's per-channel buttons and the all-channels
// dock's act on the plots and, through the session, on the device (stimulus channel, zap,
// digital offset compensation, whose buttons show what the amplifier does whoever started it);
// the plot preferences colour the plots. A recording played back has no all-channels dock (null).

class AllChannelsControlsDockWidget;
class DeviceSession;
class PlotPreferencesDialog;
class PlotTab;

void connectChannelActions(DeviceSession& session, PlotTab* plotTab,
                           AllChannelsControlsDockWidget* allChannelsDock,
                           const PlotPreferencesDialog* plotPreferences);

#pragma once
// A channel's on/off switch. While membrane monitoring is enabled a switched-on channel is
// watched for rupture, and the button says so.

#include <QIcon>
#include <QPushButton>

class MembraneMonitorButton : public QPushButton {
    Q_OBJECT

  public:
    explicit MembraneMonitorButton(int channelIdx, QWidget* parent = nullptr);

    int channel() const { return channelIdx; }
    bool monitoringEnabled() const { return monitoring; }
    // Shows the state without announcing it (the switch was set elsewhere).
    void showChecked(bool on);

  signals:
    void switchChannelOn(int channelIdx, bool on);
    void monitorMembraneStateChanged(int channelIdx, bool checked, bool enabled);

  public slots:
    void onEnable(bool flag);

  private slots:
    void onToggled(bool on);

  private:
    void showState();

    const int channelIdx;
    bool monitoring = false;
    const QIcon onIcon{":/imgs/power on.png"};
    const QIcon monitoringIcon{":/imgs/data monitor.png"};
    const QIcon offIcon{":/imgs/warning icon.png"};
};

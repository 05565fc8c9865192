#pragma once
// The digital offset compensation of every current channel as the amplifier reports it, for
// the buttons that start and stop it: without autostop a channel compensates until it is
// stopped, with autostop until it has settled, and only the amplifier knows which. Orders go
// through here so that they show at once; each stands until the amplifier's report agrees,
// for a second and a half at most.

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <optional>
#include <vector>

class OffsetCompensationWatch : public QObject {
    Q_OBJECT

  public:
    // Reads the library's report of the connected devices' `channels` current channels while
    // it lives.
    OffsetCompensationWatch(int channels, QObject* parent = nullptr);

    // Starts or stops a channel's compensation; the channel count orders every channel.
    void order(int channelIdx, bool on);

  signals:
    // On every change of what is shown.
    void channelCompensating(int channelIdx, bool on);
    void anyCompensating(bool on);

  private:
    struct Order {
        bool on;
        QDeadlineTimer until;
    };
    void poll();
    void show(int channelIdx, bool on);

    QTimer timer;
    std::vector<bool> shown;
    std::vector<std::optional<Order>> orders;
    bool anyShown = false;
};

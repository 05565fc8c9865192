#pragma once
// The "Voltage offsets" dock: a voltage offset per current channel added to its stimulus,
// set as a constant ("Constant" tab) or ramped from an initial to a final value over a
// duration ("Ramp" tab), and the offsets the amplifier reports in force, read back every
// 500 ms. Built after a connection, for a model with voltage offsets.
//
// Constant offsets are judged by the library as they are typed, with the reason of a refusal
// above the rows, and sent when the edit is finished if accepted and while the protocol
// parameters are valid.

#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>
#include <QPointer>

#include <cstdint>
#include <vector>

class ProtocolDockWidget;
class QLabel;
class SteppedSpinBox;

class VoltageOffsetDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    explicit VoltageOffsetDockWidget(ProtocolDockWidget* protocolDock, QWidget* parent = nullptr);
    ~VoltageOffsetDockWidget() override;

    // Sets the channel's constant offset as if typed, and sends it unless the library rejects
    // it or the protocol parameters are invalid. False for a channel that does not exist.
    bool setOffset(uint16_t channelIdx, kv4cl::Measurement_t offset);
    // The channel's constant offset as shown.
    kv4cl::Measurement_t offset(uint16_t channelIdx) const;

  private:
    QWidget* buildConstantTab();
    QWidget* buildRampTab(const kv4cl::RangedMeasurement_t& durationRange);
    // The library's judgement of an offset for the channel, its refusal shown; true when accepted.
    bool check(uint16_t channelIdx, const kv4cl::Measurement_t& offset);
    // Judges the value the channel's box shows, which is sent only once accepted.
    void checkShown(uint16_t channelIdx);
    void send(uint16_t channelIdx);
    void refresh();

    // Torn down with the window's other docks, possibly before this one.
    QPointer<ProtocolDockWidget> protocolDock;
    kv4cl::RangedMeasurement_t range;
    std::vector<SteppedSpinBox*> manual; // per current channel
    std::vector<QLabel*> inForce;        // per current channel
    std::vector<bool> refused;           // per current channel: the box's value is refused
    QLabel* messageLabel;
};

#pragma once
// The continuous sweep display of the live plots: the plot consumer that the main window
// creates, one per connection, and hands to the plot tab.

#include "plots/plotconsumer.h"

class GapFreePlotConsumer : public PlotConsumer {
    Q_OBJECT

  public:
    explicit GapFreePlotConsumer(DeviceDataProducer* producer) : PlotConsumer(producer) {}
    // The thread calls sweepLaidOut(): it ends while this object is whole.
    ~GapFreePlotConsumer() override;

  signals:
    // The time vector, the three buffer lists and the number of valid points, each time the
    // sweep is laid out anew; the plot tab attaches them to the channel curves without copying
    // and draws from them under the display lock.
    void setPlotData(double* timeValues, QList<double*>* voltageValues, QList<double*>* currentValues,
                     QList<double*>* gpValues, int dataSize);

  protected:
    void sweepLaidOut(double* timeValues, QList<double*>* voltageValues, QList<double*>* currentValues,
                      QList<double*>* gpValues, int dataSize) override;
};

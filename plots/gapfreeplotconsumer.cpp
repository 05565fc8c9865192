#include "plots/gapfreeplotconsumer.h"

GapFreePlotConsumer::~GapFreePlotConsumer() {
    stopConsuming();
}

void GapFreePlotConsumer::sweepLaidOut(double* timeValues, QList<double*>* voltageValues,
                                       QList<double*>* currentValues, QList<double*>* gpValues,
                                       int dataSize) {
    emit setPlotData(timeValues, voltageValues, currentValues, gpValues, dataSize);
}

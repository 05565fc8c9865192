#include "window/producerreports.h"

#include "acquisition/devicedataproducer.h"
#include "window/acquisitioninfodockwidget.h"
#include "window/connectionlostdialog.h"
#include "window/labbook.h"

void connectProducerReports(const DeviceDataProducer* producer, AcquisitionInfoDockWidget* infoDock,
                            ConnectionLostDialog* lostDialog, Labbook* labbook) {
    QObject::connect(producer, &DeviceDataProducer::bitRateComputed, infoDock,
                     &AcquisitionInfoDockWidget::onBitRateComputed);
    QObject::connect(producer, &DeviceDataProducer::frontEndSaturation, infoDock,
                     &AcquisitionInfoDockWidget::onSaturation);
    QObject::connect(producer, &DeviceDataProducer::framesLost, infoDock,
                     &AcquisitionInfoDockWidget::onFramesLost, Qt::QueuedConnection);
    QObject::connect(infoDock, &AcquisitionInfoDockWidget::labbookEvent, labbook, &Labbook::onReceiveEvent);
    QObject::connect(producer, &DeviceDataProducer::connectionLost, lostDialog,
                     &ConnectionLostDialog::onConnectionLost, Qt::QueuedConnection);
    QObject::connect(producer, &DeviceDataProducer::connectionReEstablished, lostDialog,
                     &ConnectionLostDialog::onConnectionReEstablished, Qt::QueuedConnection);
    // Direct: an entry waiting in the queue would leak if the window went before its delivery.
    QObject::connect(lostDialog, &ConnectionLostDialog::labbookEvent, labbook, &Labbook::onReceiveEvent,
                     Qt::DirectConnection);
}

#pragma once
// The producer's reports, each to the view that shows it: the measured rate, a saturated front
// end and every loss to the acquisition information dock, a lost and regained connection to
// the warning; both note in the lab book.

class AcquisitionInfoDockWidget;
class ConnectionLostDialog;
class DeviceDataProducer;
class Labbook;

void connectProducerReports(const DeviceDataProducer* producer, AcquisitionInfoDockWidget* infoDock,
                            ConnectionLostDialog* lostDialog, Labbook* labbook);

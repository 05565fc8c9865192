// The program: the amplifiers attached on USB, or with "--simulate cedar,cedar" (or
// KAV4_SIMULATE) virtual ones instead.
#include "accessories/simulatedtemperaturecontroller.h"
#include "app/startup.h"
#include "commlib/transport/libftdidriver.h"
#include "simulator/simulation.h"
#include "widgets/focusedwheelfilter.h"
#include "widgets/refusedinputfilter.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QStyleFactory>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void printUsage() {
    std::printf("usage: kav4 [--simulate MODEL[,MODEL...]] [Qt options]\n"
                "\n"
                "Starts KAV4 and lists the attached amplifiers.\n"
                "\n"
                "  --simulate MODEL[,MODEL...]\n"
                "              list virtual amplifiers of these models instead of real ones\n"
                "              (known: %s); KAV4_SIMULATE=MODEL[,MODEL...] does the\n"
                "              same, the option wins; KAV4_SIMULATE_TEMPERATURE=1 lists a virtual\n"
                "              temperature controller on a serial port too\n"
                "  -h, --help  show this text\n"
                "\n"
                "Qt's own options, such as -platform offscreen, are taken too. Without a simulation\n"
                "the amplifiers attached on USB are listed (through libftdi1).\n",
                kav4sim::simulatedModelNames().c_str());
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            printUsage();
            return 0;
        }
    }
    if (const QString problem = missingDisplay(argc, argv); !problem.isEmpty()) {
        std::fprintf(stderr, "kav4: %s\n", qPrintable(problem));
        return 2;
    }
    QApplication app(argc, argv);
    registerQueuedTypes();
    QApplication::setOrganizationName("Corvane S.R.L.");
    QApplication::setOrganizationDomain("corvane.com");
    QApplication::setApplicationName("KAV4");
    installConsoleMessageHandler();
    FocusedWheelFilter wheelFilter;
    app.installEventFilter(&wheelFilter);
    RefusedInputFilter refusalFilter;
    app.installEventFilter(&refusalFilter);

    std::vector<std::string> args;
    for (const QString& arg : QApplication::arguments().mid(1))
        args.push_back(arg.toStdString());
    std::shared_ptr<kav4sim::SimulatedBus> simulation;
    if (const std::optional<std::string> models = kav4sim::takeSimulationList(args)) {
        std::string error;
        simulation = kav4sim::installSimulation(*models, error);
        if (!simulation) {
            std::fprintf(stderr, "kav4: %s\n", error.c_str());
            return 2;
        }
    } else {
        kv4CommLib::installFtdiDriver(kv4CommLib::makeLibftdiDriver());
    }

    const auto temperatureController = attachSimulatedTemperatureController();

    for (const QString& folder : createWorkingFolders())
        qWarning().noquote() << "Cannot create the folder" << folder;

    QApplication::setStyle(QStyleFactory::create("Fusion"));
    MainWindow window;
    window.showMaximized();
    return app.exec();
}

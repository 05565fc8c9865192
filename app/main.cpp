// The program: without amplifiers on the machine, "--simulate cedar,cedar,dogwood16" (or
// KAV4_SIMULATE) lists virtual ones instead.
#include "app/focusedwheelfilter.h"
#include "app/mainwindow.h"
#include "app/startup.h"
#include "simulator/simulation.h"

#include <QApplication>
#include <QStyleFactory>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    registerQueuedTypes();
    QApplication::setOrganizationName("Corvane S.R.L.");
    QApplication::setOrganizationDomain("corvane.com");
    QApplication::setApplicationName("KAV4");
    installConsoleMessageHandler();
    FocusedWheelFilter wheelFilter;
    app.installEventFilter(&wheelFilter);

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
    }

    for (const QString& folder : createWorkingFolders())
        qWarning().noquote() << "Cannot create the folder" << folder;

    QApplication::setStyle(QStyleFactory::create("Fusion"));
    MainWindow window;
    window.showMaximized();
    return app.exec();
}

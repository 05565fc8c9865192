// Pictures of the program at work, for documentation and for looking at a change without a
// desktop: starts the main window on virtual amplifiers, connects to an entry of the device
// list (or plays a recording back), lets the data flow for a while and saves what the window shows.
//
//   kav4-screenshot --simulate cedar,cedar [--device All] [--seconds 3] [--size 1400x900]
//                   [--protocol NAME --param NAME=VALUE...] [--maximize CH] [--trigger CH@LEVEL]
//                   [--analysis TITLE] [--cursors CH] [--check BOX...] out.png
// CH counts channels from 1; a trigger rises through LEVEL (in the channel's unit) a third into
// the sweep. --analysis opens the analysis dock of that title from the Analysis menu, or the entry
// of a submenu ("Spectrum/Channel 2"), docks it in the window and starts it. --cursors shows the
// measuring cursors of a channel's plot, as its "Cursors" action does. --check ticks a box of the
// plots' bar by its name ("overlay", "average", "overlap") once the trigger is set.
//   kav4-screenshot --open FILE [--seconds 3] [--size...] [--maximize...]... out.png
// opens the recording FILE as File > Open recording does, without a device, and plays it.
// KAV4_SIMULATE_TEMPERATURE=1 lists a virtual temperature controller, as for the program.

#include "accessories/simulatedtemperaturecontroller.h"
#include "app/startup.h"
#include "plots/plottab.h"
#include "session/stimulusservice.h"
#include "simulator/simulation.h"
#include "tools/acquisitionsettings.h"
#include "tools/clisupport.h"
#include "widgets/focusedwheelfilter.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cstdio>

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "kav4-screenshot: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (const QString problem = missingDisplay(argc, argv); !problem.isEmpty()) return fail(problem);
    QApplication app(argc, argv);
    registerQueuedTypes();
    QApplication::setOrganizationName("Corvane S.R.L.");
    QApplication::setApplicationName("KAV4");
    FocusedWheelFilter wheelFilter;
    app.installEventFilter(&wheelFilter);

    std::vector<std::string> args;
    for (const QString& arg : QApplication::arguments().mid(1))
        args.push_back(arg.toStdString());
    const auto opened = std::find(args.begin(), args.end(), "--open");
    QString recording;
    if (opened != args.end()) {
        if (opened + 1 == args.end()) return fail("--open wants a FILE");
        recording = QString::fromStdString(opened[1]);
        args.erase(opened, opened + 2);
    }
    const std::optional<std::string> models = kav4sim::takeSimulationList(args);
    if (!models && recording.isEmpty()) return fail("--simulate MODEL[,MODEL...] or --open FILE is needed");
    std::string error;
    const auto simulation = models ? kav4sim::installSimulation(*models, error) : nullptr;
    if (models && !simulation) return fail(QString::fromStdString(error));
    const auto temperatureController = attachSimulatedTemperatureController();

    kav4cli::AcquisitionSettings settings;
    try {
        settings = kav4cli::takeSettings(args);
    } catch (const kav4cli::Failure& failure) {
        return fail(QString::fromStdString(failure.text));
    }
    // The controls would not show a rate or range set behind their back.
    if (!settings.rate.empty() || !settings.range.empty())
        return fail("--rate and --range are not taken here");
    QString device, output, trigger, analysis, raise;
    QStringList checks;
    int maximize = 0, cursors = 0;
    double seconds = 3.0;
    QSize size(1400, 900);
    for (size_t i = 0; i < args.size(); i++) {
        const QString arg = QString::fromStdString(args[i]);
        const QString value = i + 1 < args.size() ? QString::fromStdString(args[i + 1]) : QString();
        if (arg == "--device") {
            device = value, i++;
        } else if (arg == "--seconds") {
            bool number = false;
            seconds = value.toDouble(&number), i++;
            // Zero shoots at once; the bound keeps a typing slip from waiting for ever.
            if (!number || !(seconds >= 0.0 && seconds <= kav4cli::maxSeconds))
                return fail("--seconds wants a number of seconds from 0 to 86400");
        } else if (arg == "--maximize") {
            maximize = value.toInt(), i++;
        } else if (arg == "--cursors") {
            cursors = value.toInt(), i++;
        } else if (arg == "--trigger") {
            trigger = value, i++;
        } else if (arg == "--analysis") {
            analysis = value, i++;
        } else if (arg == "--check") {
            checks << value, i++;
        } else if (arg == "--raise") {
            raise = value, i++;
        } else if (arg == "--size") {
            const QStringList parts = value.split('x');
            if (parts.size() == 2) size = QSize(parts[0].toInt(), parts[1].toInt());
            i++;
        } else {
            output = arg;
        }
    }
    if (output.isEmpty()) return fail("no output file given");
    if (!size.isValid()) return fail("--size wants WIDTHxHEIGHT");

    QApplication::setStyle(QStyleFactory::create("Fusion"));
    MainWindow window;
    window.resize(size);
    window.show();
    if (!recording.isEmpty()) {
        if (!device.isEmpty() || !settings.protocol.empty() || !settings.parameters.empty())
            return fail("a recording plays without --device and protocols");
        // Docks shown before the layout is restored would be hidden and stopped by it.
        QSignalSpy restored(&window, &MainWindow::layoutRestored);
        window.openRecording(recording);
        auto* play = window.findChild<QToolButton*>("playButton");
        if (!play || (restored.isEmpty() && !restored.wait(5000)))
            return fail("the recording was not opened");
        // It plays from the start, unless the window opened it paused.
        if (!play->isChecked()) play->click();
    } else {
        auto* combo = window.findChild<QComboBox*>("deviceComboBox");
        if (!QTest::qWaitFor([&] { return combo->count() > 0; }, 5000)) return fail("no device was listed");
        if (!device.isEmpty()) {
            if (combo->findText(device) < 0) return fail("no entry " + device + " in the device list");
            combo->setCurrentText(device);
        }
        // A failed connection shows its error box modally: report its text instead of waiting.
        QString refusal;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                refusal = box->text();
                box->reject();
            }
        });
        QSignalSpy restored(&window, &MainWindow::layoutRestored); // as for a recording
        window.findChild<QPushButton*>("connectButton")->click();
        if (!window.isConnected()) return fail("the connection failed: " + refusal);
        if (restored.isEmpty() && !restored.wait(5000)) return fail("the layout was not restored");
        // The protocol goes through the stimulus the docks show, as the user's Apply does.
        if (!settings.protocol.empty() || !settings.parameters.empty()) {
            StimulusService* stimulus = window.stimulus();
            if (!stimulus) return fail("this model has no protocols");
            const ProtocolTable& table = stimulus->table();
            if (!settings.protocol.empty()) {
                const auto named =
                    std::find_if(table.protocols.begin(), table.protocols.end(),
                                 [&](const auto& p) { return p.name.toStdString() == settings.protocol; });
                if (named == table.protocols.end())
                    return fail("no protocol " + QString::fromStdString(settings.protocol));
                stimulus->select(int(named - table.protocols.begin()));
            }
            StimulusService::Choice choice = stimulus->choice();
            for (const auto& [name, text] : settings.parameters) {
                bool found = false, number = false;
                for (int f = 0; f < ProtocolTable::FamiliesNum; f++)
                    for (size_t i = 0; i < table.parameters[f].size(); i++)
                        if (table.parameters[f][i].name.toStdString() == name) {
                            choice.values[f][i] = QString::fromStdString(text).toDouble(&number);
                            found = true;
                        }
                if (!found || !number)
                    return fail("no parameter " + QString::fromStdString(name + "=" + text));
            }
            stimulus->setChoice(choice); // the dock shows what is chosen
            if (!stimulus->apply()) return fail("the protocol was refused: " + stimulus->message());
        }
    }
    auto* tab = qobject_cast<PlotTab*>(window.centralWidget());
    const int channels = tab->currentChannels() + tab->gpChannels();
    if (maximize < 0 || maximize > channels) return fail("no channel " + QString::number(maximize));
    if (maximize > 0) tab->onMaximizeChannel(maximize - 1, true);
    if (cursors < 0 || cursors > channels) return fail("no channel " + QString::number(cursors));
    if (cursors > 0)
        for (QAction* action : tab->subPlot(cursors - 1)->findChildren<QAction*>())
            if (action->text().startsWith("Cursors")) action->setChecked(true);
    if (!analysis.isEmpty()) {
        // "Noise Report", or a submenu and its entry such as "Histogram/Channel 1"; the entry
        // follows the last slash, as a submenu title may hold one ("I/V Graph/Channel 1").
        const qsizetype cut = analysis.lastIndexOf('/');
        const QString submenu = analysis.left(cut), item = analysis.mid(cut + 1);
        QAction* entry = nullptr;
        for (const QAction* menu : window.menuBar()->actions())
            if (menu->text().remove('&') == "Analysis")
                for (QAction* action : menu->menu()->actions()) {
                    if (!action->menu() && action->text() == analysis) entry = action;
                    if (cut > 0 && action->menu() && action->text() == submenu)
                        for (QAction* channel : action->menu()->actions())
                            if (channel->text() == item) entry = channel;
                }
        if (!entry) return fail("no analysis " + analysis + " in the Analysis menu");
        entry->trigger();
        for (QDockWidget* dock : window.findChildren<QDockWidget*>())
            if (dock->toggleViewAction() == entry) {
                // A floating dock would be a window of its own, outside the picture.
                if (dock->isFloating()) dock->setFloating(false);
                for (QToolButton* button : dock->findChildren<QToolButton*>())
                    if (button->toolTip() == "Start analysis") button->click();
            }
    }
    if (!raise.isEmpty()) {
        // A dock that shares its place with others, or a floating one, by its title: "Voltage offsets".
        QDockWidget* shown = nullptr;
        for (QDockWidget* dock : window.findChildren<QDockWidget*>())
            if (dock->windowTitle() == raise) shown = dock;
        if (!shown) return fail("no dock \"" + raise + "\"");
        // A floating dock (such as "TTL") would be a window of its own, outside the picture.
        if (shown->isFloating()) shown->setFloating(false);
        shown->show();
        shown->raise();
    }
    // The sweep is laid out once the first data are in.
    QTest::qWait(1000);
    if (!trigger.isEmpty()) {
        const QStringList parts = trigger.split('@');
        const int channel = parts.value(0).toInt();
        bool levelRead = false;
        const double level = parts.value(1).toDouble(&levelRead);
        if (parts.size() != 2 || channel < 1 || channel > channels || !levelRead)
            return fail("--trigger wants CH@LEVEL");
        tab->channelPlots()[size_t(channel - 1)]->onRiseTriggerRequest(QPointF(tab->timeSpan() / 3.0, level),
                                                                       true);
    }
    for (const QString& name : checks) {
        auto* box = tab->findChild<QCheckBox*>(name);
        if (!box) return fail("no box \"" + name + "\"");
        box->setChecked(true);
    }
    QTest::qWait(int(seconds * 1000));
    if (!window.grab().save(output)) return fail("cannot write " + output);
    if (recording.isEmpty()) window.onConnect(false);
    return 0;
}

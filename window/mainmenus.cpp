#include "window/mainmenus.h"

#include "analysis/analyses.h"
#include "analysis/framework/analysisdocks.h"
#include "session/devicesession.h"
#include "session/offsetcompensationwatch.h"
#include "window/aboutdialog.h"
#include "window/supportdialog.h"

#include <QDialog>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QShortcut>

namespace {

const QString denoiserKey = "Preferences/frontEndResetDenoiser";
const QString offsetCompensationAutostopKey = "Preferences/digitalOffsetCompensationAutostop";

const char* resetUsageText = "The reset feature should be used if the device seems unresponsive.\nBefore "
                             "using the FW reset feature please "
                             "check that you are actually not\nreceiving data from the device.\nIn order to "
                             "do so please check that:\n- the "
                             "scope trigger is not active; it can be disabled by clicking the Remove\n  "
                             "triggers button in the lower left "
                             "corner of the plots window;\n- you are using a proper zoom to visualize the "
                             "traces; in order to completely "
                             "reset\n  the zoom and center it around the traces double right click on any "
                             "plot and click\n  the Full trace "
                             "zoom in the higher left corner of any plot window.";

const char* denoiserNoteText =
    "This feature aims at erasing the noise due to the reset of the capacitive front end.\n\nCapacitive "
    "front "
    "ends, such as the ones used in almost all of Corvane devices, need to be\nresetted periodically to "
    "discharge "
    "the capacitors in the front end. This discharge can affect\nthe acquired currents, giving rise to a "
    "periodic "
    "noise around 10kHz or 40kHz, depending on the\ncurrent range.\n\nThis new feature learns this noise and "
    "removes it digitally from the acquired signals in real time.\nThe algorithm is not trained to learn "
    "specifically the front end reset waveform, so it will eventually\nerase any signal component at the "
    "very "
    "same frequency.\nNotice however, that it does not act as a filter, it doesn't simply drill some holes "
    "at "
    "specific frequencies:\nfor a signal to be learnt and removed from the algorithm it has to be an almost "
    "perfectly periodic waveform,\nexactly at the reset frequency, not even a few Hz off, otherwise it will "
    "remain "
    "untouched.\n\nThe current version of the algorithm has a known issue that appears when a command is "
    "issued "
    "to the device\nwhen sampling at high sampling rates, causing a bit of sample loss: in these cases the "
    "learned "
    "noise gets\ndesynchronized and so the noise is added back for a short while (0.5-1s), until the "
    "algorithm "
    "re-learns\nthe noise waveform and removes it again.\nIn order to avoid this inconvenient it is "
    "suggested to "
    "configure the current range, sampling rate, voltage\nprotocol and so on beforehand, so that when you "
    "are "
    "recording you don't need to issue any command.";

} // namespace

MainMenus::MainMenus(QMainWindow* window) : QObject(window), window(window) {
    QMenuBar* bar = window->menuBar();
    QMenu* fileMenu = bar->addMenu("&File");
    QAction* openRecordingAction = fileMenu->addAction("Open recording…");
    openRecordingAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(openRecordingAction, &QAction::triggered, this, &MainMenus::openRecordingRequested);
    closeRecordingAction = fileMenu->addAction("Close recording");
    closeRecordingAction->setEnabled(false);
    connect(closeRecordingAction, &QAction::triggered, this, &MainMenus::closeRecordingRequested);
    viewMenu = bar->addMenu("&View");

    analysisMenu = bar->addMenu("&Analysis");
    AnalysisDocks::addSubmenus(analysisMenu, analyses());

    QMenu* advancedMenu = bar->addMenu("A&dvanced");
    resetMenu = advancedMenu->addMenu("Reset");
    resetMenu->setEnabled(false);
    connect(resetMenu->addAction("Apply"), &QAction::triggered, this, [this] { session->resetDevice(); });
    connect(resetMenu->addAction("Help"), &QAction::triggered, this,
            [window] { QMessageBox::information(window, "Reset usage", resetUsageText); });
    // Enabled while a model with digital offset compensation is connected.
    offsetCompensationAction = advancedMenu->addAction("Digital offset compensation");
    offsetCompensationAction->setEnabled(false);
    connect(offsetCompensationAction, &QAction::triggered, this, [this] {
        session->offsetCompensation()->order(int(session->features().channels.current), true);
    });
    denoiserMenu = advancedMenu->addMenu("Front end reset denoiser (BETA)");
    denoiserMenu->setEnabled(false);
    denoiserEnableAction = denoiserMenu->addAction("Enable");
    denoiserEnableAction->setCheckable(true);
    connect(denoiserEnableAction, &QAction::toggled, this,
            [this](bool on) { session->setDenoiserEnabled(on); });
    connect(denoiserMenu->addAction("Important Note"), &QAction::triggered, this, [window] {
        QMessageBox::information(window, "Front end reset denoiser: BETA version important note",
                                 denoiserNoteText);
    });
    offsetCompensationAutostopAction = advancedMenu->addAction("Digital offset compensation autostop");
    offsetCompensationAutostopAction->setCheckable(true);
    offsetCompensationAutostopAction->setEnabled(false);
    connect(offsetCompensationAutostopAction, &QAction::toggled, this,
            [this](bool on) { session->setOffsetCompensationAutostop(on); });
    synchronizeAction = advancedMenu->addAction("Synchronize devices");
    synchronizeAction->setEnabled(false);
    connect(synchronizeAction, &QAction::triggered, this, [this] { session->synchronize(); });

    QMenu* preferencesMenu = bar->addMenu("&Preferences");
    plotPreferencesAction = preferencesMenu->addAction("Plot");
    plotPreferencesAction->setEnabled(false);
    connect(plotPreferencesAction, &QAction::triggered, this, [this] { plotPreferences->show(); });
    filterPreferencesAction = preferencesMenu->addAction("Digital filters");
    filterPreferencesAction->setEnabled(false);
    connect(filterPreferencesAction, &QAction::triggered, this, [this] { filterPreferences->show(); });

    QMenu* helpMenu = bar->addMenu("&?");
    connect(helpMenu->addAction("About"), &QAction::triggered, this,
            [window] { AboutDialog(window).exec(); });
    connect(helpMenu->addAction("Device info"), &QAction::triggered, this, &MainMenus::deviceInfoRequested);
    connect(helpMenu->addAction("Support"), &QAction::triggered, this,
            [window] { SupportDialog(window).exec(); });
    // F10 opens the first menu, from where the arrows reach the others.
    connect(new QShortcut(Qt::Key_F10, window), &QShortcut::activated, this,
            [bar] { bar->setActiveAction(bar->actions().first()); });
}

void MainMenus::attach(DeviceSession* connected, QDialog* plot, QDialog* filter) {
    session = connected;
    plotPreferences = plot;
    filterPreferences = filter;
    const DeviceSession::Features& features = session->features();
    plotPreferencesAction->setEnabled(true);
    filterPreferencesAction->setEnabled(true);
    // A recording has no device to act on.
    closeRecordingAction->setEnabled(session->replay() != nullptr);
    resetMenu->setEnabled(session->replay() == nullptr);
    // A choice kept from the last session is shown and sent to the device once.
    const auto restore = [](QAction* action, const QString& key) {
        const bool enabled = QSettings().value(key, false).toBool();
        const QSignalBlocker blocker(action);
        action->setChecked(enabled);
        return enabled;
    };
    if (features.resetDenoiser) {
        denoiserMenu->setEnabled(true);
        session->setDenoiserEnabled(restore(denoiserEnableAction, denoiserKey));
    }
    offsetCompensationAction->setEnabled(features.digitalOffsetCompensation);
    if (features.offsetCompensationAutostop) {
        offsetCompensationAutostopAction->setEnabled(true);
        session->setOffsetCompensationAutostop(
            restore(offsetCompensationAutostopAction, offsetCompensationAutostopKey));
    }
    synchronizeAction->setEnabled(features.parallel);
}

void MainMenus::detach() {
    closeRecordingAction->setEnabled(false);
    plotPreferencesAction->setEnabled(false);
    filterPreferencesAction->setEnabled(false);
    if (denoiserMenu->isEnabled()) QSettings().setValue(denoiserKey, denoiserEnableAction->isChecked());
    denoiserMenu->setEnabled(false);
    if (offsetCompensationAutostopAction->isEnabled())
        QSettings().setValue(offsetCompensationAutostopKey, offsetCompensationAutostopAction->isChecked());
    offsetCompensationAutostopAction->setEnabled(false);
    offsetCompensationAction->setEnabled(false);
    synchronizeAction->setEnabled(false);
    resetMenu->setEnabled(false);
    session = nullptr;
}

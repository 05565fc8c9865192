#pragma once
// The window's menu bar: File, View, Analysis, Advanced, Preferences and "?", each opened with
// Alt and its underlined letter, the first with F10. "Close recording" is enabled while a
// recording is played back; the Advanced menu's device commands while a device set is
// connected, as far as its features allow, and the preferences with either; the
// denoiser's and the autostop's choices are kept in the settings from one connection to the
// next.

#include <QObject>
#include <QPointer>

class DeviceSession;
class QAction;
class QDialog;
class QMainWindow;
class QMenu;

class MainMenus : public QObject {
    Q_OBJECT

  public:
    explicit MainMenus(QMainWindow* window);

    QMenu* view() const { return viewMenu; }
    QMenu* analysis() const { return analysisMenu; }
    // Enables what the session's features allow and sends the session the kept choices; the
    // preferences entries show these dialogs.
    void attach(DeviceSession* session, QDialog* plotPreferences, QDialog* filterPreferences);
    // Keeps the choices and disables what needs a connection.
    void detach();

  signals:
    void openRecordingRequested();
    void closeRecordingRequested();
    void deviceInfoRequested();

  private:
    QMainWindow* const window;
    DeviceSession* session = nullptr;
    QPointer<QDialog> plotPreferences;
    QPointer<QDialog> filterPreferences;
    QAction* closeRecordingAction = nullptr;
    QMenu* viewMenu = nullptr;
    QMenu* analysisMenu = nullptr;
    QMenu* resetMenu = nullptr;
    QMenu* denoiserMenu = nullptr;
    QAction* denoiserEnableAction = nullptr;
    QAction* offsetCompensationAction = nullptr;
    QAction* offsetCompensationAutostopAction = nullptr;
    QAction* synchronizeAction = nullptr;
    QAction* plotPreferencesAction = nullptr;
    QAction* filterPreferencesAction = nullptr;
};

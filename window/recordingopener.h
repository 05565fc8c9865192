#pragma once
// How the user picks a recording to play back: the File menu's "Open recording…" (Ctrl+O) asks
// for a file, starting in the folder of the last one opened (else where recordings are made),
// and a file dropped on the window is taken as picked. While a device is connected neither opens
// anything: a box says to disconnect first, for a recording opened would end the acquisition,
// and a recording being made with it, on a stray key or drop.

#include <QObject>

class MainWindow;

class RecordingOpener : public QObject {
    Q_OBJECT

  public:
    // Takes the files dropped on the window.
    explicit RecordingOpener(MainWindow* window);

  public slots:
    // Asks for the file.
    void choose();

  signals:
    void chosen(const QString& path);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // True, with the box said, while a device is connected.
    bool refused() const;

    MainWindow* const window;
};

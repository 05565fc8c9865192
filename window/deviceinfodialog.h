#pragma once
// The "Device Info" window: the identity of the connected devices, or of the attached ones
// while none is connected, and a button that copies it as text.

#include <QDialog>
#include <QStringList>

class QGridLayout;

class DeviceInfoDialog : public QDialog {
    Q_OBJECT

  public:
    // `deviceIds` are the attached devices listed for connection (without "All"); they are
    // asked for only when not connected.
    DeviceInfoDialog(bool connected, const QStringList& deviceIds, QWidget* parent = nullptr);

    // What is shown: one "label value" line per field, a blank line between devices.
    QString text() const { return lines.join('\n'); }

  public slots:
    void onCopyToClipboard();

  private:
    void addDevice(const QString& id, unsigned version, unsigned subversion, unsigned firmware);
    void addLine(const QString& label, const QString& value = {});

    QGridLayout* grid;
    QStringList lines;
};

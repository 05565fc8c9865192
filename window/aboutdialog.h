#pragma once
// The "About KAV4" window: logo, version and the toolkit's web address.

#include <QDialog>

class AboutDialog : public QDialog {
    Q_OBJECT

  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

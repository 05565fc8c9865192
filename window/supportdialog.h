#pragma once
// The "Support" window: where to write and what to send with a bug report.

#include <QDialog>

class SupportDialog : public QDialog {
    Q_OBJECT

  public:
    explicit SupportDialog(QWidget* parent = nullptr);
};

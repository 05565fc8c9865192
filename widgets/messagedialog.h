#pragma once
// A message window with the program's logo above the text and an OK button.

#include <QDialog>

class MessageDialog : public QDialog {
    Q_OBJECT

  public:
    MessageDialog(const QString& title, const QString& message, QWidget* parent = nullptr);
};

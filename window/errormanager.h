#pragma once
// Shows a failure of the library, or of an analysis, in a modal warning box: the message
// of the error code and what the user can do about it.

#include "commlib/types/kv4cltypes.h"

#include <QMessageBox>
#include <QString>

class ErrorManager : public QMessageBox {
    Q_OBJECT

  public:
    // Shows the box for a library code at once; code 0 shows nothing.
    explicit ErrorManager(kv4cl::ErrorCodes_t code, QWidget* parent = nullptr);
    // Shows the box for texts the caller gives.
    ErrorManager(const QString& message, const QString& detail, QWidget* parent = nullptr);

    static QString message(kv4cl::ErrorCodes_t code);
    static QString detail(kv4cl::ErrorCodes_t code);
    // The box's text: the message, then a full stop, or a colon, a line break and the detail.
    // Empty for "NONE", which shows nothing.
    static QString text(const QString& message, const QString& detail);

    static const QString supportAddress;

  private:
    void showText(const QString& text);
};

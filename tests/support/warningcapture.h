#pragma once
// Warnings written to the console while it lives.

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace kv4test {

struct WarningCapture {
    static inline QStringList warnings;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            if (type == QtWarningMsg) warnings.append(text);
        });
    WarningCapture() { warnings.clear(); }
    ~WarningCapture() { qInstallMessageHandler(previous); }
    qsizetype count(const QString& part) const { return warnings.filter(part).size(); }
};

} // namespace kv4test

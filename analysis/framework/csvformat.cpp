#include "analysis/framework/csvformat.h"

QString csvHeader(const QString& name, const QString& unit) {
    return unit.isEmpty() ? name : name + " [" + unit + "]";
}

QString csvNumber(double value) {
    return QString::number(value, 'g', 12);
}

QString csvLine(const QStringList& fields, const QString& separator) {
    QStringList quoted;
    for (const QString& field : fields) {
        const bool needsQuotes =
            field.contains(separator) || field.contains('"') || field.contains('\n') || field.contains('\r');
        quoted << (needsQuotes ? "\"" + QString(field).replace("\"", "\"\"") + "\"" : field);
    }
    return quoted.join(separator) + "\n";
}

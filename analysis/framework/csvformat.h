#pragma once
// How the analyses' CSV files are written, by the docks' export and by kav4-cli alike: headers
// "name [unit]", numbers to twelve digits, fields quoted where the separator needs it.

#include <QString>
#include <QStringList>

// "name [unit]", or the name alone for a count.
QString csvHeader(const QString& name, const QString& unit);
// A number as the CSV holds it: twelve significant digits, beyond any measurement's and short
// of the last bits that a change of prefix disturbs (1.5e-9 A is 1500 pA, not 1500.0000000000002).
QString csvNumber(double value);
// One line of a CSV file, ending with a newline. A field holding the separator, a quote or a
// line end is quoted, its quotes doubled, so that any reader of CSV keeps the columns.
QString csvLine(const QStringList& fields, const QString& separator);

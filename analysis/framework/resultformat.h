#pragma once
// How results read in every analysis dock and in their CSV files (csvformat.h): a value with the
// prefix that suits it and the significant digits the data support, and results greyed once
// nothing updates them any more.

#include "analysis/framework/csvformat.h"

#include "commlib/types/kv4cltypes.h"

#include <QString>
#include <QStringList>

class QWidget;

// `value` with the prefix that puts it in [1, 1000) and `digits` significant digits, then a
// blank, the prefix symbol and the unit: 0.005411321 s gives "5.411 ms". What is no number
// gives "-".
QString resultText(const kv4cl::Measurement_t& value, int digits = 4);
// The significant digits (2 to 6) that show `value` down to `resolution`, in the same unit: a
// mean of 49.5174 pA measured in steps of 0.0061 pA reads 49.517 pA, not 49.5173781.
int supportedDigits(double value, double resolution);

// The title a fit shows under, marked when the fit gave up before it settled.
QString fitLabel(const QString& title, bool converged);

// Why a result shown is no longer what the analysis would give now.
inline const QString staleAfterStop = "Analysis stopped: the last result before Stop";
inline const QString staleAfterSettings = "Settings changed: a result of the settings before";
// A result nothing updates any more stays readable, greyed, its tooltip saying why; an empty
// `why` shows it as current again.
void markStale(QWidget* result, const QString& why);

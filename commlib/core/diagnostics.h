#pragma once
// Library diagnostics are switched on by marker files in the USERPROFILE folder.

#include <string>

namespace kv4CommLib {

enum Diagnostic {
    DiagnosticDemo,
    DiagnosticRxRaw,
    DiagnosticRx,
    DiagnosticTx,
    DiagnosticTemp,
    DiagnosticDoc
};

// Looked up once per process and index.
bool isDiagnosticEnabled(int index);
// Path of a file in the diagnostics folder.
std::string diagnosticPath(const std::string& fileName);

} // namespace kv4CommLib

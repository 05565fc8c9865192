#pragma once
// A virtual amplifier connected through the library, for the code that asks the library
// about the model (channel counts, header template, ranges), with settings cleared around
// each test and an empty folder to record in.

#include "tests/support/connectedamplifier.h"

#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <ostream>

// Readable failures for texts, file names and lists of them.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace kv4test {

class RecordingAmplifier : public ConnectedAmplifier {
  protected:
    // model as the simulator names it, e.g. "cedar" for "VCEDAR01".
    void connectTo(const char* model) {
        QSettings().clear();
        connect(model);
    }
    void TearDown() override {
        ConnectedAmplifier::TearDown();
        QSettings().clear();
    }

    // A recording path of the test's own, with its trailing slash.
    QTemporaryDir folder;
    const QString path = folder.path() + "/";
};

} // namespace kv4test

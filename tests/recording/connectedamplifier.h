#pragma once
// A virtual amplifier connected through the library, for the code that asks the library
// about the model (channel counts, header template, ranges), with settings cleared around
// each test and an empty folder to record in.

#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "simulator/simulation.h"

#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

// Readable failures for texts, file names and lists of them.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace kv4test {

class ConnectedAmplifier : public testing::Test {
  protected:
    // model as the simulator names it; serial as it lists the device.
    void connectTo(const char* model, const char* serial) {
        QSettings().clear();
        std::string error;
        bus = kav4sim::installSimulation(model, error);
        ASSERT_TRUE(bus) << error;
        ASSERT_EQ(kv4cl::connect({serial}), kv4cl::Success);
    }
    void TearDown() override {
        kv4cl::disconnect();
        kv4CommLib::installFtdiDriver(nullptr);
        QSettings().clear();
    }

    std::shared_ptr<kav4sim::SimulatedBus> bus;
    // A recording path of the test's own, with its trailing slash.
    QTemporaryDir folder;
    const QString path = folder.path() + "/";
};

} // namespace kv4test

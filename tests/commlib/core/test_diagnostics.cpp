// Diagnostic logs switched on by marker files. Markers are looked up once per process,
// so this runs in a process of its own.

#include "tests/commlib/core/testmodel.h"

#include "commlib/core/diagnostics.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kv4test {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class Diagnostics : public DispatcherTest {};

TEST_F(Diagnostics, MarkerFilesSwitchOnTheTransmitAndRawReceiveLogs) {
    for (const char* marker : {"kv4_TX.pls", "kv4_RX_RAW.pls"})
        std::ofstream(diagnosticPath(marker)) << "";
    EXPECT_TRUE(isDiagnosticEnabled(DiagnosticTx));
    EXPECT_TRUE(isDiagnosticEnabled(DiagnosticRxRaw));
    EXPECT_FALSE(isDiagnosticEnabled(DiagnosticTemp));
    EXPECT_FALSE(isDiagnosticEnabled(6));

    TestModel& m = addConnected();
    const std::vector<uint8_t> bytes = patternPackets(0, 5);
    devices[0]->feed('B', bytes);
    ASSERT_TRUE(devices[0]->waitForWrites('B', 5, 10s));
    ASSERT_TRUE(devices[0]->waitUntilDrained('B', 10s));
    m.disconnect(); // closes the logs

    // Every message: a header line, 51 bytes as "index:value " with a line break after each 16th.
    const std::string tx = slurp(diagnosticPath("kv4CommLib_tx.txt"));
    std::string first = "\n51 51 51\n";
    const uint8_t message[51] = {0x80, 0x21, 0x03, 0, 0, 0, 0x0F};
    for (int i = 0; i < 51; i++) {
        char cell[16];
        std::snprintf(cell, sizeof cell, "%03d:%02x ", i, message[i]);
        first += cell;
        if ((i + 1) % 16 == 0) first += "\n";
    }
    first += "\n";
    ASSERT_GE(tx.size(), first.size() * 5);
    EXPECT_EQ(tx.substr(0, first.size()), first);
    EXPECT_EQ(slurp(diagnosticPath("kv4CommLib_rxRaw.txt")), std::string(bytes.begin(), bytes.end()));
}

} // namespace
} // namespace kv4test

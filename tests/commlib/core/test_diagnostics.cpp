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

    // The transmit log's layout is for people to read; the raw receive log is the bytes.
    EXPECT_NE(slurp(diagnosticPath("kv4CommLib_tx.txt")).find("000:80 001:21 002:03"), std::string::npos);
    EXPECT_EQ(slurp(diagnosticPath("kv4CommLib_rxRaw.txt")), std::string(bytes.begin(), bytes.end()));
}

} // namespace
} // namespace kv4test

#include "commlib/core/diagnostics.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace kv4CommLib {

namespace {
constexpr std::array<const char*, 6> markerFiles = {"kv4_DEMO.pls", "kv4_RX_RAW.pls", "kv4_RX.pls",
                                                    "kv4_TX.pls",   "kv4_TEMP.pls",   "kv4_DOC.pls"};
} // namespace

std::string diagnosticPath(const std::string& fileName) {
    // On systems without USERPROFILE the home folder plays its part.
    const char* folder = std::getenv("USERPROFILE");
    if (!folder) folder = std::getenv("HOME");
    return (std::filesystem::path(folder ? folder : ".") / fileName).string();
}

bool isDiagnosticEnabled(int index) {
    if (index < 0 || index >= int(markerFiles.size())) return false;
    static std::array<std::once_flag, markerFiles.size()> looked;
    static std::array<bool, markerFiles.size()> enabled{};
    std::call_once(looked[index], [index] {
        std::error_code ec;
        enabled[index] = std::filesystem::is_regular_file(diagnosticPath(markerFiles[index]), ec);
    });
    return enabled[index];
}

} // namespace kv4CommLib

// Command-line access to the amplifiers the library sees, real or simulated.

#include "commlib/api/kv4cl.h"
#include "simulator/simulation.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

void printUsage(std::ostream& out) {
    out << "usage: kav4-cli [--simulate MODEL[,MODEL...]] COMMAND\n"
           "\n"
           "commands:\n"
           "  list        the attached amplifiers: id, device version, subversion, firmware version\n"
           "\n"
           "options:\n"
           "  --simulate MODEL[,MODEL...]\n"
           "              use virtual amplifiers of these models instead of real ones\n"
           "              (known: "
        << kav4sim::simulatedModelNames()
        << "); KAV4_SIMULATE=MODEL[,MODEL...] does the\n"
           "              same, the option wins\n"
           "  -h, --help  show this text\n"
           "\n"
           "Without a simulation no device is found: the USB backend for real amplifiers is\n"
           "not built in yet.\n";
}

std::string describe(kv4cl::ErrorCodes_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", unsigned(code));
    return std::string(kv4cl::errorMessage(code)) + " (" + hex + ")";
}

int list() {
    std::vector<std::string> ids;
    const kv4cl::ErrorCodes_t detection = kv4cl::detectDevices(ids);
    if (detection != kv4cl::Success) {
        std::cerr << "kav4-cli: " << describe(detection) << "\n";
        return 1;
    }
    const std::string idHeader = "Device id";
    size_t idWidth = idHeader.size();
    for (const std::string& id : ids)
        idWidth = std::max(idWidth, id.size());

    std::printf("%-*s  %7s  %10s  %8s\n", int(idWidth), idHeader.c_str(), "Version", "Subversion",
                "Firmware");
    int status = 0;
    for (const std::string& id : ids) {
        uint8_t version = 0, subversion = 0;
        uint32_t firmware = 0;
        const kv4cl::ErrorCodes_t err = kv4cl::getDeviceInfo(id, version, subversion, firmware);
        if (err != kv4cl::Success) {
            std::printf("%-*s  %s\n", int(idWidth), id.c_str(), describe(err).c_str());
            status = 1;
            continue;
        }
        std::printf("%-*s  %7u  %10u  %8u\n", int(idWidth), id.c_str(), unsigned(version),
                    unsigned(subversion), unsigned(firmware));
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::optional<std::string> simulation = kav4sim::takeSimulationSpec(args);
    if (std::find_if(args.begin(), args.end(),
                     [](const std::string& a) { return a == "-h" || a == "--help"; }) != args.end()) {
        printUsage(std::cout);
        return 0;
    }
    if (args.size() != 1 || args[0] != "list") {
        if (!args.empty())
            std::cerr << "kav4-cli: unexpected argument: " << (args[0] != "list" ? args[0] : args[1])
                      << "\n\n";
        printUsage(std::cerr);
        return 2;
    }
    if (simulation) {
        std::string error;
        if (!kav4sim::installSimulation(*simulation, error)) {
            std::cerr << "kav4-cli: " << error << "\n";
            return 2;
        }
    }
    return list();
}

#pragma once
// What the command-line tools share: library failures as exceptions with readable texts,
// options taken out of an argument list, and the acquisition settings a user can give on
// the command line (sampling rate, current range, protocol and its parameters).

#include "commlib/types/kv4cltypes.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kav4cli {

// "message (0x...)" for a library code.
std::string describe(kv4cl::ErrorCodes_t code);

// Failure of a library call or of the user's input: its text.
class Failure {
  public:
    Failure(const std::string& what, kv4cl::ErrorCodes_t code);
    explicit Failure(std::string what) : text(std::move(what)) {}
    const std::string text;
};

void check(kv4cl::ErrorCodes_t code, const std::string& what);

// Keeps a connection for the life of a command, whatever ends it.
class Connection {
  public:
    explicit Connection(const std::vector<std::string>& ids);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
};

// Takes "--name value" or "--name=value" out of args.
std::optional<std::string> takeOption(std::vector<std::string>& args, const std::string& name);

struct AcquisitionSettings {
    std::string rate, range, protocol;
    std::vector<std::pair<std::string, std::string>> parameters;
};

// Takes --rate, --range, --protocol and every --param NAME=VALUE out of args.
AcquisitionSettings takeSettings(std::vector<std::string>& args);
// Sends them to the connected devices; a protocol or a parameter given is validated and applied.
void applySettings(const AcquisitionSettings& settings);

} // namespace kav4cli

#pragma once
// Every test run gets its own HOME and USERPROFILE, so no test touches the user's real
// folders or leaves marker files behind. The folder goes with the object.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace kv4test {

class TemporaryHome {
  public:
    TemporaryHome() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kav4-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) return;
        dir = tmpl;
        setenv("HOME", dir.c_str(), 1);
        setenv("USERPROFILE", dir.c_str(), 1);
    }
    ~TemporaryHome() {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;

    // Empty when the folder could not be made.
    const std::string& path() const { return dir; }

  private:
    std::string dir;
};

} // namespace kv4test

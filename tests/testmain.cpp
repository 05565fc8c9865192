// Test entry point: every run gets its own HOME and USERPROFILE, so no test
// touches the user's real folders or leaves marker files behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string tmpl = (std::filesystem::temp_directory_path() / "kav4-test-XXXXXX").string();
    const char* dir = mkdtemp(tmpl.data());
    if (!dir) return 2;
    setenv("HOME", dir, 1);
    setenv("USERPROFILE", dir, 1);
    const int rc = RUN_ALL_TESTS();
    std::filesystem::remove_all(dir);
    return rc;
}

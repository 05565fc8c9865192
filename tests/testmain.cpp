// Test entry point: every run gets its own HOME and USERPROFILE (see temporaryhome.h).
#include "tests/support/temporaryhome.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const kv4test::TemporaryHome home;
    if (home.path().empty()) return 2;
    return RUN_ALL_TESTS();
}

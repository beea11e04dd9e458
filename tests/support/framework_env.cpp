// main() of every test binary: starts the framework once, as the program does,
// before any test runs.
#include "tests/support/framework_env.h"

#include "rulo/errlog.h"

#include <gtest/gtest.h>

namespace test_support {

rulo::init& host_api() {
    // 204 bytes that live as long as the process, like the program's own table.
    static rulo::init* api = new rulo::init(nullptr);
    return *api;
}

} // namespace test_support

namespace {

class framework_environment : public ::testing::Environment {
public:
    void SetUp() override {
        test_support::host_api();
        rulo::errlog::set_vlevel(9999);
    }
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new framework_environment);
    return RUN_ALL_TESTS();
}

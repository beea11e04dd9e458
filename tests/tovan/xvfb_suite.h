// A test suite whose tests share one Xvfb and one connection of the test's
// own to it (x_windows): made before the suite's first test, stopped after
// its last. Plus the poll that the process tests wait with.
#pragma once

#include "tests/tovan/x_windows.h"
#include "tests/tovan/xvfb_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace tovan_test {

class xvfb_suite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new xvfb_server(1023, 767);
        x = new x_windows(server->display());
    }
    static void TearDownTestSuite() {
        delete x;
        x = nullptr;
        delete server;
        server = nullptr;
    }

    static inline xvfb_server* server = nullptr;
    static inline x_windows* x = nullptr;
};

// Polls cond until it holds; false at the limit.
inline bool wait_until(std::function<bool()> const& cond,
                       std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

} // namespace tovan_test

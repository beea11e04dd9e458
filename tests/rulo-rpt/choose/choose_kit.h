// What the chooser's tests share: a home directory of their own for the
// stores, the log lines of a stretch of a test, and running a test again in a
// private network namespace for the ports it may not take on this machine.
#pragma once

#include "tests/support/private_network.h"

#include <mutex>
#include <string>
#include <vector>

namespace choose_kit {

// Points HOME and XDG_CONFIG_HOME at a fresh directory of this process and
// empties the saved additional servers. Call it before a test touches a
// store: Qt settles its directory on first use, so the one directory stays
// for the process and each call clears what an earlier test left. The
// per-key store reads HOME on every call, so each call also gives it a fresh
// home directory of its own. HTTP_PROXY is cleared for proxy detection.
// Returns the home directory.
std::string fresh_home();

// The log lines written while it lives (any thread), "prefix: text".
class log_capture {
public:
    log_capture();
    ~log_capture();
    log_capture(log_capture const&) = delete;
    log_capture& operator=(log_capture const&) = delete;

    std::vector<std::string> lines() const;
    // How many lines equal text exactly.
    int count(std::string const& text) const;
};

// For tests that bind ports 80 or 443, never on this machine's own ports
// (tests/support/private_network.h).
using test_support::in_private_network;
using test_support::netns;

} // namespace choose_kit

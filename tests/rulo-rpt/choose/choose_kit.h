// What the chooser's tests share: a home directory of their own for the
// stores, the log lines of a stretch of a test, and running a test again in a
// private network namespace for the ports it may not take on this machine.
#pragma once

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

// For tests that bind ports 80 or 443, never on this machine's own ports:
//   auto where = choose_kit::in_private_network("Suite.Name");
//   if (where == choose_kit::netns::unavailable) GTEST_SKIP() << "...";
//   if (where == choose_kit::netns::ran_there) return;
// Outside a private namespace it runs this test binary again, only that test,
// under `unshare --net`, and records a failure unless the test passed there
// (ran_there). Inside that run it brings the loopback interface up and
// answers run_body. unavailable: no namespace can be made (not root).
enum class netns { run_body, ran_there, unavailable };
netns in_private_network(std::string const& test_name);

} // namespace choose_kit

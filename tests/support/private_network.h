// Running a test in a private network namespace, for tests that bind fixed
// ports (80, 443, or a port a restarted server must take again), never on
// this machine's own ports:
//   auto where = test_support::in_private_network("Suite.Name");
//   if (where == test_support::netns::unavailable) GTEST_SKIP() << "...";
//   if (where == test_support::netns::ran_there) return;
// Outside a private namespace it runs this test binary again, only that test,
// under `unshare --net`, and records a failure unless the test passed there
// (ran_there). Inside that run it brings the loopback interface up and
// answers run_body. unavailable: no namespace can be made (not root).
#pragma once

#include <string>

namespace test_support {

enum class netns { run_body, ran_there, unavailable };
netns in_private_network(std::string const& test_name);

} // namespace test_support

// The framework's pseudo-random sequence, secret bytes and the TLS random source.
#include "rulo/init.h"
#include "rulo/random.h"
#include "tests/support/framework_env.h"
#include "tests/support/plugin_loader.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

TEST(rand, is_the_mt19937_sequence_shifted_right_by_one) {
    // std::mt19937 is the reference; 2,000 draws cross the 624-word wrap of the state three times.
    for (uint32_t seed : {5489u, 0xdeadbeefu}) {
        rulo::seed_rand(seed);
        std::mt19937 reference(seed);
        for (int i = 0; i < 2000; ++i)
            ASSERT_EQ(rulo::rand(), unsigned(reference() >> 1)) << seed << ":" << i;
    }
    rulo::seed_rand(5489);
    EXPECT_EQ(rulo::rand(), 1749605806u);
}

TEST(rand, concurrent_draws_share_one_sequence) {
    // Every draw is one whole step: together the threads take exactly the
    // first values of the sequence, none twice, none torn.
    constexpr int threads = 8, per_thread = 2000;
    rulo::seed_rand(5489);
    std::vector<unsigned> drawn(threads * per_thread);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&drawn, t] {
            for (int i = 0; i < per_thread; ++i) drawn[t * per_thread + i] = rulo::rand();
        });
    for (auto& w : workers) w.join();

    std::multiset<unsigned> expected;
    std::mt19937 reference(5489);
    for (int i = 0; i < threads * per_thread; ++i) expected.insert(unsigned(reference() >> 1));
    EXPECT_EQ(std::multiset<unsigned>(drawn.begin(), drawn.end()), expected);
}

TEST(rand, plugin_copy_draws_from_the_hosts_sequence) {
    // The copy's rand goes through its hook to the host: host and copy take turns in one sequence.
    test_support::plugin_copy plugin;
    ASSERT_EQ(plugin.start(&test_support::host_api()), "");
    rulo_api_t const* own = plugin.get<plugin_table_fn>("plugin_table")();
    ASSERT_TRUE(own && own->rand);
    rulo::seed_rand(5489);
    std::mt19937 reference(5489);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(own->rand(), unsigned(reference() >> 1));
        EXPECT_EQ(rulo::rand(), unsigned(reference() >> 1));
    }
}

TEST(random_bytes, come_from_the_system_not_the_sequence) {
    for (int n : {-5, 0, 257, 100000}) EXPECT_EQ(xstd::get_random_bytes(n).size(), size_t(n < 0 ? 0 : n));
    rulo::seed_rand(5489);
    std::string from_sequence;
    std::mt19937 reference(5489);
    for (int i = 0; i < 64; ++i) from_sequence.push_back(char((reference() >> 1) & 0xff));
    EXPECT_NE(xstd::get_random_bytes(64), from_sequence); // not the low bytes of the seeded sequence
    EXPECT_EQ(rulo::rand(), 1749605806u);                 // nor a step of it
}

// n bytes from the TLS random source; "" when it fails or writes past the end.
std::string tls_random_bytes(size_t n) {
    std::string b(n + 8, '\0');
    if (xstd::rnd_f(nullptr, reinterpret_cast<unsigned char*>(b.data()), n) != 0) return "";
    return b.substr(n) == std::string(8, '\0') ? b.substr(0, n) : "";
}

TEST(tls_random, fills_buffers_of_any_size_and_only_them) {
    for (size_t size : {0, 1, 1025, 5000}) {
        std::string const b = tls_random_bytes(size);
        ASSERT_EQ(b.size(), size);
        EXPECT_NE(b.substr(size < 16 ? 0 : size - 16), std::string(16, '\0')); // the tail is filled too
    }
}

TEST(tls_random, threads_share_one_source_safely) {
    constexpr int threads = 8, calls = 200;
    std::vector<std::string> drawn(threads * calls);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&drawn, t] {
            for (int i = 0; i < calls; ++i) drawn[t * calls + i] = tls_random_bytes(32);
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(std::set<std::string>(drawn.begin(), drawn.end()).size(),
              drawn.size()); // no failure, no repeat
}

TEST(tls_random, forked_child_does_not_repeat_the_parents_bytes) {
    xstd::init_crypto(); // seeded before the fork: the child inherits the state
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    if (child == 0) {
        std::string b = tls_random_bytes(32);
        _exit(write(fds[1], b.data(), b.size()) == ssize_t(b.size()) ? 0 : 1);
    }
    close(fds[1]);
    char buffer[64];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    close(fds[0]);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(n, 32);
    EXPECT_NE(std::string(buffer, 32), tls_random_bytes(32));
}

} // namespace

// The framework's pseudo-random sequence, secret bytes and the TLS random source.
#include "rulo/hooks.h"
#include "rulo/init.h"
#include "rulo/random.h"
#include "tests/support/framework_env.h"
#include "tests/support/plugin_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The table is packed: its fields are read by value.
template <class T>
T val(T v) {
    return v;
}

TEST(Rand, IsTheMt19937SequenceShiftedRightByOne) {
    // std::mt19937 is the reference; 2,000 draws cross the 624-word wrap of
    // the word-at-a-time state three times.
    for (uint32_t seed : {5489u, 0u, 1u, 0xdeadbeefu}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        rulo::seed_rand(seed);
        std::mt19937 reference(seed);
        for (int i = 0; i < 2000; ++i) {
            unsigned expected = unsigned(reference() >> 1);
            unsigned got = rulo::rand();
            ASSERT_EQ(got, expected) << "draw " << i;
            ASSERT_LE(got, 2147483647u);
        }
    }
    rulo::seed_rand(5489);
    EXPECT_EQ(rulo::rand(), 1749605806u);
}

TEST(Rand, ConcurrentDrawsShareOneSequence) {
    // Every draw is one whole step: together the threads take exactly the
    // first values of the sequence, none twice, none torn.
    constexpr int threads = 8, per_thread = 5000;
    rulo::seed_rand(5489);
    std::vector<std::vector<unsigned>> drawn(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&drawn, t] {
            for (int i = 0; i < per_thread; ++i) drawn[t].push_back(rulo::rand());
        });
    for (auto& w : workers) w.join();

    std::vector<unsigned> all, expected;
    for (auto const& d : drawn) all.insert(all.end(), d.begin(), d.end());
    std::mt19937 reference(5489);
    for (int i = 0; i < threads * per_thread; ++i) expected.push_back(unsigned(reference() >> 1));
    std::sort(all.begin(), all.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
}

TEST(Rand, HookReplacesTheGeneratorWithAll32Bits) {
    rulo::seed_rand(5489);
    rulo::x_rand = [] { return 0xfedcba98u; };
    EXPECT_EQ(rulo::rand(), 0xfedcba98u);
    rulo::x_rand = nullptr;
    // The own sequence was not advanced while the hook stood in.
    EXPECT_EQ(rulo::rand(), 1749605806u);
}

TEST(Rand, PluginCopyDrawsFromTheHostsSequence) {
    rulo_api_t const& host = test_support::host_api();
    EXPECT_EQ(val(host.rand), &rulo::rand);

    test_support::plugin_copy plugin;
    ASSERT_EQ(plugin.start(&test_support::host_api()), "");
    rulo_api_t const* own = plugin.get<plugin_table_fn>("plugin_table")();
    ASSERT_NE(own, nullptr);
    ASSERT_NE(val(own->rand), nullptr);

    // The copy's rand goes to the host: host and copy take turns in one sequence.
    rulo::seed_rand(5489);
    std::mt19937 reference(5489);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(own->rand(), unsigned(reference() >> 1));
        EXPECT_EQ(rulo::rand(), unsigned(reference() >> 1));
    }
}

// Reads a child's bytes: the child writes them to a pipe and exits.
template <class Draw>
std::string bytes_from_child(Draw draw) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string b = draw();
        ssize_t ignored = write(fds[1], b.data(), b.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return out;
}

TEST(RandomBytes, LengthsAndEmpty) {
    struct row {
        int n;
        size_t size;
    };
    row const table[] = {{-5, 0},    {0, 0},     {1, 1},     {16, 16},
                         {255, 255}, {256, 256}, {257, 257}, {100000, 100000}};
    for (row const& r : table) EXPECT_EQ(xstd::get_random_bytes(r.n).size(), r.size) << r.n;
}

TEST(RandomBytes, DoNotComeFromTheGuessableSequence) {
    // Secret bytes must not be the low bytes of the seeded sequence, nor move it on.
    rulo::seed_rand(5489);
    std::string bytes = xstd::get_random_bytes(64);
    std::mt19937 reference(5489);
    std::string from_sequence;
    for (int i = 0; i < 64; ++i) from_sequence.push_back(char((reference() >> 1) & 0xff));
    EXPECT_NE(bytes, from_sequence);
    EXPECT_EQ(rulo::rand(), 1749605806u);

    EXPECT_NE(xstd::get_random_bytes(32), xstd::get_random_bytes(32));
    // Two processes started together draw different secrets.
    std::string mine = xstd::get_random_bytes(32);
    std::string child = bytes_from_child([] { return xstd::get_random_bytes(32); });
    ASSERT_EQ(child.size(), 32u);
    EXPECT_NE(child, mine);
}

TEST(RandomBytes, LookUniform) {
    // Chi-square over byte values of 1 MiB: 255 degrees of freedom, mean 255,
    // standard deviation about 22.6. A bound of 400 is more than six
    // deviations: a fair source fails it practically never.
    std::string bytes = xstd::get_random_bytes(1 << 20);
    std::array<double, 256> count{};
    for (unsigned char c : bytes) ++count[c];
    double expected = double(bytes.size()) / 256, chi2 = 0;
    for (double c : count) chi2 += (c - expected) * (c - expected) / expected;
    EXPECT_LT(chi2, 400.0);
}

TEST(TlsRandom, FillsBuffersOfAnySize) {
    for (size_t size : {size_t(0), size_t(1), size_t(48), size_t(1024), size_t(1025), size_t(5000)}) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::vector<unsigned char> a(size + 8, 0), b(size + 8, 0);
        ASSERT_EQ(xstd::rnd_f(nullptr, a.data(), size), 0);
        ASSERT_EQ(xstd::rnd_f(nullptr, b.data(), size), 0);
        // Nothing written past the end.
        for (size_t i = size; i < size + 8; ++i) ASSERT_EQ(a[i], 0);
        if (size >= 16) {
            EXPECT_NE(a, b);
            // The tail of a long request is filled, not left as it was.
            EXPECT_FALSE(std::all_of(a.end() - 8 - 16, a.end() - 8, [](unsigned char c) { return c == 0; }));
        }
    }
}

TEST(TlsRandom, ThreadsShareOneSourceSafely) {
    constexpr int threads = 8, calls = 200;
    std::vector<std::vector<std::string>> drawn(threads);
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < calls; ++i) {
                unsigned char buffer[32];
                if (xstd::rnd_f(nullptr, buffer, sizeof buffer) != 0) ++failures[t];
                drawn[t].emplace_back(reinterpret_cast<char*>(buffer), sizeof buffer);
            }
        });
    for (auto& w : workers) w.join();
    std::set<std::string> distinct;
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(failures[t], 0);
        distinct.insert(drawn[t].begin(), drawn[t].end());
    }
    EXPECT_EQ(distinct.size(), size_t(threads * calls));
}

TEST(TlsRandom, ForkedChildDoesNotRepeatTheParentsBytes) {
    xstd::init_crypto(); // seeded before the fork: the child inherits the state
    auto draw = [] {
        std::string b(32, '\0');
        if (xstd::rnd_f(nullptr, reinterpret_cast<unsigned char*>(b.data()), b.size()) != 0)
            return std::string();
        return b;
    };
    std::string child = bytes_from_child(draw);
    std::string mine = draw();
    ASSERT_EQ(child.size(), 32u);
    ASSERT_EQ(mine.size(), 32u);
    EXPECT_NE(child, mine);
}

} // namespace

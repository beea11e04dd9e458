// The process-wide error log: level filter, the log file with its repeat
// counter line, the plugin callback and concurrent writers.
#include "rulo/errlog.h"
#include "rulo/xfile.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Gives every test its own log file, the stamp "T" and a captured standard
// error, and puts the process-wide log settings back afterwards.
class errlog_file : public ::testing::Test {
protected:
    void SetUp() override {
        rulo::errlog::set_log_file(file);
        rulo::errlog::set_timestamp_source([] { return std::string("T"); });
        CaptureStderr();
    }
    void TearDown() override {
        echoed();
        rulo::errlog::set_log_file("");
        rulo::errlog::set_vlevel(9999);
        rulo::errlog::set_logline_callback_all(nullptr);
        rulo::errlog::set_timestamp_source(nullptr);
    }
    std::string contents(std::string const& name = "log.txt") const {
        return rulo::file_exists(dir.file(name)) ? test_support::read_file(dir.file(name)) : "";
    }
    std::string echoed() { return std::exchange(m_capturing, false) ? GetCapturedStderr() : ""; }

    bool m_capturing = true;
    test_support::scratch_dir dir;
    std::string const file = dir.file("log.txt");
};

TEST_F(errlog_file, level_filter_and_line_shape) {
    rulo::errlog::set_vlevel(0);
    rulo::errlog log("lvl", true);
    log.log(1, "above");
    log.log(-3, "negative");
    log.log("default level");
    rulo::errlog(nullptr, false).log(0, "bare");
    rulo::errlog("", true).log(0, "empty prefix");
    rulo::fmt_dbg("MUXV").fmt_verbose("%2% of %1%", 3, std::string("two"));
    rulo::errlog(nullptr, true).log(0, "");
    rulo::errlog(nullptr, true).log(0, ""); // an empty line is never a repeat
    std::string const expected =
        "T lvl: negative\nT lvl: default level\nT bare\nT empty prefix\nT MUXV: two of 3\nT \nT \n";
    EXPECT_EQ(echoed(), expected);
    EXPECT_EQ(contents(), expected);

    EXPECT_EQ(rulo::current_timestamp().size(), 24u) << "asctime's length, as in Wed Jun 30 21:49:08 1993";
}

// A repeated line becomes one counter line, byte for byte what printf
// "%s - %10d -" makes, rewritten in place; a different line starts again.
TEST_F(errlog_file, repeated_line_collapses_into_one_counter_line) {
    rulo::errlog log("p", true);
    for (char const* t : {"a", "a", "b", "a", "a", "a", "a", "a"}) log.log(0, t);
    auto counter = [](int n) {
        return test_support::run_command("/usr/bin/printf '%s - %10d -\\n' 'T p: a' " + std::to_string(n))
            .out;
    };
    EXPECT_EQ(contents(), "T p: a\n" + counter(1) + "T p: b\nT p: a\n" + counter(4));
}

// The counter line is replaced by the length it really had, not by the
// length of the new one: a stamp that changes length must not corrupt the file.
TEST_F(errlog_file, counter_line_replaced_by_its_written_length) {
    static std::vector<std::string> const stamps = {"s1", "s2", "much-longer", "x"};
    static size_t next;
    next = 0;
    // One stamp per log call, taken twice: for the file and for the echo.
    rulo::errlog::set_timestamp_source([] { return stamps.at(next++ / 2); });
    rulo::errlog log("p", true);
    for (size_t i = 0; i < stamps.size(); ++i) log.log(0, "same");
    EXPECT_EQ(contents(), "s1 p: same\nx p: same -          3 -\n");
}

// Lines someone else added after our counter line are kept: the next repeat is
// appended instead of overwriting them; so is a file removed in between.
TEST_F(errlog_file, foreign_tail_is_not_overwritten) {
    rulo::errlog log("p", true);
    log.log(0, "x");
    log.log(0, "x");
    std::ofstream(file, std::ios::app) << "foreign\n";
    log.log(0, "x");
    EXPECT_EQ(contents(), "T p: x\nT p: x -          1 -\nforeign\nT p: x -          2 -\n");
    std::remove(file.c_str());
    log.log(0, "x");
    EXPECT_EQ(contents(), "T p: x -          3 -\n");
}

std::vector<std::string> g_callback_lines;

// A plugin copy hands each line to the host's callback and writes nothing itself.
TEST_F(errlog_file, callback_copy_writes_nothing_itself) {
    g_callback_lines.clear();
    rulo::errlog::set_logline_callback_all([](char const* line) { g_callback_lines.push_back(line); });
    rulo::errlog("plug", false).log(0, "to host");
    rulo::errlog(nullptr, true).log(0, "bare");
    rulo::errlog::set_logline_callback_all([](char const*) { throw 5; });
    EXPECT_NO_THROW(rulo::errlog("plug", true).log(0, "swallowed"));
    rulo::errlog::set_logline_callback_all(nullptr);
    EXPECT_EQ(echoed(), "");
    EXPECT_FALSE(rulo::file_exists(file));
    EXPECT_EQ(g_callback_lines, (std::vector<std::string>{"plug: to host", "bare"}));
}

// Eight threads log distinct lines, half through unlocked errlogs, while the
// file is renamed under them: every line arrives whole, once.
TEST_F(errlog_file, concurrent_writers_never_interleave) {
    constexpr int threads = 8, per_thread = 150;
    std::string const padding(120, '.');
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            rulo::errlog log("stress", t % 2 == 0);
            ++ready;
            while (ready.load() < threads) std::this_thread::yield();
            for (int i = 0; i < per_thread; ++i) log.log(0, rulo::stringify("t", t, " i", i, " ", padding));
        });
    while (ready.load() < threads) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) rulo::errlog::set_log_file(i % 2 ? file : dir.file("other.txt"));
    for (auto& w : workers) w.join();
    std::string const err = echoed();
    std::string const written = contents() + contents("other.txt");

    std::multiset<std::string> expected;
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < per_thread; ++i)
            expected.insert(rulo::stringify("stress: t", t, " i", i, " ", padding));
    for (std::string const& text : {err, written}) {
        std::multiset<std::string> seen; // of the lines after their stamp
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            seen.insert(line.substr(std::min<size_t>(2, line.size())));
        EXPECT_TRUE(seen == expected) << seen.size() << " lines";
    }
}

// The same line from many threads at once, through unlocked errlogs: one
// first copy and one counter line holding every repeat.
TEST_F(errlog_file, concurrent_repeats_keep_one_counter_line) {
    constexpr int threads = 8, per_thread = 100;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([] {
            rulo::errlog log("same", false);
            for (int i = 0; i < per_thread; ++i) log.log(0, "line");
        });
    for (auto& w : workers) w.join();
    char expected[64];
    std::snprintf(expected, sizeof expected, "T same: line\nT same: line - %10d -\n",
                  threads * per_thread - 1);
    EXPECT_EQ(contents(), expected);
}

} // namespace

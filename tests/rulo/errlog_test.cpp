// The process-wide error log: level filter, repeat counter line, plugin callback, concurrent writers.
#include "rulo/errlog.h"
#include "rulo/xfile.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <latch>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Each test's own log file, stamp "T" and captured stderr; settings restored after.
class errlog_file : public ::testing::Test {
protected:
    void SetUp() override {
        rulo::errlog::set_log_file(file);
        rulo::errlog::set_timestamp_source([] { return std::string("T"); });
        testing::internal::CaptureStderr();
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
    std::string echoed() {
        return std::exchange(capturing, false) ? testing::internal::GetCapturedStderr() : "";
    }

    bool capturing = true;
    test_support::scratch_dir dir;
    std::string const file = dir.file("log.txt");
};

TEST_F(errlog_file, level_filter_and_line_shape) {
    rulo::errlog::set_vlevel(0);
    rulo::errlog log("lvl", true);
    log.log(1, "above");
    log.log(-3, "negative");
    rulo::fmt_dbg("MUXV").fmt_verbose("%2% of %1%", 3, std::string("two"));
    for (int i = 0; i < 2; ++i) rulo::errlog(nullptr, true).log(0, ""); // an empty line is never a repeat
    EXPECT_EQ(contents(), "T lvl: negative\nT MUXV: two of 3\nT \nT \n");
    EXPECT_EQ(echoed(), contents());
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

// The rewrite replaces the counter line as long as it was written (the stamp
// changes length), and appends when the file no longer ends with it.
TEST_F(errlog_file, counter_line_rewrite_uses_what_was_written_last) {
    static std::vector<std::string> const stamps = {"s1", "s2", "much-longer", "x", "y", "y"};
    static size_t next; // one stamp per call, taken for the file and for the echo
    next = 0;
    rulo::errlog::set_timestamp_source([] { return stamps.at(next++ / 2); });
    rulo::errlog log("p", true);
    for (int i = 0; i < 4; ++i) log.log(0, "x");
    EXPECT_EQ(contents(), "s1 p: x\nx p: x -          3 -\n");
    std::ofstream(file, std::ios::app) << "foreign\n";
    log.log(0, "x");
    EXPECT_EQ(contents(), "s1 p: x\nx p: x -          3 -\nforeign\ny p: x -          4 -\n");
    std::remove(file.c_str());
    log.log(0, "x");
    EXPECT_EQ(contents(), "y p: x -          5 -\n");
}

std::vector<std::string> g_callback_lines;

// A plugin copy hands each line to the host's callback (whose exceptions it
// swallows) and writes nothing itself.
TEST_F(errlog_file, callback_copy_writes_nothing_itself) {
    g_callback_lines.clear();
    rulo::errlog::set_logline_callback_all([](char const* line) { g_callback_lines.push_back(line); });
    rulo::errlog("plug", false).log(0, "to host");
    rulo::errlog::set_logline_callback_all([](char const*) { throw 5; });
    EXPECT_NO_THROW(rulo::errlog("plug", true).log(0, "swallowed"));
    EXPECT_EQ(echoed(), "");
    EXPECT_FALSE(rulo::file_exists(file));
    EXPECT_EQ(g_callback_lines, std::vector<std::string>{"plug: to host"});
}

// Eight threads log distinct lines, half through unlocked errlogs, while the
// file is renamed under them: every line arrives whole, once.
TEST_F(errlog_file, concurrent_writers_never_interleave) {
    constexpr int threads = 8, per_thread = 150;
    std::string const padding(120, '.');
    std::latch ready(threads + 1);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            rulo::errlog log("stress", t % 2 == 0);
            ready.arrive_and_wait();
            for (int i = 0; i < per_thread; ++i) log.log(0, rulo::stringify("t", t, " i", i, " ", padding));
        });
    ready.arrive_and_wait();
    for (int i = 0; i < 200; ++i) rulo::errlog::set_log_file(i % 2 ? file : dir.file("other.txt"));
    for (auto& w : workers) w.join();
    std::multiset<std::string> expected;
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < per_thread; ++i)
            expected.insert(rulo::stringify("T stress: t", t, " i", i, " ", padding));
    for (std::string const& text : {echoed(), contents() + contents("other.txt")}) {
        std::istringstream in(text);
        std::multiset<std::string> seen;
        for (std::string line; std::getline(in, line);) seen.insert(line);
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
    EXPECT_EQ(contents(), "T same: line\nT same: line -        799 -\n"); // threads * per_thread - 1
}

} // namespace

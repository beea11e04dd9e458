// The process-wide error log: level filter, the log file with its repeat
// counter line, the plugin callback and concurrent writers.
#include "rulo/errlog.h"
#include "rulo/xfile.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> split_lines(std::string const& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

using test_support::shell_quote;

std::string run(std::string const& command) {
    return test_support::run_command(command).out;
}

// Gives every test its own log file in a fresh directory and puts the
// process-wide log settings back afterwards.
class errlog_file : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/errlog_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        file = dir + "/log.txt";
        rulo::errlog::set_log_file(file);
        ASSERT_EQ(rulo::errlog::log_file(), rulo::expand_filename(file));
    }
    void TearDown() override {
        rulo::errlog::set_log_file("");
        rulo::errlog::set_vlevel(9999);
        rulo::errlog::set_logline_callback_all(nullptr);
        rulo::errlog::set_timestamp_source(nullptr);
        std::filesystem::remove_all(dir);
    }
    std::string contents() const {
        if (!rulo::file_exists(file)) return {};
        std::string out;
        rulo::get_file(out, file);
        return out;
    }
    std::vector<std::string> lines() const { return split_lines(contents()); }

    std::string dir;
    std::string file;
};

// Sends standard error to a file for its lifetime and hands back what came.
class stderr_capture {
public:
    explicit stderr_capture(std::string path) : m_path(std::move(path)) {
        std::fflush(stderr);
        m_saved = ::dup(2);
        int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~stderr_capture() { restore(); }
    std::string finish() {
        restore();
        std::string out;
        rulo::get_file(out, m_path);
        return out;
    }

private:
    void restore() {
        if (m_saved < 0) return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }
    std::string m_path;
    int m_saved = -1;
};

TEST_F(errlog_file, level_filter) {
    rulo::errlog::set_vlevel(0);
    rulo::errlog log("lvl", true);
    log.log(1, "above");
    log.log(0, "zero");
    log.log(-3, "negative");
    log.log("default");
    auto got = lines();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(got[0].find("lvl: zero"), std::string::npos);
    EXPECT_NE(got[1].find("lvl: negative"), std::string::npos);
    EXPECT_NE(got[2].find("lvl: default"), std::string::npos);
    EXPECT_EQ(contents().find("above"), std::string::npos);
}

TEST_F(errlog_file, line_shape_and_echo) {
    rulo::errlog::set_timestamp_source([] { return std::string("STAMP"); });
    stderr_capture err(dir + "/stderr.txt");
    rulo::errlog("pfx", true).log(0, "hello");
    rulo::errlog(nullptr, false).log(0, "bare");
    rulo::errlog("", true).log(0, "empty prefix");
    EXPECT_EQ(err.finish(), "STAMP pfx: hello\nSTAMP bare\nSTAMP empty prefix\n");
    EXPECT_EQ(contents(), "STAMP pfx: hello\nSTAMP bare\nSTAMP empty prefix\n");
}

TEST_F(errlog_file, real_timestamp) {
    std::string stamp = rulo::current_timestamp();
    EXPECT_EQ(stamp.size(), 24u) << stamp; // "Wed Jun 30 21:49:08 1993"
    rulo::errlog("ts", true).log(0, "x");
    auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), 24u + std::string(" ts: x").size());
}

// The counter line must be byte for byte what printf "%s - %10d -" makes.
TEST_F(errlog_file, repeated_line_collapses_into_one_counter_line) {
    rulo::errlog log("test", true);
    for (int i = 0; i < 5; ++i) log.log(0, "repeat me");
    auto got = lines();
    ASSERT_EQ(got.size(), 2u) << contents();
    std::string const suffix = " test: repeat me";
    ASSERT_GE(got[0].size(), suffix.size());
    EXPECT_EQ(got[0].substr(got[0].size() - suffix.size()), suffix);
    size_t dash = got[1].find(" - ");
    ASSERT_NE(dash, std::string::npos);
    std::string stamped = got[1].substr(0, dash);
    EXPECT_EQ(stamped.substr(stamped.size() - suffix.size()), suffix);
    std::string expected = run("/usr/bin/printf '%s - %10d -\\n' " + shell_quote(stamped) + " 4");
    EXPECT_EQ(got[1] + "\n", expected);
    EXPECT_EQ(got[1].substr(got[1].size() - 3), "4 -");
}

TEST_F(errlog_file, repeat_detector_sequences) {
    rulo::errlog::set_timestamp_source([] { return std::string("T"); });
    struct row {
        std::vector<char const*> texts;
        std::vector<std::string> expected;
    };
    std::vector<row> const rows = {
        {{"a", "a"}, {"T p: a", "T p: a -          1 -"}},
        {{"a", "a", "a"}, {"T p: a", "T p: a -          2 -"}},
        {{"a", "a", "b", "a", "a"},
         {"T p: a", "T p: a -          1 -", "T p: b", "T p: a", "T p: a -          1 -"}},
        {{"a", "b", "a"}, {"T p: a", "T p: b", "T p: a"}},
    };
    for (auto const& r : rows) {
        rulo::errlog::set_log_file(dir + "/seq.txt");
        std::filesystem::remove(dir + "/seq.txt");
        rulo::errlog log("p", true);
        for (auto t : r.texts) log.log(0, t);
        std::string out;
        rulo::get_file(out, dir + "/seq.txt");
        EXPECT_EQ(split_lines(out), r.expected) << out;
        rulo::errlog::set_log_file(file); // a new name restarts the detector
    }
}

TEST_F(errlog_file, empty_line_is_never_a_repeat) {
    rulo::errlog::set_timestamp_source([] { return std::string("T"); });
    rulo::errlog log(nullptr, true);
    for (int i = 0; i < 3; ++i) log.log(0, "");
    EXPECT_EQ(contents(), "T \nT \nT \n");
}

// The counter line is replaced by the length it really had, not by the
// length of the new one: a stamp that changes length must not corrupt the file.
TEST_F(errlog_file, counter_line_replaced_by_its_written_length) {
    static std::vector<std::string> stamps;
    static size_t next = 0;
    rulo::errlog::set_timestamp_source([] { return stamps[std::min(next++, stamps.size() - 1)]; });
    struct row {
        std::vector<std::string> stamps; // one per log call (each call also stamps the echo)
        std::string expected;
    };
    std::vector<row> const rows = {
        {{"s1", "s1", "s2", "s2", "much-longer", "much-longer", "x", "x"},
         "s1 p: same\nx p: same -          3 -\n"},
        {{"long-stamp", "long-stamp", "long-stamp", "long-stamp", "s", "s"},
         "long-stamp p: same\ns p: same -          2 -\n"},
        {{"a", "a", "bb", "bb", "ccc", "ccc", "dddd", "dddd", "N", "N"},
         "a p: same\nN p: same -          4 -\n"},
    };
    for (auto const& r : rows) {
        std::filesystem::remove(file);
        rulo::errlog::set_log_file(dir + "/other.txt");
        rulo::errlog::set_log_file(file);
        stamps = r.stamps;
        next = 0;
        stderr_capture quiet(dir + "/stderr.txt");
        rulo::errlog log("p", true);
        for (size_t i = 0; i < r.stamps.size() / 2; ++i) log.log(0, "same");
        EXPECT_EQ(contents(), r.expected);
    }
}

// Lines that someone else added after our counter line are kept: the next
// repeat is appended instead of overwriting them.
TEST_F(errlog_file, foreign_tail_is_not_overwritten) {
    rulo::errlog::set_timestamp_source([] { return std::string("T"); });
    rulo::errlog log("p", true);
    log.log(0, "x");
    log.log(0, "x");
    {
        rulo::xfile f(file, rulo::xfile::append_create, true);
        f.writeline("foreign");
    }
    log.log(0, "x");
    EXPECT_EQ(contents(), "T p: x\nT p: x -          1 -\nforeign\nT p: x -          2 -\n");
    // A file removed between lines starts again with the current counter line.
    std::filesystem::remove(file);
    log.log(0, "x");
    EXPECT_EQ(contents(), "T p: x -          3 -\n");
}

TEST_F(errlog_file, unusable_names) {
    rulo::errlog::set_log_file(dir + "/missing-dir/log.txt");
    rulo::errlog("p", true).log(0, "nowhere"); // cannot be opened: dropped silently
    EXPECT_FALSE(rulo::file_exists(dir + "/missing-dir"));
    rulo::errlog::set_log_file("");
    EXPECT_EQ(rulo::errlog::log_file(), "");
}

std::vector<std::string>* g_callback_lines = nullptr;
void collect_line(char const* line) {
    g_callback_lines->push_back(line);
}
void throwing_callback(char const*) {
    throw 5;
}

TEST_F(errlog_file, callback_copy_writes_nothing_itself) {
    std::vector<std::string> got;
    g_callback_lines = &got;
    rulo::errlog::set_logline_callback_all(&collect_line);
    stderr_capture err(dir + "/stderr.txt");
    rulo::errlog("plug", false).log(0, "to host");
    rulo::errlog(nullptr, true).log(0, "bare");
    rulo::errlog::set_logline_callback_all(&throwing_callback);
    EXPECT_NO_THROW(rulo::errlog("plug", true).log(0, "swallowed"));
    rulo::errlog::set_logline_callback_all(nullptr);
    EXPECT_EQ(err.finish(), "");
    EXPECT_FALSE(rulo::file_exists(file));
    EXPECT_EQ(got, (std::vector<std::string>{"plug: to host", "bare"}));
    g_callback_lines = nullptr;
}

TEST_F(errlog_file, fmt_dbg_logs_the_formatted_line) {
    rulo::errlog::set_timestamp_source([] { return std::string("T"); });
    rulo::fmt_dbg dbg("MUXV");
    dbg.fmt_verbose("plain");
    dbg.fmt_verbose("%2% of %1%", 3, std::string("two"));
    dbg.fmt_verbose("%1%%2%%3%%4%", 'a', "b", true, 7ULL);
    EXPECT_EQ(contents(), "T MUXV: plain\nT MUXV: two of 3\nT MUXV: ab17\n");
}

// Eight threads log distinct lines, half through unlocked errlogs: every line
// arrives whole, once, and the repeat detector is never raced.
TEST_F(errlog_file, concurrent_writers_never_interleave) {
    constexpr int threads = 8;
    constexpr int per_thread = 150;
    std::string const padding(120, '.');
    stderr_capture quiet(dir + "/stderr.txt");
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            rulo::errlog log("stress", t % 2 == 0);
            ++ready;
            while (ready.load() < threads) std::this_thread::yield();
            for (int i = 0; i < per_thread; ++i) log.log(0, rulo::stringify("t", t, " i", i, " ", padding));
        });
    }
    for (auto& w : workers) w.join();
    std::string echoed = quiet.finish();

    std::set<std::string> expected;
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < per_thread; ++i)
            expected.insert(rulo::stringify("stress: t", t, " i", i, " ", padding));
    std::string const* const sources[] = {&echoed, nullptr}; // standard error, then the file
    for (auto const* text : sources) {
        auto got = text ? split_lines(*text) : lines();
        ASSERT_EQ(got.size(), expected.size());
        std::set<std::string> seen;
        for (auto const& line : got) {
            ASSERT_GT(line.size(), 25u);
            std::string body = line.substr(25); // after the 24-character stamp and a blank
            EXPECT_TRUE(expected.count(body)) << line;
            seen.insert(body);
        }
        EXPECT_EQ(seen.size(), expected.size());
    }
}

// The same line from many threads at once, through unlocked errlogs: one
// first copy and one counter line holding every repeat.
TEST_F(errlog_file, concurrent_repeats_keep_one_counter_line) {
    constexpr int threads = 8;
    constexpr int per_thread = 100;
    rulo::errlog::set_timestamp_source([] { return std::string("T"); });
    stderr_capture quiet(dir + "/stderr.txt");
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

// Renaming the log file while others write never frees the name under them.
TEST_F(errlog_file, log_file_renamed_under_writers) {
    stderr_capture quiet(dir + "/stderr.txt");
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&stop, t] {
            rulo::errlog log("rename", t % 2 == 0);
            for (int i = 0; !stop.load() && i < 2000; ++i) log.log(0, rulo::stringify("w", t, " ", i));
        });
    for (int i = 0; i < 200; ++i) rulo::errlog::set_log_file(dir + (i % 2 ? "/a.txt" : "/b.txt"));
    stop = true;
    for (auto& w : workers) w.join();
    rulo::errlog::set_log_file(file);
    EXPECT_TRUE(rulo::file_exists(dir + "/a.txt") || rulo::file_exists(dir + "/b.txt"));
}

} // namespace

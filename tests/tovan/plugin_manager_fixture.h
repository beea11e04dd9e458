// What the download manager tests share: the dialog as the manager sees it
// (posted jobs run when the test pumps them, on the test's thread, which
// plays the GUI thread) and catalogue entries of freshly signed packages.
#pragma once

#include "tests/tovan/package_fixture.h"
#include "tovan/plugins/plugin_manager.h"

#include "rulo/kv_container.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>

namespace tovan_test {

using tovan::plugin_def;
using tovan::plugin_manager;
using tovan::plugin_manager_host;
using tovan::plugin_record;

// The dialog as the manager sees it; posted jobs run when the test pumps.
struct fake_host : plugin_manager_host {
    std::vector<plugin_def> defs;
    bool client = true, network = true;
    std::vector<std::pair<std::int64_t, std::int64_t>> statuses;
    std::vector<std::string> commands, boxes, disabled;
    std::map<int, std::pair<int, int>> bars;
    std::vector<bool> shown;

    std::vector<plugin_def>& plugin_defs() override { return defs; }
    bool is_client() const override { return client; }
    bool has_network() override { return network; }
    bool is_loaded(std::string const&) override { return false; }
    void send_download_status(std::int64_t total, std::int64_t done) override {
        statuses.emplace_back(total, done);
    }
    void handle_command(std::string const& text) override { commands.push_back(text); }
    void enable_plugin_button(std::string const& name, bool) override { disabled.push_back(name); }
    void log(std::string const& text) override {
        std::lock_guard<std::mutex> l(m);
        logs.push_back(text);
    }
    void message_box(std::string const& text, std::string const& caption) override {
        EXPECT_EQ(caption, "Error");
        boxes.push_back(text);
    }
    void post(std::function<void()> job) override {
        std::lock_guard<std::mutex> l(m);
        jobs.push_back(std::move(job));
        cv.notify_all();
    }
    void translations_start(plugin_def const&) override {}
    void translations_finish(plugin_def&) override {}
    void show_window(bool show) override { shown.push_back(show); }
    void set_bar(int id, int range, int value) override { bars[id] = {range, value}; }
    void remove_bar(int id) override { bars.erase(id); }

    // Runs posted jobs on this (the "GUI") thread until done() holds; false after 30 s.
    template <class P>
    bool pump_until(P done) {
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            std::unique_lock<std::mutex> l(m);
            if (!cv.wait_until(l, deadline, [&] { return !jobs.empty(); })) return false;
            auto job = std::move(jobs.front());
            jobs.pop_front();
            l.unlock();
            job();
        }
        return true;
    }
    // Runs what is posted until the manager is idle and nothing more comes.
    void settle(plugin_manager& manager) {
        ASSERT_TRUE(pump_until([&] {
            std::lock_guard<std::mutex> l(m);
            return jobs.empty() && manager.running_checkers() == 0;
        }));
    }
    plugin_def& def(std::string const& full_name) {
        for (auto& d : defs)
            if (d.get_full_name() == full_name) return d;
        throw std::runtime_error("no definition " + full_name);
    }
    bool wait_state(std::string const& full_name, int state) {
        return pump_until([&] { return def(full_name).state == state; });
    }
    bool logged(std::string const& text) {
        std::lock_guard<std::mutex> l(m);
        return std::find(logs.begin(), logs.end(), text) != logs.end();
    }

    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> jobs;
    std::vector<std::string> logs;
};

// 4000 bytes that do not compress, so packages are larger than the pieces the tests cut.
inline std::string noise(std::string const& seed) {
    std::string out;
    std::uint32_t x = 2166136261u;
    for (char c : seed) x = (x ^ std::uint8_t(c)) * 16777619u;
    for (int i = 0; i < 4000; ++i) {
        x = x * 1103515245u + 12345u;
        out += char(x >> 16);
    }
    return out;
}

// A signed package of plugin name/version (its bytes in pkg) and its catalogue
// record, in state 1 (wanted).
inline plugin_def catalogue_entry(package_env& env, std::string const& name, std::string const& version,
                                  std::string const& ticket, std::string& pkg) {
    pkg = env.pack("--dir " + name + version + " --file lib" + name +
                   ".so=" + env.source("lib", noise(name)) + " --head name=" + name +
                   " --head version=" + version + " --head platform=linux64 --sign " + key);
    plugin_record record;
    std::string payload;
    rulo::kv_load_content(pkg, record, &payload);
    record["download_ticket"] = ticket;
    record["size"] = std::to_string(pkg.size());
    plugin_def def(record);
    def.state = 1;
    return def;
}

} // namespace tovan_test

// Start-up, the API table and what a plugin's framework copy borrows from its host.
#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/init.h"
#include "rulo/lock.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "tests/support/framework_env.h"
#include "tests/support/plugin_loader.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using test_support::host_api;
using test_support::plugin_copy;

template <class T> // the table is packed: its fields are read by value, never bound to references
T val(T v) {
    return v;
}

// The record crosses the plugin boundary: its layout is fixed.
TEST(ApiTable, IsAPackedRecordWithFixedOffsets) {
    std::pair<size_t, size_t> const fields[] = {
        {offsetof(rulo_api_t, rulo_lock), 4},
        {offsetof(rulo_api_t, log_line), 20},
        {offsetof(rulo_api_t, drop_dead), 92},
        {offsetof(rulo_api_t, deprecated_find_iso639), 124},
        {offsetof(rulo_api_t, final_crash_function), 156},
        {offsetof(rulo_api_t, schedule_task_executor2), 180},
        {offsetof(rulo_api_t, time_t_2_tztime), 196},
    };
    for (auto [offset, expected] : fields) EXPECT_EQ(offset, expected);
    EXPECT_EQ(sizeof(rulo::init), 204u);

    rulo_api_t const& api = host_api(); // the host fills its own entries and borrows nothing
    EXPECT_EQ(val(api.version), 9);
    EXPECT_EQ(val(api.relative_time), &rulo::relative_time);
    EXPECT_EQ(val(api.tztime_2_time_t), rulo::x_tztime_2_time_t);
    EXPECT_EQ(rulo::x_relative_time, nullptr);
    EXPECT_EQ(rulo::x_schedule_task, nullptr);
}

// The upper layers register their steps from static initialisers, before the
// test main starts the framework; start-up must run them in the fixed order
// (not the order of registration), each once, and before it returns.
std::vector<int> g_step_runs;
bool const g_registered = [] {
    using rulo::start_step;
    for (start_step s : {start_step::conn, start_step::ssl, start_step::rpt_module, start_step::make_socket,
                         start_step::socket, start_step::util_sock}) {
        static std::vector<void (*)()> const fns = {
            [] { g_step_runs.push_back(0); }, [] { g_step_runs.push_back(1); },
            [] { g_step_runs.push_back(2); }, [] { g_step_runs.push_back(3); },
            [] { g_step_runs.push_back(4); }, [] { g_step_runs.push_back(5); }};
        rulo::register_start_step(s, fns[int(s)]);
    }
    return true;
}();

TEST(Startup, RunsTheUpperLayersStepsInTheirPlaces) {
    ASSERT_TRUE(g_registered);
    EXPECT_EQ(g_step_runs, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    // A layer that arrives after start-up has its step run at once.
    rulo::register_start_step(rulo::start_step::ssl, [] { g_step_runs.push_back(9); });
    EXPECT_EQ(g_step_runs.back(), 9);
    rulo::register_start_step(rulo::start_step::ssl, nullptr);
}

TEST(Startup, SecondStartThrowsAndChangesNothing) {
    alignas(8) unsigned char block[sizeof(rulo_api_t)];
    EXPECT_EQ(test_support::thrown([&] { new (block) rulo::init(nullptr); }), "rulo-rpt already initialized");
    EXPECT_EQ(val(host_api().version), 9);

    plugin_copy plugin; // so does a second start of one plugin copy
    ASSERT_EQ(plugin.start(&host_api()), "");
    EXPECT_EQ(plugin.start(&host_api()), "rulo-rpt already initialized");
}

// Which host entries a plugin copy takes, by the parent's version.
TEST(PluginCopy, TakesEntriesByParentVersion) {
    rulo_api_t const& host = host_api();
    struct {
        int32_t version;
        bool base, debug_dump, executor, task2, tz;
    } const table[] = {
        {0, true, false, false, false, false},
        {9, true, true, true, true, true},
        {-1, false, false, false, false, false},
    };
    for (auto const& r : table) {
        SCOPED_TRACE("parent version " + std::to_string(r.version));
        rulo_api_t parent = host;
        parent.version = r.version;
        plugin_copy plugin;
        ASSERT_EQ(plugin.start(&parent), "");
        plugin_hook_view h = plugin.hooks();
        auto same = [](void* hook, auto entry) { return hook == reinterpret_cast<void*>(entry); };

        EXPECT_EQ(same(h.rulo_lock, val(host.rulo_lock)), r.base);
        EXPECT_EQ(same(h.schedule_task, val(host.schedule_task)), r.base);
        EXPECT_EQ(h.thread_startup_error == val(host.thread_startup_error), r.base);
        EXPECT_EQ(same(h.enable_debug_dump, val(host.enable_debug_dump)), r.debug_dump);
        EXPECT_EQ(same(h.schedule_task_executor, val(host.schedule_task_executor)), r.executor);
        EXPECT_EQ(same(h.schedule_task2, val(host.schedule_task2)), r.task2);
        EXPECT_EQ(same(h.tztime_2_time_t, val(host.tztime_2_time_t)), r.tz);
        // The copy never borrows the absolute clock; its table says 9 whatever the
        // parent said, and hands on the lock in force.
        rulo_api_t const* own = plugin.get<plugin_table_fn>("plugin_table")();
        EXPECT_NE(val(own->absolute_time), val(host.absolute_time));
        EXPECT_EQ(val(own->version), 9);
        EXPECT_TRUE(same(h.rulo_lock, val(own->rulo_lock)));
    }
}

TEST(PluginCopy, HalfALockPairIsNotTaken) {
    rulo_api_t parent = host_api();
    parent.rulo_unlock = nullptr;
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&parent), "");
    plugin_hook_view h = plugin.hooks();
    ASSERT_TRUE(h.rulo_lock && h.rulo_unlock);
    EXPECT_NE(h.rulo_lock, reinterpret_cast<void*>(val(host_api().rulo_lock)));
    plugin.get<plugin_lock_fn>("plugin_lock")(); // the copy's own lock works
    plugin.get<plugin_lock_fn>("plugin_unlock")();
}

struct task_probe {
    rulo::semaphore ran{1, 0}, deleted{1, 0};
};

// A copy started from the host's table uses the host's clock, recursive lock,
// scheduler (and its one id counter) and log file.
TEST(PluginCopy, UsesTheHostsClockLockSchedulerAndLog) {
    test_support::scratch_dir dir;
    std::string const previous = rulo::errlog::log_file();
    rulo::errlog::set_log_file(dir.file("log.txt"));
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&host_api()), "");
    plugin.get<plugin_log_fn>("plugin_log")("plugin", "hello from the copy");
    rulo::errlog::set_log_file(previous);
    EXPECT_NE(test_support::read_file(dir.file("log.txt")).find(" plugin: hello from the copy\n"),
              std::string::npos);

    int64_t before = rulo::relative_time(),
            inside = plugin.get<plugin_relative_time_fn>("plugin_relative_time")();
    EXPECT_LE(before, inside);
    EXPECT_LE(inside, rulo::relative_time());
    {
        rulo::rulo_lock_guard outer; // held here, taken again through the copy on this thread
        plugin.get<plugin_lock_fn>("plugin_lock")();
        plugin.get<plugin_lock_fn>("plugin_unlock")();
    }

    task_probe probe;
    auto run = [](void* p) { static_cast<task_probe*>(p)->ran.post(); };
    auto del = [](void* p) { static_cast<task_probe*>(p)->deleted.post(); };
    int64_t host_id = 0;
    rulo::schedule_task(&host_id, 100000, rulo::schedule_every, false, rulo::runnable{run, del, &probe});
    int64_t plugin_id = plugin.get<plugin_schedule_fn>("plugin_schedule")(1, run, del, &probe);
    EXPECT_GT(plugin_id, host_id);
    rulo::cancel_task(host_id);
    ASSERT_TRUE(probe.deleted.wait_ms(10000));
    ASSERT_TRUE(probe.ran.wait_ms(10000));
    ASSERT_TRUE(probe.ran.wait_ms(10000));
    plugin.get<plugin_cancel_fn>("plugin_cancel")(plugin_id);
    ASSERT_TRUE(probe.deleted.wait_ms(10000));
    EXPECT_FALSE(probe.deleted.wait_ms(0));
}

// A wake-up given while the framework lock is held waits for the outermost
// release on that thread; given without the lock it runs at once. One
// release runs what it found in order, past a function that throws, and
// what such a function gives runs at once (the lock is no longer held).
TEST(FrameworkLock, AfterUnlockRunsAtTheOutermostRelease) {
    std::vector<std::string> order;
    rulo::semaphore woken(1, 0);
    rulo::after_framework_unlock([&] { order.push_back("unheld"); });
    EXPECT_EQ(order, std::vector<std::string>{"unheld"});
    order.clear();
    {
        rulo::rulo_lock_guard outer;
        {
            rulo::rulo_lock_guard inner;
            rulo::after_framework_unlock([&] { woken.post(); });
            rulo::after_framework_unlock([&] {
                order.push_back("throws");
                throw std::runtime_error("swallowed");
            });
        }
        EXPECT_FALSE(woken.wait_ms(0)) << "the inner release woke the waiter";
        rulo::after_framework_unlock([&] {
            order.push_back("third");
            rulo::after_framework_unlock([&] { order.push_back("given while running"); });
        });
        EXPECT_TRUE(order.empty());
    }
    EXPECT_TRUE(woken.wait_ms(0));
    EXPECT_EQ(order, (std::vector<std::string>{"throws", "third", "given while running"}));
}

// drop_dead must end the process even when the crash hook returns.
TEST(DropDead, CrashesEvenWhenTheHookReturns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            rulo::x_drop_dead = [] {};
            rulo::drop_dead();
        },
        "");
}

} // namespace

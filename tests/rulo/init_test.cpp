// Start-up, the API table and what a plugin's framework copy borrows from its host.
#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/init.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/thread.h"
#include "tests/support/framework_env.h"
#include "tests/support/plugin_loader.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

namespace {

using test_support::host_api;
using test_support::plugin_copy;

// The table is packed: its fields are read by value, never bound to references.
template <class T>
T val(T v) {
    return v;
}

// The record crosses the plugin boundary: its layout is fixed.
TEST(ApiTable, IsAPackedRecordWithFixedOffsets) {
    std::pair<size_t, size_t> const fields[] = {
        {offsetof(rulo_api_t, version), 0},
        {offsetof(rulo_api_t, rulo_lock), 4},
        {offsetof(rulo_api_t, rulo_unlock), 12},
        {offsetof(rulo_api_t, log_line), 20},
        {offsetof(rulo_api_t, netbuf_impl), 28},
        {offsetof(rulo_api_t, relative_time), 36},
        {offsetof(rulo_api_t, absolute_time), 44},
        {offsetof(rulo_api_t, schedule_task), 52},
        {offsetof(rulo_api_t, cancel_task), 60},
        {offsetof(rulo_api_t, make_socket), 68},
        {offsetof(rulo_api_t, make_forbidden_socket), 76},
        {offsetof(rulo_api_t, remove_forbidden_socket), 84},
        {offsetof(rulo_api_t, drop_dead), 92},
        {offsetof(rulo_api_t, rand), 100},
        {offsetof(rulo_api_t, thread_startup_error), 108},
        {offsetof(rulo_api_t, enable_debug_dump), 116},
        {offsetof(rulo_api_t, deprecated_find_iso639), 124},
        {offsetof(rulo_api_t, make_socket2), 132},
        {offsetof(rulo_api_t, make_forbidden_socket2), 140},
        {offsetof(rulo_api_t, make_socket3), 148},
        {offsetof(rulo_api_t, final_crash_function), 156},
        {offsetof(rulo_api_t, schedule_task_executor), 164},
        {offsetof(rulo_api_t, schedule_task2), 172},
        {offsetof(rulo_api_t, schedule_task_executor2), 180},
        {offsetof(rulo_api_t, tztime_2_time_t), 188},
        {offsetof(rulo_api_t, time_t_2_tztime), 196},
    };
    for (auto [offset, expected] : fields) EXPECT_EQ(offset, expected);
    EXPECT_EQ(sizeof(rulo_api_t), 204u);
    EXPECT_EQ(sizeof(rulo::init), 204u);
}

TEST(ApiTable, HostFillsItsOwnEntriesAndBorrowsNothing) {
    rulo_api_t const& api = host_api();
    EXPECT_EQ(val(api.version), 9);
    EXPECT_EQ(val(api.rulo_lock), rulo::rulo_lock);
    EXPECT_EQ(val(api.relative_time), &rulo::relative_time);
    EXPECT_EQ(val(api.cancel_task), &rulo::cancel_task);
    EXPECT_EQ(val(api.drop_dead), &rulo::drop_dead);
    EXPECT_EQ(val(api.thread_startup_error), rulo::thread_startup_error);
    ASSERT_NE(val(api.final_crash_function), nullptr);
    EXPECT_EQ(val(api.tztime_2_time_t), rulo::x_tztime_2_time_t); // the host's own hooks, passed on
    EXPECT_EQ(rulo::x_relative_time, nullptr);
    EXPECT_EQ(rulo::x_schedule_task, nullptr);
}

TEST(Startup, SecondStartThrowsAndChangesNothing) {
    alignas(8) unsigned char block[sizeof(rulo_api_t)];
    std::memset(block, 0xAB, sizeof block);
    try {
        new (block) rulo::init(nullptr);
        ADD_FAILURE() << "a second start must throw";
    } catch (rulo::exception const& e) {
        EXPECT_EQ(e.description(), "rulo-rpt already initialized");
    }
    EXPECT_TRUE(rulo::init::started());
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
        EXPECT_EQ(same(h.rulo_unlock, val(host.rulo_unlock)), r.base);
        EXPECT_EQ(same(h.relative_time, val(host.relative_time)), r.base);
        EXPECT_EQ(same(h.schedule_task, val(host.schedule_task)), r.base);
        EXPECT_EQ(same(h.cancel_task, val(host.cancel_task)), r.base);
        EXPECT_EQ(same(h.drop_dead, val(host.drop_dead)), r.base);
        EXPECT_EQ(h.thread_startup_error == val(host.thread_startup_error), r.base);
        EXPECT_EQ(same(h.enable_debug_dump, val(host.enable_debug_dump)), r.debug_dump);
        EXPECT_EQ(same(h.final_crash_function, val(host.final_crash_function)), r.executor);
        EXPECT_EQ(same(h.schedule_task_executor, val(host.schedule_task_executor)), r.executor);
        EXPECT_EQ(same(h.schedule_task2, val(host.schedule_task2)), r.task2);
        EXPECT_EQ(same(h.schedule_task_executor2, val(host.schedule_task_executor2)), r.task2);
        EXPECT_EQ(same(h.tztime_2_time_t, val(host.tztime_2_time_t)), r.tz);
        // The copy never borrows the absolute clock; its table says 9 whatever the
        // parent said, and hands on the lock in force.
        rulo_api_t const* own = plugin.get<plugin_table_fn>("plugin_table")();
        ASSERT_NE(own, nullptr);
        EXPECT_NE(val(own->absolute_time), val(host.absolute_time));
        EXPECT_EQ(val(own->version), 9);
        EXPECT_TRUE(same(h.rulo_lock, val(own->rulo_lock)));
        ASSERT_NE(val(own->rulo_lock), nullptr);
    }
}

TEST(PluginCopy, HalfALockPairIsNotTaken) {
    rulo_api_t parent = host_api();
    parent.rulo_unlock = nullptr;
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&parent), "");
    plugin_hook_view h = plugin.hooks();
    ASSERT_NE(h.rulo_lock, nullptr);
    ASSERT_NE(h.rulo_unlock, nullptr);
    EXPECT_NE(h.rulo_lock, reinterpret_cast<void*>(val(host_api().rulo_lock)));
    plugin.get<plugin_lock_fn>("plugin_lock")(); // the copy's own lock works
    plugin.get<plugin_lock_fn>("plugin_unlock")();
}

TEST(PluginCopy, SharesTheHostsClockAndRecursiveLock) {
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&host_api()), "");
    int64_t before = rulo::relative_time();
    int64_t inside = plugin.get<plugin_relative_time_fn>("plugin_relative_time")();
    EXPECT_LE(before, inside);
    EXPECT_LE(inside, rulo::relative_time());

    // Held here, taken again through the plugin on this thread: one recursive lock.
    rulo::rulo_lock_guard outer;
    rulo::rulo_lock_guard inner;
    plugin.get<plugin_lock_fn>("plugin_lock")();
    plugin.get<plugin_lock_fn>("plugin_unlock")();
}

struct task_probe {
    rulo::semaphore ran{1, 0}, deleted{1, 0};
};

TEST(PluginCopy, SchedulesOnTheHostsScheduler) {
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&host_api()), "");
    task_probe probe;
    auto run = [](void* p) { static_cast<task_probe*>(p)->ran.post(); };
    auto del = [](void* p) { static_cast<task_probe*>(p)->deleted.post(); };

    // Ids come from the host's one counter: the plugin's id follows the host's.
    int64_t host_id = 0;
    rulo::schedule_task(&host_id, 100000, rulo::schedule_every, false, rulo::runnable{run, del, &probe});
    int64_t plugin_id = plugin.get<plugin_schedule_fn>("plugin_schedule")(1, run, del, &probe);
    EXPECT_GT(plugin_id, host_id);
    rulo::cancel_task(host_id);
    ASSERT_TRUE(probe.deleted.wait_ms(10000));

    // The plugin's periodic task runs on the host's scheduler until cancelled through the plugin.
    ASSERT_TRUE(probe.ran.wait_ms(10000));
    ASSERT_TRUE(probe.ran.wait_ms(10000));
    plugin.get<plugin_cancel_fn>("plugin_cancel")(plugin_id);
    ASSERT_TRUE(probe.deleted.wait_ms(10000));
    EXPECT_FALSE(probe.deleted.wait_ms(0));
}

TEST(PluginCopy, LogsThroughTheHost) {
    test_support::scratch_dir dir;
    std::string const previous = rulo::errlog::log_file();
    rulo::errlog::set_log_file(dir.file("log.txt"));
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&host_api()), "");
    plugin.get<plugin_log_fn>("plugin_log")("plugin", "hello from the copy");
    rulo::errlog::set_log_file(previous);
    std::string const line = test_support::read_file(dir.file("log.txt"));
    EXPECT_NE(line.find(" plugin: hello from the copy\n"), std::string::npos) << line;
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

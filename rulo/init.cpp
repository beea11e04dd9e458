#include "rulo/init.h"

#include "rulo/clock.h"
#include "rulo/config_store.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/netbuf.h"
#include "rulo/netbuf_table.h"
#include "rulo/object.h"
#include "rulo/random.h"
#include "rulo/scheduler.h"
#include "rulo/thread.h"
#include "rulo/xfile.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace rulo {

void (*rulo_lock)() = nullptr;
void (*rulo_unlock)() = nullptr;
int64_t (*x_relative_time)() = nullptr;
int64_t (*x_absolute_time)() = nullptr;
int64_t (*x_schedule_task)(int64_t, int, int, run_fn, run_fn, void*) = nullptr;
void (*x_cancel_task)(int64_t) = nullptr;
int (*x_make_socket)(int, int, int) = nullptr;
int (*x_make_forbidden_socket)(int, int, int) = nullptr;
void (*x_remove_forbidden_socket)(int) = nullptr;
void (*x_drop_dead)() = nullptr;
unsigned (*x_rand)() = nullptr;
int (*x_enable_debug_dump)() = nullptr;
int (*x_make_socket2)(int, int, int, socket_cb) = nullptr;
int (*x_make_forbidden_socket2)(int, int, int, socket_cb) = nullptr;
int (*x_make_socket3)(int, int, int, socket_cb, socket_cb2) = nullptr;
void (**x_final_crash_function)() = nullptr;
int64_t (*x_schedule_task_executor)(int64_t, int, execute_fn, void*, run_fn, run_fn, void*) = nullptr;
void (*x_schedule_task2)(int64_t*, int64_t, int, int, run_fn, run_fn, void*) = nullptr;
void (*x_schedule_task_executor2)(int64_t*, int64_t, int, execute_fn, void*, run_fn, run_fn, void*) = nullptr;

namespace {

// This copy's own time-zone conversions: the identity. Only handed on.
int64_t identity_time(int64_t t) {
    return t;
}

} // namespace

tz_convert_fn x_tztime_2_time_t = &identity_time;
tz_convert_fn x_time_t_2_tztime = &identity_time;

namespace {

bool g_started = false;
bool g_layers_started = false; // every step of start_layers() has run
rec_mutex* g_framework_mutex = nullptr;
void (*g_final_crash_function)() = nullptr;

// This thread's holds of the framework lock, and what runs once they end.
thread_local int t_framework_depth = 0;
thread_local std::vector<std::function<void()>> t_after_unlock;

void lock_framework() {
    g_framework_mutex->lock();
    ++t_framework_depth;
}
void unlock_framework() {
    --t_framework_depth;
    g_framework_mutex->unlock();
    if (t_framework_depth > 0 || t_after_unlock.empty()) return;
    std::vector<std::function<void()>> due;
    due.swap(t_after_unlock);
    for (auto& fn : due) {
        try {
            fn();
        } catch (...) {
        }
    }
}

void init_rulolock() {
    recursive_attribute();
    // A plugin that got both hooks from its host shares the host's lock.
    if (!g_framework_mutex && !rulo::rulo_lock && !rulo::rulo_unlock) {
        g_framework_mutex = new rec_mutex;
        rulo::rulo_lock = &lock_framework;
        rulo::rulo_unlock = &unlock_framework;
    }
}

// This copy's own buffer implementation, unless the host's table was
// installed first; only an implementation that was installed is prepared.
void install_netbuf_impl() {
    if (netbuf::install(netbuf_imp::netbuf_impl)) netbuf::init();
}

// The upper layers' steps, by start_step. Constant-initialised, so static
// initialisers of any translation unit may register into it.
constexpr int upper_step_count = int(start_step::conn) + 1;
void (*g_upper_steps[upper_step_count])() = {};

// Constant-initialised, so static initialisers of any translation unit may register into it.
constinit socket_table_entries g_socket_entries;

void run_upper_step(start_step step) {
    if (auto fn = g_upper_steps[int(step)]) fn();
}

// The start-up order of this copy. Every layer's set-up has its one place here.
void start_layers() {
    init_unixtime();
    foreign_thread(true);
    install_netbuf_impl();
    init_rulolock();
    task_lock();
    rulo::init_rand();
    run_upper_step(start_step::make_socket);
    xstd::init_crypto();
    init_timer();
    init_errlog();
    xfile::init();
    init_thread();
    xstd::init_storage();
    init_object();
    run_upper_step(start_step::ssl);
    // The HTTP status table (transport library) is made on its first use.
    run_upper_step(start_step::util_sock);
    run_upper_step(start_step::socket);
    run_upper_step(start_step::rpt_module);
    run_upper_step(start_step::conn);
}

} // namespace

void after_framework_unlock(std::function<void()> fn) {
    // Only this copy's own lock counts its holds; a borrowed one is the host's.
    if (!g_framework_mutex || t_framework_depth == 0) {
        fn();
        return;
    }
    t_after_unlock.push_back(std::move(fn));
}

init::init(rulo_api_t* parent) {
    if (g_started) throw exception("rulo-rpt already initialized");
    g_started = true;
    if (parent) take_parent_entries(*parent);
    start_layers();
    g_layers_started = true;
    fill_table();
}

void register_start_step(start_step step, void (*fn)()) {
    g_upper_steps[int(step)] = fn;
    if (g_layers_started && fn) fn();
}

void register_socket_entries(socket_table_entries const& entries) {
    g_socket_entries = entries;
}

bool init::started() {
    return g_started;
}

void init::take_parent_entries(rulo_api_t const& p) {
    int32_t v = p.version;
    if (v < 0) return;
    // The host's buffers and this copy's must be one implementation.
    if (void* table = p.netbuf_impl) netbuf::install(static_cast<void**>(table));
    // Only a complete pair of lock hooks can be used; half a pair would
    // leave this copy calling through a null pointer.
    if (p.rulo_lock && p.rulo_unlock) {
        rulo::rulo_lock = p.rulo_lock;
        rulo::rulo_unlock = p.rulo_unlock;
    }
    if (p.log_line) errlog::set_logline_callback_all(p.log_line);
    x_relative_time = p.relative_time;
    x_schedule_task = p.schedule_task;
    x_cancel_task = p.cancel_task;
    x_make_socket = p.make_socket;
    x_make_forbidden_socket = p.make_forbidden_socket;
    x_remove_forbidden_socket = p.remove_forbidden_socket;
    x_drop_dead = p.drop_dead;
    x_rand = p.rand;
    if (p.thread_startup_error) rulo::thread_startup_error = p.thread_startup_error;
    if (v > 0) x_enable_debug_dump = p.enable_debug_dump;
    if (v > 3) {
        x_make_socket2 = p.make_socket2;
        x_make_forbidden_socket2 = p.make_forbidden_socket2;
    }
    if (v > 4) x_make_socket3 = p.make_socket3;
    if (v > 5) x_final_crash_function = p.final_crash_function;
    if (v > 6) x_schedule_task_executor = p.schedule_task_executor;
    if (v > 7) {
        x_schedule_task2 = p.schedule_task2;
        x_schedule_task_executor2 = p.schedule_task_executor2;
    }
    if (v > 8) {
        x_tztime_2_time_t = p.tztime_2_time_t;
        x_time_t_2_tztime = p.time_t_2_tztime;
    }
}

void init::fill_table() {
    version = api_version;
    rulo_api_t::rulo_lock = rulo::rulo_lock;
    rulo_api_t::rulo_unlock = rulo::rulo_unlock;
    log_line = &init::log_line_;
    netbuf_impl = netbuf_imp::netbuf_impl;
    relative_time = &rulo::relative_time;
    absolute_time = &rulo::absolute_time;
    schedule_task = &init::schedule_task_;
    cancel_task = &rulo::cancel_task;
    make_socket = g_socket_entries.make_socket;
    make_forbidden_socket = g_socket_entries.make_forbidden_socket;
    remove_forbidden_socket = g_socket_entries.remove_forbidden_socket;
    drop_dead = &rulo::drop_dead;
    rand = &rulo::rand;
    rulo_api_t::thread_startup_error = rulo::thread_startup_error;
    enable_debug_dump = &rulo::enable_debug_dump;
    rulo_api_t::deprecated_find_iso639 = &init::deprecated_find_iso639;
    make_socket2 = g_socket_entries.make_socket2;
    make_forbidden_socket2 = g_socket_entries.make_forbidden_socket2;
    make_socket3 = g_socket_entries.make_socket3;
    final_crash_function = &g_final_crash_function;
    schedule_task_executor = &init::schedule_task_executor_;
    schedule_task2 = &init::schedule_task2_;
    schedule_task_executor2 = &init::schedule_task_executor2_;
    tztime_2_time_t = x_tztime_2_time_t;
    time_t_2_tztime = x_time_t_2_tztime;
}

void init::log_line_(char const* line) {
    errlog(nullptr, true).log(0, line);
}

int64_t init::schedule_task_(int64_t time, int mode, int flag, run_fn run, run_fn del, void* arg) {
    int64_t id = 0;
    rulo::schedule_task(&id, time, schedule_task_time(mode), flag != 0, runnable{run, del, arg});
    return id;
}

void init::schedule_task2_(int64_t* id, int64_t time, int mode, int flag, run_fn run, run_fn del, void* arg) {
    rulo::schedule_task(id, time, schedule_task_time(mode), flag != 0, runnable{run, del, arg});
}

int64_t init::schedule_task_executor_(int64_t time, int mode, execute_fn execute, void* ctx, run_fn run,
                                      run_fn del, void* arg) {
    int64_t id = 0;
    rulo::schedule_task_executor(&id, time, schedule_task_time(mode), executor{execute, ctx},
                                 runnable{run, del, arg});
    return id;
}

void init::schedule_task_executor2_(int64_t* id, int64_t time, int mode, execute_fn execute, void* ctx,
                                    run_fn run, run_fn del, void* arg) {
    rulo::schedule_task_executor(id, time, schedule_task_time(mode), executor{execute, ctx},
                                 runnable{run, del, arg});
}

int init::deprecated_find_iso639(char const*, void (*)(void*, char const*), void*, void*, void*, void*, void*,
                                 void*, int*) {
    return 0;
}

void drop_dead() {
    if (x_drop_dead) x_drop_dead();
    // Raised, not provoked: an invalid store is undefined behaviour the optimiser may drop.
    if (signal(SIGSEGV, SIG_DFL) != SIG_ERR) raise(SIGSEGV);
    abort();
}

int enable_debug_dump() {
    if (x_enable_debug_dump) return x_enable_debug_dump();
    rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    return setrlimit(RLIMIT_CORE, &unlimited);
}

} // namespace rulo

// Framework start-up and the API table shared with plugins.
//
// The framework runs once per process image: in the main program and, as a
// separate copy, inside every plugin library. Constructing a rulo::init in a
// 204-byte block starts this copy and fills the block with the entry points
// that the host hands to its plugins. A plugin's copy is started with the
// host's table as its parent and routes the lock, log, buffers, clocks,
// scheduler, socket creation, random numbers and crash handling to the host.
// The table is filled once on the starting thread and never changed.
#pragma once

#include "rulo/hooks.h"

#include <cstdint>
#include <pthread.h>

extern "C" {

#pragma pack(push, 1)
struct rulo_api_t {
    int32_t version;
    void (*rulo_lock)();
    void (*rulo_unlock)();
    void (*log_line)(char const* line);
    void* netbuf_impl;
    int64_t (*relative_time)();
    int64_t (*absolute_time)();
    int64_t (*schedule_task)(int64_t time, int mode, int flag, rulo::run_fn run, rulo::run_fn del, void* arg);
    void (*cancel_task)(int64_t id);
    int (*make_socket)(int, int, int);
    int (*make_forbidden_socket)(int, int, int);
    void (*remove_forbidden_socket)(int);
    void (*drop_dead)();
    unsigned (*rand)();
    int* thread_startup_error;
    int (*enable_debug_dump)();
    int (*deprecated_find_iso639)(char const*, void (*)(void*, char const*), void*, void*, void*, void*,
                                  void*, void*, int*);
    int (*make_socket2)(int, int, int, rulo::socket_cb);
    int (*make_forbidden_socket2)(int, int, int, rulo::socket_cb);
    int (*make_socket3)(int, int, int, rulo::socket_cb, rulo::socket_cb2);
    void (**final_crash_function)();
    int64_t (*schedule_task_executor)(int64_t time, int mode, rulo::execute_fn execute, void* ctx,
                                      rulo::run_fn run, rulo::run_fn del, void* arg);
    void (*schedule_task2)(int64_t* id, int64_t time, int mode, int flag, rulo::run_fn run, rulo::run_fn del,
                           void* arg);
    void (*schedule_task_executor2)(int64_t* id, int64_t time, int mode, rulo::execute_fn execute, void* ctx,
                                    rulo::run_fn run, rulo::run_fn del, void* arg);
    rulo::tz_convert_fn tztime_2_time_t;
    rulo::tz_convert_fn time_t_2_tztime;
};
#pragma pack(pop)

} // extern "C"

static_assert(sizeof(rulo_api_t) == 204, "the API table is a fixed binary record shared with plugins");

namespace rulo {

// The table filled by start-up. The version this copy writes is always 9.
class init : public rulo_api_t {
public:
    static constexpr int32_t api_version = 9;

    // Starts this copy; parent is the host's table in a plugin, null in the
    // host. Throws "rulo-rpt already initialized" on a second start.
    explicit init(rulo_api_t* parent);
    init(init const&) = delete;
    init& operator=(init const&) = delete;

    static bool started();

    static void log_line_(char const* line);
    static int64_t schedule_task_(int64_t time, int mode, int flag, run_fn run, run_fn del, void* arg);
    static void schedule_task2_(int64_t* id, int64_t time, int mode, int flag, run_fn run, run_fn del,
                                void* arg);
    static int64_t schedule_task_executor_(int64_t time, int mode, execute_fn execute, void* ctx, run_fn run,
                                           run_fn del, void* arg);
    static void schedule_task_executor2_(int64_t* id, int64_t time, int mode, execute_fn execute, void* ctx,
                                         run_fn run, run_fn del, void* arg);
    static int deprecated_find_iso639(char const*, void (*)(void*, char const*), void*, void*, void*, void*,
                                      void*, void*, int*);

private:
    void take_parent_entries(rulo_api_t const& parent);
    void fill_table();
};

// The start-up steps of the layers built on top of the core (the transport).
// Each has a fixed place in the start-up order, between the core's own steps;
// the core never calls up into those layers, so each layer hands its step in
// before start-up runs, typically from a static initialiser in its own
// source file (a copy whose program does not link a layer simply has no
// step there). A step registered after this copy has started runs at once.
// Registering a step twice replaces the first; a null step clears it.
enum class start_step { make_socket, ssl, util_sock, socket, rpt_module, conn };
void register_start_step(start_step step, void (*fn)());

// The socket layer's creation entry points, which fill the API table's
// socket entries; left null in a copy that does not link that layer.
// Registered like the start-up steps, before this copy starts.
struct socket_table_entries {
    int (*make_socket)(int, int, int) = nullptr;
    int (*make_forbidden_socket)(int, int, int) = nullptr;
    void (*remove_forbidden_socket)(int) = nullptr;
    int (*make_socket2)(int, int, int, socket_cb) = nullptr;
    int (*make_forbidden_socket2)(int, int, int, socket_cb) = nullptr;
    int (*make_socket3)(int, int, int, socket_cb, socket_cb2) = nullptr;
};
void register_socket_entries(socket_table_entries const& entries);

// Ends the process with a crash; never returns, even when a hook returns.
[[noreturn]] void drop_dead();
int enable_debug_dump();

} // namespace rulo

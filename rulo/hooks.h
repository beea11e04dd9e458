// The entry points a plugin's copy of the framework borrows from its host.
//
// All are null in the host. rulo::init fills them from the parent's API table
// in a plugin copy; each framework function of the same name calls its hook
// when it is set and otherwise does its own work. Written only during
// start-up, read afterwards from any thread.
#pragma once

#include <cstdint>

namespace rulo {

using run_fn = void (*)(void*);
using execute_fn = void (*)(void* ctx, run_fn run, run_fn del, void* arg);
using socket_cb = int (*)(int, int, int);
using socket_cb2 = int (*)(int);

extern void (*rulo_lock)();
extern void (*rulo_unlock)();
extern int64_t (*x_relative_time)();
extern int64_t (*x_absolute_time)();
extern int64_t (*x_schedule_task)(int64_t time, int mode, int flag, run_fn run, run_fn del, void* arg);
extern void (*x_cancel_task)(int64_t id);
extern int (*x_make_socket)(int, int, int);
extern int (*x_make_forbidden_socket)(int, int, int);
extern void (*x_remove_forbidden_socket)(int);
extern void (*x_drop_dead)();
extern unsigned (*x_rand)();
extern int (*x_enable_debug_dump)();
extern int (*x_make_socket2)(int, int, int, socket_cb);
extern int (*x_make_forbidden_socket2)(int, int, int, socket_cb);
extern int (*x_make_socket3)(int, int, int, socket_cb, socket_cb2);
extern void (**x_final_crash_function)();
extern int64_t (*x_schedule_task_executor)(int64_t time, int mode, execute_fn execute, void* ctx, run_fn run,
                                           run_fn del, void* arg);
extern void (*x_schedule_task2)(int64_t* id, int64_t time, int mode, int flag, run_fn run, run_fn del,
                                void* arg);
extern void (*x_schedule_task_executor2)(int64_t* id, int64_t time, int mode, execute_fn execute, void* ctx,
                                         run_fn run, run_fn del, void* arg);

// Time-zone conversions: only passed through to plugins, never called here.
using tz_convert_fn = int64_t (*)(int64_t);
extern tz_convert_fn x_tztime_2_time_t;
extern tz_convert_fn x_time_t_2_tztime;

} // namespace rulo

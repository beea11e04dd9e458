// What the test host sees of the stand-in plugin (test_plugin.cpp).
#pragma once

#include "rulo/init.h"

#include <cstdint>

#define PLUGIN_EXPORT __attribute__((visibility("default")))

// The plugin copy's hook variables, as plain addresses.
struct plugin_hook_view {
    void* rulo_lock;
    void* rulo_unlock;
    void* relative_time;
    void* schedule_task;
    void* cancel_task;
    void* drop_dead;
    void* enable_debug_dump;
    void* final_crash_function;
    void* schedule_task_executor;
    void* schedule_task2;
    void* schedule_task_executor2;
    void* tztime_2_time_t;
    int* thread_startup_error;
};

extern "C" {
using plugin_start_fn = char const* (*)(rulo_api_t* host);
using plugin_table_fn = rulo_api_t* (*)();
using plugin_hooks_fn = void (*)(plugin_hook_view* out);
using plugin_log_fn = void (*)(char const* prefix, char const* text);
using plugin_relative_time_fn = int64_t (*)();
using plugin_lock_fn = void (*)();
using plugin_schedule_fn = int64_t (*)(int64_t delay_ms, void (*run)(void*), void (*del)(void*), void* arg);
using plugin_cancel_fn = void (*)(int64_t id);
using plugin_netbuf_make_fn = void* (*)(char const* bytes, int count);
using plugin_netbuf_append_fn = void (*)(void* impl, char const* bytes, int count);
using plugin_netbuf_drop_fn = void (*)(void* impl);
using plugin_netbuf_read_fn = int (*)(void* impl, char* out, int max);
using plugin_netbuf_counter_fn = int64_t (*)(int which);
}

// A stand-in plugin: a shared library that carries its own copy of the
// framework, bound locally, and is started from the host's API table the way
// a real plugin is. The test host calls the exported functions below to look
// at what this copy borrowed from the host.
#include "tests/support/test_plugin.h"
#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/init.h"
#include "rulo/netbuf.h"
#include "rulo/scheduler.h"
#include "rulo/thread.h"

#include <algorithm>
#include <new>

namespace {

alignas(8) unsigned char g_table[sizeof(rulo_api_t)];
rulo::init* g_init = nullptr;
std::string g_error;

} // namespace

extern "C" {

PLUGIN_EXPORT char const* plugin_start(rulo_api_t* host) {
    try {
        g_init = new (g_table) rulo::init(host);
        return nullptr;
    } catch (rulo::exception const& e) {
        g_error = e.description();
        return g_error.c_str();
    }
}

PLUGIN_EXPORT rulo_api_t* plugin_table() {
    return g_init;
}

PLUGIN_EXPORT void plugin_hooks(plugin_hook_view* out) {
    out->rulo_lock = reinterpret_cast<void*>(rulo::rulo_lock);
    out->rulo_unlock = reinterpret_cast<void*>(rulo::rulo_unlock);
    out->relative_time = reinterpret_cast<void*>(rulo::x_relative_time);
    out->schedule_task = reinterpret_cast<void*>(rulo::x_schedule_task);
    out->cancel_task = reinterpret_cast<void*>(rulo::x_cancel_task);
    out->drop_dead = reinterpret_cast<void*>(rulo::x_drop_dead);
    out->enable_debug_dump = reinterpret_cast<void*>(rulo::x_enable_debug_dump);
    out->final_crash_function = reinterpret_cast<void*>(rulo::x_final_crash_function);
    out->schedule_task_executor = reinterpret_cast<void*>(rulo::x_schedule_task_executor);
    out->schedule_task2 = reinterpret_cast<void*>(rulo::x_schedule_task2);
    out->schedule_task_executor2 = reinterpret_cast<void*>(rulo::x_schedule_task_executor2);
    out->tztime_2_time_t = reinterpret_cast<void*>(rulo::x_tztime_2_time_t);
    out->thread_startup_error = rulo::thread_startup_error;
}

PLUGIN_EXPORT void plugin_log(char const* prefix, char const* text) {
    rulo::fmt_dbg(prefix).log(0, text);
}

PLUGIN_EXPORT int64_t plugin_relative_time() {
    return rulo::relative_time();
}

PLUGIN_EXPORT void plugin_lock() {
    rulo::rulo_lock();
}
PLUGIN_EXPORT void plugin_unlock() {
    rulo::rulo_unlock();
}

PLUGIN_EXPORT int64_t plugin_schedule(int64_t delay_ms, void (*run)(void*), void (*del)(void*), void* arg) {
    int64_t id = 0;
    rulo::schedule_task(&id, delay_ms, rulo::schedule_every, false, rulo::runnable{run, del, arg});
    return id;
}

PLUGIN_EXPORT void plugin_cancel(int64_t id) {
    rulo::cancel_task(id);
}

PLUGIN_EXPORT void plugin_drop_dead() {
    rulo::drop_dead();
}

// Buffers made, grown and read by this copy's handle code, through whichever
// table the copy installed. Implementation objects cross as plain pointers.
PLUGIN_EXPORT void* plugin_netbuf_make(char const* bytes, int count) {
    netbuf b = netbuf::from_buffer(bytes, count);
    return b.detach_ptr();
}

PLUGIN_EXPORT void plugin_netbuf_append(void* impl, char const* bytes, int count) {
    netbuf b(impl, false);
    b.append(bytes, count);
    b.detach_ptr(); // the caller keeps it
}

PLUGIN_EXPORT void plugin_netbuf_drop(void* impl) {
    netbuf b(impl, false);
}

PLUGIN_EXPORT int plugin_netbuf_read(void* impl, char* out, int max) {
    netbuf b(impl, true);
    b.copy_front(out, std::min(max, b.size()));
    return b.size();
}

PLUGIN_EXPORT int64_t plugin_netbuf_counter(int which) {
    return netbuf::performance_counter(static_cast<netbuf::performance_counter_type>(which));
}

} // extern "C"

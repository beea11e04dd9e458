// The task scheduler: runnables run once at a time on the relative clock, or
// periodically, on the scheduler thread, on the scheduler pool or through any
// executor, identified by 64-bit ids.
//
// All scheduler state is guarded by task_lock(); run and del functions are
// always called without it, so a task may schedule or cancel tasks, itself
// included. A task runs on one thread at a time. In a plugin, these calls go
// to the host's scheduler.
#pragma once

#include "rulo/executor.h"
#include "rulo/lock.h"

#include <cstdint>

namespace rulo {

enum schedule_task_time {
    schedule_at = 0,           // once, at an absolute time on the relative clock
    schedule_every = 1,        // first after `time` ms, then every `time` ms
    schedule_now_and_every = 2 // at once, then every `time` ms
};

// Schedules r on the scheduler thread, or on the scheduler pool when use_pool.
// The id is stored in *id_out (when given) before the task can run. When the
// scheduler thread cannot be started the exception reaches the caller, who
// still owns r.
void schedule_task(int64_t* id_out, int64_t time, schedule_task_time mode, bool use_pool, runnable const& r);
// Schedules r to be handed to e when due; e.fn null means the scheduler thread.
void schedule_task_executor(int64_t* id_out, int64_t time, schedule_task_time mode, executor const& e,
                            runnable const& r);
// Unknown and finished ids are ignored; a running task finishes its run first.
void cancel_task(int64_t id);
// The shared pool behind use_pool (workers leave after 5000 ms idle).
executor scheduler_pool();
rec_mutex& task_lock();

} // namespace rulo

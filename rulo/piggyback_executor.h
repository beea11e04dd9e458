// An executor whose queue is drained by the thread that owns it.
//
// The owner (the socket poller) derives from it and implements wake_up() to
// interrupt its own wait; it then calls execute_tasks() on its own thread.
// execute() may be called from any thread. The lock guards only the deque:
// runnables run and are deleted without it, so a runnable may queue more
// work, which the same drain then runs.
#pragma once

#include "rulo/executor.h"
#include "rulo/lock.h"

#include <cstddef>
#include <deque>

namespace rulo {

class piggyback_executor {
public:
    piggyback_executor() = default;
    piggyback_executor(piggyback_executor const&) = delete;
    piggyback_executor& operator=(piggyback_executor const&) = delete;

    // The owner's way to be woken; called without the lock after work was queued.
    virtual void wake_up() = 0;
    // Runnables never drained are deleted unrun.
    virtual ~piggyback_executor();

    // Takes r: queues it and calls wake_up(). A failing wake_up is swallowed:
    // r is queued by then and runs at the owner's next drain.
    void execute(runnable const& r);
    // Runs (and deletes) everything queued, including what is queued while
    // draining, on the calling thread; exceptions of runnables are swallowed.
    void execute_tasks();

    // An executor on this object; it must outlive the executor's use.
    executor get_executor() { return executor_f<piggyback_executor>::make(this); }

    std::size_t queued();

protected:
    rec_mutex m_lock;
    std::deque<runnable> m_tasks;
};

} // namespace rulo

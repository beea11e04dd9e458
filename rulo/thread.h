// Detached worker threads.
//
// Every long-running worker of the program derives from rulo::thread and
// implements run(). detach() starts it; the object either deletes itself when
// run() returns (delete_self) or is deleted by its owner, who waits through
// synchronize(). A subclass whose members run() uses must call synchronize()
// in its own destructor: by the time the base destructor waits, the derived
// part is already gone. The base wait stays as the last guard.
#pragma once

#include "rulo/lock.h"
#include "rulo/semaphore.h"

#include <pthread.h>
#include <string>

namespace rulo {

class thread {
public:
    enum priority { normal = 0, low = 1, high = 2 }; // accepted and ignored

    thread(bool delete_self, std::string name, int number);
    virtual ~thread();
    thread(thread const&) = delete;
    thread& operator=(thread const&) = delete;

    // Starts the thread. Throws "detach" when already started or when the
    // system refuses (the refusal is logged and counted in thread_startup_error).
    void detach(priority p = normal);
    // Blocks until run() has returned; at once when never started or ended.
    void synchronize();

    std::string const& name() const { return m_name; }

protected:
    virtual void run() = 0;

private:
    static void* starter(void* self);

    std::string m_name;
    semaphore m_run_guard;
    bool m_delete_self;
    bool m_started = false;
    pthread_t m_handle{};
};

// Failed thread starts, shared with plugins through the API table.
extern int* thread_startup_error;

void init_thread();
// The thread list mutex: guards thread starts and the timeout bookkeeping.
rec_mutex& threads_mutex();
pthread_t get_current_thread_id();
// Prepares a thread the framework did not start. With true (start-up, once
// per copy) it also seeds the C library's generators.
void foreign_thread(bool first);

} // namespace rulo

// Sleeps ms milliseconds; large values do not wrap.
void Sleep(unsigned ms);

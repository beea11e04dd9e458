#include "rulo/thread.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/random.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace rulo {

int* thread_startup_error = nullptr;

namespace {

pthread_attr_t g_detached_attr;

} // namespace

rec_mutex& threads_mutex() {
    // Made by init_thread, or by the first thread started before start-up; never freed.
    static rec_mutex* m = new rec_mutex;
    return *m;
}

namespace {

pthread_attr_t* detached_attr() {
    static bool ready = [] {
        if (pthread_attr_init(&g_detached_attr) != 0 ||
            pthread_attr_setdetachstate(&g_detached_attr, PTHREAD_CREATE_DETACHED) != 0)
            throw exception::function("init_thread");
        return true;
    }();
    (void)ready;
    return &g_detached_attr;
}

} // namespace

void init_thread() {
    srand(unsigned(time(nullptr)));
    threads_mutex();
    if (!thread_startup_error) thread_startup_error = new int(0);
    detached_attr();
}

pthread_t get_current_thread_id() {
    return pthread_self();
}

void foreign_thread(bool first) {
    if (first) init_random();
}

thread::thread(bool delete_self, std::string name, int number)
    : m_name(name.empty() ? std::string() : name + ":" + stringify(number)), m_run_guard(1, 1),
      m_delete_self(delete_self) {}

thread::~thread() {
    try {
        m_run_guard.wait();
    } catch (...) {
    }
}

void thread::detach(priority) {
    rec_lock lock(threads_mutex());
    if (m_started) throw exception::function("detach");
    int rc = pthread_create(&m_handle, detached_attr(), &thread::starter, this);
    if (rc == 0) {
        m_started = true;
        m_run_guard.wait();
        return;
    }
    fmt_dbg log("thread startup");
    log.fmt_verbose("pthread_create failed: %1%", safe_strerror(rc));
    static int local_errors = 0;
    int* counter = thread_startup_error ? thread_startup_error : &local_errors;
    ++*counter;
    log.fmt_verbose("error count: %1%", *counter);
    throw exception::function("detach");
}

void thread::synchronize() {
    m_run_guard.wait();
    m_run_guard.post();
}

void* thread::starter(void* p) {
    thread* self = static_cast<thread*>(p);
    foreign_thread(false);
    { rec_lock lock(threads_mutex()); }
    try {
        self->run();
    } catch (...) {
    }
    bool delete_self = self->m_delete_self;
    self->m_run_guard.post();
    if (delete_self) delete self;
    return nullptr;
}

} // namespace rulo

void Sleep(unsigned ms) {
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// rulo-demo: starts the framework the way the desk program does and puts its
// runtime to work: the plugin API table, the log, the task scheduler, the
// thread pool and a future. Its log goes to rulo-demo.log in the working directory.
#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/fut.h"
#include "rulo/init.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace {

struct ticker {
    rulo::semaphore done{1, 0};
    std::atomic<int> ticks{0};
};

void tick(void* p) {
    auto* t = static_cast<ticker*>(p);
    int n = ++t->ticks;
    rulo::fmt_dbg("demo").fmt_verbose("tick %1% at %2% ms", n, rulo::relative_time());
    if (n == 3) t->done.post();
}

void no_delete(void*) {}

int square_sum(int a, int b) {
    return a * a + b * b;
}

} // namespace

int main() {
    try {
        static rulo::init api(nullptr);
        rulo::errlog::set_vlevel(9999);
        rulo::errlog::set_log_file("rulo-demo.log");

        std::printf("framework started; API table version %d, %zu bytes\n", int(api.version), sizeof api);
        std::printf("log file: %s\n", rulo::errlog::log_file().c_str());

        // A periodic task on the scheduler thread: three ticks 100 ms apart.
        ticker t;
        int64_t id = 0;
        rulo::schedule_task(&id, 100, rulo::schedule_every, false, rulo::runnable{&tick, &no_delete, &t});
        if (!t.done.wait_ms(10000)) throw rulo::exception::function("ticks");
        rulo::cancel_task(id);
        std::printf("scheduler: task %lld ticked %d times\n", static_cast<long long>(id), t.ticks.load());

        // A call on a thread pool, its result back through a future.
        rulo::thread_pool pool(4, 5000, rulo::thread::normal);
        rulo::fut<int> answer =
            rulo::pcall(rulo::executor_f<rulo::thread_pool>::make(&pool), &square_sum, 3, 4);
        std::printf("pool: 3*3 + 4*4 = %d\n", answer.sync(10000));

        rulo::fmt_dbg("demo").fmt_verbose("done after %1% ms", rulo::relative_time());
        std::printf("done\n");
        return 0;
    } catch (std::exception const& e) {
        std::fprintf(stderr, "rulo-demo: %s\n", e.what());
        return 1;
    }
}

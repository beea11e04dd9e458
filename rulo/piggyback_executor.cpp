#include "rulo/piggyback_executor.h"

namespace rulo {

piggyback_executor::~piggyback_executor() {
    for (runnable const& r : m_tasks) {
        try {
            r.del(r.arg);
        } catch (...) {
        }
    }
}

void piggyback_executor::execute(runnable const& r) {
    {
        rec_lock lock(m_lock);
        m_tasks.push_back(r);
    }
    try {
        wake_up();
    } catch (...) {
    }
}

void piggyback_executor::execute_tasks() {
    for (;;) {
        runnable r;
        {
            rec_lock lock(m_lock);
            if (m_tasks.empty()) return;
            r = m_tasks.front();
            m_tasks.pop_front();
        }
        r.run_and_delete();
    }
}

std::size_t piggyback_executor::queued() {
    rec_lock lock(m_lock);
    return m_tasks.size();
}

} // namespace rulo

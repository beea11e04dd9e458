#include "QtUtils/execute_in_thread.h"

#include <QThread>

namespace QtUtils {

namespace {

void call_dropping(rulo::run_fn fn, void* arg) {
    if (!fn) return;
    try {
        fn(arg);
    } catch (...) {
    }
}

} // namespace

ExecuteInThread::ExecuteInThread(rulo::run_fn run, rulo::run_fn del, void* arg)
    : m_run(run), m_del(del), m_arg(arg) {}

ExecuteInThread::~ExecuteInThread() {
    if (m_del) call_dropping(m_del, m_arg);
}

void ExecuteInThread::executor(void* ctx, rulo::run_fn run, rulo::run_fn del, void* arg) {
    auto* thread = static_cast<QThread*>(ctx);
    auto* e = new ExecuteInThread(run, del, arg);
    if (thread) e->moveToThread(thread);
    if (!thread || !QMetaObject::invokeMethod(e, "execute", Qt::QueuedConnection)) delete e;
}

void ExecuteInThread::execute() {
    rulo::run_fn const run = m_run, del = m_del;
    void* const arg = m_arg;
    m_run = m_del = nullptr;
    m_arg = nullptr;
    call_dropping(run, arg);
    call_dropping(del, arg);
    deleteLater();
}

rulo::executor exe_in_thread(QThread* thread) {
    return rulo::executor{&ExecuteInThread::executor, thread};
}

} // namespace QtUtils

// Running a framework runnable on the thread of a Qt object (in practice the
// GUI thread), so that a worker can pcall a function there and wait for its
// future.
//
// ExecuteInThread: made on the calling thread, moved to the target thread,
// and run and destroyed there by Qt's queued invocation of execute(). It owns
// its runnable: run(arg) then del(arg) when it runs; del(arg) alone when it
// is destroyed without having run (the target thread's loop ended first).
// Either way del runs exactly once, with every exception dropped.
#pragma once

#include "rulo/executor.h"

#include <QObject>

class QThread;

namespace QtUtils {

class ExecuteInThread : public QObject {
    Q_OBJECT
public:
    ExecuteInThread(rulo::run_fn run, rulo::run_fn del, void* arg);
    ~ExecuteInThread() override;

    // The framework executor function; ctx is the target QThread. A call
    // that cannot be queued deletes the runnable at once (which fails a
    // pcall's future). Any thread.
    static void executor(void* ctx, rulo::run_fn run, rulo::run_fn del, void* arg);

public slots:
    void execute();

private:
    rulo::run_fn m_run;
    rulo::run_fn m_del;
    void* m_arg;
};

// The executor that runs on thread.
rulo::executor exe_in_thread(QThread* thread);

} // namespace QtUtils

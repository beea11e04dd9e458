// Runnables and executors: work as plain function-pointer triples and pairs,
// so that it crosses the plugin boundary through the API table unchanged.
//
// A runnable is owned by whoever holds it: that holder calls del(arg) exactly
// once, normally through run_and_delete(). Handing it to an executor hands
// over that duty.
#pragma once

#include "rulo/hooks.h"

namespace rulo {

struct runnable {
    run_fn run = nullptr;
    run_fn del = nullptr;
    void* arg = nullptr;

    // run(arg) then del(arg); exceptions of either are swallowed.
    void run_and_delete() const;
};

struct executor {
    execute_fn fn = nullptr; // null: run on the scheduler thread
    void* ctx = nullptr;

    // Passes ownership of r to the executor.
    void execute(runnable const& r) const { fn(ctx, r.run, r.del, r.arg); }
};

// A runnable made from a heap object with a run() member; run and delete
// swallow exceptions.
template <class T>
struct runnable_f {
    static void run(void* p) {
        try {
            static_cast<T*>(p)->run();
        } catch (...) {
        }
    }
    static void del(void* p) {
        try {
            delete static_cast<T*>(p);
        } catch (...) {
        }
    }
    static runnable make(T* p) { return runnable{&run, &del, p}; }
};

// An executor for an object with an execute(runnable const&) member.
template <class T>
struct executor_f {
    static void execute(void* ctx, run_fn run, run_fn del, void* arg);
    static executor make(T* p) { return executor{&execute, p}; }
};

template <class T>
void executor_f<T>::execute(void* ctx, run_fn run, run_fn del, void* arg) {
    runnable r{run, del, arg};
    try {
        static_cast<T*>(ctx)->execute(r);
    } catch (...) {
        // The executor refused the work: it is still ours to delete.
        try {
            del(arg);
        } catch (...) {
        }
    }
}

} // namespace rulo

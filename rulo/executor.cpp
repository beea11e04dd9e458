#include "rulo/executor.h"

namespace rulo {

void runnable::run_and_delete() const {
    try {
        run(arg);
    } catch (...) {
    }
    try {
        del(arg);
    } catch (...) {
    }
}

} // namespace rulo

// Runs one step whose failure changes nothing but that step: whatever it
// throws is swallowed, and the caller goes on with the next one.
#pragma once

namespace tovan {

template <class F>
void ignoring_failure(F&& step) {
    try {
        step();
    } catch (...) {
    }
}

} // namespace tovan

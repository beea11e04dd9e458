// The framework as the test binaries see it: started once per binary by the
// test main, before the first test.
#pragma once

#include "rulo/exception.h"
#include "rulo/init.h"

#include <string>

namespace test_support {

// The host's API table, filled by the one start of this binary.
rulo::init& host_api();

// The text of the rulo::exception f throws, or "" when it throws none.
template <class F>
std::string thrown(F&& f) {
    try {
        f();
    } catch (rulo::exception const& e) {
        return e.what();
    }
    return "";
}

} // namespace test_support

// The framework as the test binaries see it: started once per binary by the
// test main, before the first test.
#pragma once

#include "rulo/init.h"

namespace test_support {

// The host's API table, filled by the one start of this binary.
rulo::init& host_api();

} // namespace test_support

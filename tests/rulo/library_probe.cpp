// A library whose loading can be observed: its initialiser notes the working
// directory it ran in.
#include <unistd.h>

extern "C" __attribute__((visibility("default"))) char probe_load_dir[4096];
char probe_load_dir[4096];

namespace {

struct note_directory {
    note_directory() {
        if (!::getcwd(probe_load_dir, sizeof probe_load_dir)) probe_load_dir[0] = 0;
    }
} const noted;

} // namespace

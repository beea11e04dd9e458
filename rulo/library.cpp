#include "rulo/library.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/xfile.h"

#include <dlfcn.h>
#include <mutex>
#include <string>

namespace xstd {

namespace {

// Two loads that each change into their library's directory would otherwise
// put each other's starting directory back wrongly.
std::mutex g_load_mutex;

} // namespace

auto_lib::auto_lib(char const* path, bool in_own_directory) {
    std::string name = path ? path : "";
    std::string error;
    {
        std::lock_guard<std::mutex> lock(g_load_mutex);
        std::string previous;
        bool changed = false;
        if (in_own_directory) {
            // Open by the absolute name: a relative one would be looked up
            // from the library's directory once we stand in it.
            name = rulo::expand_filename(name);
            try {
                previous = rulo::get_current_dir();
                rulo::change_current_dir(rulo::dirname(name));
                changed = true;
            } catch (rulo::exception const&) {
                // A directory that cannot be entered leaves the loader to
                // report what is wrong with the path.
            }
        }
        m_handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_GLOBAL);
        if (!m_handle) {
            char const* text = ::dlerror();
            error = text ? text : "unknown error";
        }
        if (changed) {
            try {
                rulo::change_current_dir(previous);
            } catch (rulo::exception const&) {
                rulo::fmt_dbg("dlopen").fmt_verbose("cannot return to %1%", previous);
            }
        }
    }
    if (!m_handle) {
        rulo::fmt_dbg("dlopen").fmt_verbose("error loading %1%: %2%", std::string(path ? path : ""), error);
        throw rulo::exception::function("auto_lib");
    }
}

auto_lib::~auto_lib() {
    ::dlclose(m_handle);
}

void* auto_lib::symbol(char const* name) const {
    return ::dlsym(m_handle, name);
}

} // namespace xstd

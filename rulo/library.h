// Loading shared libraries: the plugin host keeps one auto_lib per plugin
// library for as long as the plugin is in use.
#pragma once

#include "rulo/exception.h"

#include <dlfcn.h>
#include <string>

namespace xstd {

// One library opened with immediate binding and global symbols, closed by the
// destructor. Owned by one holder (the plugin host's plugin record); the
// symbols it hands out are valid while it lives.
//
// Loading with in_own_directory changes the process-wide working directory
// for the duration of the load, so that the library's start-up code finds the
// files beside it; loads are serialised among themselves, but other threads
// that use relative paths meanwhile see the library's directory. Blocks for
// as long as the loader runs the library's initialisers.
class auto_lib {
public:
    // Failure logs "error loading <path>: <loader text>" with the prefix
    // "dlopen" and throws "auto_lib"; the working directory is restored
    // either way.
    auto_lib(char const* path, bool in_own_directory);
    ~auto_lib();
    auto_lib(auto_lib const&) = delete;
    auto_lib& operator=(auto_lib const&) = delete;

    void* handle() const { return m_handle; }
    // The address of a symbol of the library (or of one loaded before it),
    // null when there is none.
    void* symbol(char const* name) const;

private:
    void* m_handle = nullptr;
};

// Looks up a symbol of a loaded library; throws the function exception
// "get_proc" when the library does not export it.
template <class T>
void get_proc(T& out, void* library, std::string const& name) {
    void* p = dlsym(library, name.c_str());
    if (!p) throw rulo::exception::function("get_proc");
    out = reinterpret_cast<T>(p);
}

} // namespace xstd

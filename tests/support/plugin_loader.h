// Loads a fresh copy of the stand-in plugin: every load copies the library
// to a new file, so each load carries a framework copy of its own.
#pragma once

#include "tests/support/test_plugin.h"

#include <string>

namespace test_support {

class plugin_copy {
public:
    plugin_copy(); // throws std::runtime_error when the library cannot be loaded
    ~plugin_copy();
    plugin_copy(plugin_copy const&) = delete;
    plugin_copy& operator=(plugin_copy const&) = delete;

    template <class F>
    F get(char const* name) const {
        return reinterpret_cast<F>(symbol(name));
    }
    // Starts the copy from a parent table; returns the exception text or "".
    std::string start(rulo_api_t* parent) const;
    plugin_hook_view hooks() const;

private:
    void* symbol(char const* name) const;
    void* m_handle = nullptr;
    std::string m_path;
};

} // namespace test_support

#include "tests/support/plugin_loader.h"

#include <atomic>
#include <dlfcn.h>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace test_support {

plugin_copy::plugin_copy() {
    static std::atomic<int> serial{0};
    m_path = std::string("/tmp/rulo_test_plugin_") + std::to_string(getpid()) + "_" +
             std::to_string(++serial) + ".so";
    {
        std::ifstream in(TEST_PLUGIN_PATH, std::ios::binary);
        std::ofstream out(m_path, std::ios::binary);
        out << in.rdbuf();
        if (!in || !out) throw std::runtime_error("cannot copy " TEST_PLUGIN_PATH);
    }
    m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        unlink(m_path.c_str());
        throw std::runtime_error(dlerror());
    }
}

plugin_copy::~plugin_copy() {
    // Never unloaded: the copy may have left tasks and hooks behind in the host.
    unlink(m_path.c_str());
}

void* plugin_copy::symbol(char const* name) const {
    void* p = dlsym(m_handle, name);
    if (!p) throw std::runtime_error(std::string("missing plugin symbol ") + name);
    return p;
}

std::string plugin_copy::start(rulo_api_t* parent) const {
    char const* error = get<plugin_start_fn>("plugin_start")(parent);
    return error ? error : "";
}

plugin_hook_view plugin_copy::hooks() const {
    plugin_hook_view view{};
    get<plugin_hooks_fn>("plugin_hooks")(&view);
    return view;
}

} // namespace test_support

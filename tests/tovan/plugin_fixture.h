// The plugin host's tests: a recording fake of the program's services, a
// scratch directory holding copies of the test plugins, and their record
// files. Every test starts from a fresh host and unloads what it loaded.
#pragma once

#include "tovan/lang/translations.h"
#include "tovan/plugins/host_services.h"
#include "tovan/plugins/plugin_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace plugin_test {

class fake_services : public tovan::host_services {
public:
    std::mutex mutex;
    std::vector<std::string> logs, queued, system_lines;
    std::vector<std::pair<int, std::string>> sent;
    std::vector<std::string> saves;
    std::atomic<int64_t> state{0};
    std::vector<std::string> args;
    std::string ini, section = "VYNDeskLite", version = "3.3.2";
    std::map<std::string, std::map<std::string, tovan::option_map>> app_options;
    uint64_t flag_bits = 0;
    bool channel = true;

    void log(std::string const& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        logs.push_back(text);
    }
    void system_message(std::string const& text, bool send) override {
        std::lock_guard<std::mutex> lock(mutex);
        system_lines.push_back(text + (send ? " (sent)" : ""));
    }
    bool send_session(int sub, netbuf const& data) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (!channel) return false;
        sent.emplace_back(sub, data.to_string());
        return true;
    }
    int64_t connection_state() override { return state; }
    std::string peer_version() override { return version; }
    std::string program_link(tovan::option_map const&) override { return "link:x"; }
    std::vector<std::string> arguments() override { return args; }
    std::string ini_path() override { return ini; }
    std::string ini_section() override { return section; }
    std::string translate(std::string const& key) override {
        return tovan::get_utf8_string(key, true, false);
    }
    void add_translations(std::string const&) override {}
    bool is_client() override { return false; }
    int64_t main_window() override { return 0x1234; }
    bool plain_log_closed() override { return false; }
    std::string window_status() override { return {}; }
    bool app_options_for(std::string const& c, std::string const& e, tovan::option_map& out) override {
        auto at = app_options.find(c);
        if (at == app_options.end() || !at->second.count(e)) return false;
        out = at->second[e];
        return true;
    }
    void queue_command(std::string const& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        queued.push_back(text);
    }
    bool update_flags(uint64_t clear, uint64_t set) override {
        uint64_t const next = (flag_bits & ~clear) | set;
        bool const changed = next != flag_bits;
        flag_bits = next;
        return changed;
    }
    uint64_t flags() override { return flag_bits; }
    void update_dialog_item(std::string const&, uint64_t, uint64_t) override {}
    void translate_widget(int64_t) override {}
    void set_widget_tip(int64_t, std::string const&) override {}
    int connect_save(netbuf const& packet) override {
        std::lock_guard<std::mutex> lock(mutex);
        saves.push_back(packet.to_string());
        return 1;
    }
    bool set_priority(int, int) override { return channel; }

    bool logged(std::string const& line) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto const& l : logs)
            if (l == line) return true;
        return false;
    }
};

// A scratch directory with copies of the named test plugins (NAME.so) and
// TP_RECORD_DIR pointing at it.
struct plugin_dir {
    std::string path;
    explicit plugin_dir(std::vector<std::string> const& names) {
        char tmpl[] = "/tmp/tovan_plugins_XXXXXX";
        path = mkdtemp(tmpl);
        for (auto const& n : names) copy(n);
        setenv("TP_RECORD_DIR", path.c_str(), 1);
    }
    ~plugin_dir() { std::system(("rm -rf '" + path + "'").c_str()); }
    void copy(std::string const& file) {
        std::string const from = std::string(TP_DIR) + "/" + file;
        std::string const name = file.find('.') == std::string::npos ? file + ".so" : file;
        std::ifstream in(from.find(".so") == std::string::npos ? from + ".so" : from, std::ios::binary);
        std::ofstream out(path + "/" + name, std::ios::binary);
        out << in.rdbuf();
    }
    std::string lib(std::string const& name) const { return path + "/" + name + ".so"; }
    // The lines of a plugin's record file, without the thread ids.
    std::vector<std::string> record(std::string const& name) const {
        std::ifstream in(path + "/" + name + ".rec");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            auto const at = line.find("] ");
            lines.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return lines;
    }
    bool recorded(std::string const& name, std::string const& line) const {
        for (auto const& l : record(name))
            if (l == line) return true;
        return false;
    }
};

// A hook of a loaded plugin, by library path (the library stays loaded).
template <class F>
F hook(std::string const& lib, char const* name) {
    void* h = dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return nullptr;
    void* p = dlsym(h, name);
    dlclose(h);
    return reinterpret_cast<F>(p);
}

} // namespace plugin_test

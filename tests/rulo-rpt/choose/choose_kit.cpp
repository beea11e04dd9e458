#include "tests/rulo-rpt/choose/choose_kit.h"

#include "rulo/errlog.h"
#include "tests/support/shell.h"

#include <QSettings>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace choose_kit {
namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;
bool g_capturing = false;

void record(char const* line) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_capturing) g_lines.emplace_back(line);
}

} // namespace

std::string fresh_home() {
    static test_support::scratch_dir base;
    static int serial = 0;
    if (serial == 0) {
        std::filesystem::create_directories(base.file("config"));
        ::setenv("XDG_CONFIG_HOME", base.file("config").c_str(), 1);
    }
    std::string home = base.file("home" + std::to_string(++serial));
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("HTTP_PROXY");
    QSettings additional(QStringLiteral("Sepra"), QStringLiteral("AutoTransport additional servers"));
    additional.clear();
    additional.sync();
    return home;
}

log_capture::log_capture() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lines.clear();
        g_capturing = true;
    }
    rulo::errlog::set_logline_callback_all(record);
}

log_capture::~log_capture() {
    rulo::errlog::set_logline_callback_all(nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_capturing = false;
}

std::vector<std::string> log_capture::lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

int log_capture::count(std::string const& text) const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return int(std::count(g_lines.begin(), g_lines.end(), text));
}

} // namespace choose_kit

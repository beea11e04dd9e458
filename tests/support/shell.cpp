#include "tests/support/shell.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>

namespace test_support {

scratch_dir::scratch_dir() {
    char const* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/rulo_test_XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp " + pattern);
    m_path = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

command_output run_command(std::string const& command) {
    command_output result;
    std::string full = command + " 2>/dev/null";
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

std::string filter_command(std::string const& command, std::string const& input) {
    scratch_dir dir;
    std::string in = dir.file("input");
    write_file(in, input);
    return run_command(command + " < " + shell_quote(in)).out;
}

std::string shell_quote(std::string const& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void write_file(std::string const& path, std::string const& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace test_support

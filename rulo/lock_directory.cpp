#include "rulo/lock_directory.h"

#include "rulo/exception.h"
#include "rulo/flock_file.h"
#include "rulo/random.h"
#include "rulo/safe_path.h"
#include "rulo/text.h"
#include "rulo/xfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rulo {

namespace {

char const lock_file_name[] = "writeacc.dat";

// How many fresh directory names lock_directory tries before giving up.
constexpr int max_directories = 32;

void ignore_errors(void (*f)(std::string const&), std::string const& path) {
    try {
        f(path);
    } catch (...) {
    }
}

} // namespace

lock_file::lock_file(std::string const& path) : m_name(path), m_path(path) {
    m_fd = open_flock_file(AT_FDCWD, m_path.c_str());
}

lock_file::lock_file(std::string const& directory, char const* name)
    : m_name(name), m_path(directory + "/" + name) {
    m_dir_fd = safe_path::open_base(directory, false);
    if (m_dir_fd < 0) return;
    m_fd = open_flock_file(m_dir_fd, name);
    if (m_fd >= 0) return;
    ::close(m_dir_fd);
    m_dir_fd = -1;
}

lock_file::~lock_file() {
    if (m_fd < 0) return;
    // Delete before close, so that a waiter granted the lock on this file
    // afterwards sees that it is no longer the one at the path.
    ::unlinkat(m_dir_fd >= 0 ? m_dir_fd : AT_FDCWD, m_name.c_str(), 0);
    ::close(m_fd);
    if (m_dir_fd >= 0) ::close(m_dir_fd);
}

lock_directory::lock_directory(std::string base, std::string const& prefix) {
    if (base.empty()) base = get_current_dir();
    std::string suffix;
    if (prefix.empty()) {
        ignore_errors(create_directory, base);
        m_remove = true;
    }
    for (int attempt = 0;; ++attempt) {
        m_lock = new lock_file(base + suffix, lock_file_name);
        m_directory = base + suffix;
        if (m_lock->held()) return;

        if (m_remove) ignore_errors(remove_directory, base + suffix);
        if (attempt + 1 == max_directories) break;
        suffix = prefix + "_" + xstd::hexcode(xstd::get_random_bytes(4));
        ignore_errors(create_directory, base + suffix);
        m_remove = true;
    }
    exception e = exception::function("lock_directory");
    e.stream() << " base=" << base;
    throw e;
}

lock_directory::~lock_directory() {
    m_lock = nullptr;
    if (m_remove) ::rmdir(m_directory.c_str());
}

} // namespace rulo

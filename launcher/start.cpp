#include "launcher/start.h"

#include "launcher/cache_slot.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace launcher {

namespace {

[[noreturn]] void kill_self() {
    for (;;) {
        kill(getpid(), SIGKILL);
        pause();
    }
}

std::string slot_path(const launch_state& s, std::string_view name) {
    std::string path = s.slot;
    path += '/';
    path += name;
    return path;
}

bool read_all(int fd, void* buf, std::size_t n, std::size_t& got) {
    got = 0;
    while (got < n) {
        ssize_t r = read(fd, static_cast<char*>(buf) + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) break;
        got += std::size_t(r);
    }
    return true;
}

} // namespace

void unmap_self(launch_state& s) {
    if (s.image) munmap(const_cast<unsigned char*>(s.image), s.image_size);
    s.image = nullptr;
    s.image_size = 0;
    if (s.own_fd >= 0) close(s.own_fd);
    s.own_fd = -1;
}

result start_exe(launch_state& s, std::string_view name) {
    std::string path = slot_path(s, name);
    // Built before the fork, so that running short of memory is reported
    // by the launcher itself rather than lost in the child.
    std::vector<char*> args;
    args.reserve(std::size_t(s.argc > 0 ? s.argc : 1) + 1);
    args.push_back(path.data());
    for (int i = 1; i < s.argc; ++i) args.push_back(s.argv[i]);
    args.push_back(nullptr);
    const char* current = std::getenv("LD_LIBRARY_PATH");
    std::optional<std::string> library_path;
    if (current) library_path = current;
    // The child reports a failed exec through this pipe; a successful exec
    // closes it (close-on-exec), so the parent reads end of file.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return result::failure(errno);
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(report[0]);
        close(report[1]);
        return result::failure(e);
    }
    if (pid == 0) {
        close(report[0]);
        int e = ENOMEM;
        try {
            // Once more in front of what the launch set: the program sees the
            // slot twice, before the value the launcher found.
            set_library_path(s.slot, library_path);
            unmap_self(s);
            chmod(path.c_str(), 0700);
            std::fprintf(stderr, "Starting EXE: %s\n", path.c_str());
            execv(path.c_str(), args.data());
            e = errno;
        } catch (const std::bad_alloc&) {
        }
        ssize_t ignored = write(report[1], &e, sizeof e);
        (void)ignored;
        kill_self();
    }
    close(report[1]);
    int child_errno = 0;
    std::size_t got = 0;
    bool read_ok = read_all(report[0], &child_errno, sizeof child_errno, got);
    close(report[0]);
    pid_t w;
    do {
        w = waitpid(pid, nullptr, 0);
    } while (w < 0 && errno == EINTR);
    if (w != pid) return result::failure(errno);
    if (!read_ok || got != 0) return result::failure(got == sizeof child_errno ? child_errno : EIO);
    return {};
}

result start_dll(launch_state& s, std::string_view name) {
    std::string path = slot_path(s, name);
    std::fprintf(stderr, "Starting DLL: %s\n", path.c_str());
    void* lib = dlopen(path.c_str(), RTLD_LAZY);
    if (!lib) return result::failure(errno, dlerror());
    using entry_fn = int (*)(int, char**);
    auto entry = reinterpret_cast<entry_fn>(dlsym(lib, "DllStartService"));
    if (!entry) return result::failure(errno, dlerror());
    if (entry(s.argc, s.argv) != 0) return result::failure(errno);
    return {};
}

void normal_end(launch_state& s) {
    unmap_self(s);
    // Newest first: files go before the directories that hold them.
    for (auto it = s.cleanup.rbegin(); it != s.cleanup.rend(); ++it) {
        if (it->kind == cleanup_file)
            unlink(it->full.c_str());
        else if (it->kind == cleanup_archive_dir)
            rmdir(it->full.c_str());
    }
    s.cleanup.clear();
    kill_self();
}

void error_end(launch_state&, const result& failed) {
    if (!failed.detail().empty()) std::fprintf(stderr, "%s\n", failed.detail().c_str());
    std::fprintf(stderr, "Error running launch, last system error: '%s'\n", std::strerror(failed.error()));
    kill_self();
}

} // namespace launcher

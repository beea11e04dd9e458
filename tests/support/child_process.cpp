#include "tests/support/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

child_process::child_process(std::vector<std::string> const& argv, std::string const& dir) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    std::vector<char*> args;
    for (std::string const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid < 0) throw std::runtime_error("fork");
    if (m_pid == 0) { // only async-signal-safe calls until exec
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
    m_reader = std::thread([this] { read_pipes(); });
    m_writer = std::thread([this] { write_pipe(); });
}

child_process::~child_process() {
    close_input();
    ::kill(m_pid, SIGTERM);
    if (!wait_closed(std::chrono::seconds(10))) ::kill(m_pid, SIGKILL);
    m_reader.join();
    m_writer.join();
    ::waitpid(m_pid, nullptr, 0);
    ::close(m_out);
    ::close(m_err);
}

void child_process::write_input(std::string bytes) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_input.push_back(std::move(bytes));
    m_changed.notify_all();
}

void child_process::close_input() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_input_done = true;
    m_changed.notify_all();
}

bool child_process::wait_output(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(m_mutex);
    m_changed.wait_for(g, limit, [&] { return m_output.size() >= n || m_closed; });
    return m_output.size() >= n;
}

bool child_process::wait_output_text(std::string const& text, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(m_mutex);
    m_changed.wait_for(g, limit, [&] { return m_output.find(text) != std::string::npos || m_closed; });
    return m_output.find(text) != std::string::npos;
}

bool child_process::wait_error_text(std::string const& text, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(m_mutex);
    m_changed.wait_for(g, limit, [&] { return m_errors.find(text) != std::string::npos || m_closed; });
    return m_errors.find(text) != std::string::npos;
}

bool child_process::wait_closed(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_changed.wait_for(g, limit, [&] { return m_closed; });
}

std::string child_process::output() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_output;
}

std::string child_process::errors() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_errors;
}

void child_process::read_pipes() {
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> g(m_mutex);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? m_output : m_errors).append(buffer, size_t(n));
            }
            m_changed.notify_all();
        }
    }
    std::lock_guard<std::mutex> g(m_mutex);
    m_closed = true;
    m_changed.notify_all();
}

void child_process::write_pipe() {
    // A program that ends early must not take the test with it through SIGPIPE:
    // blocked here, the signal stays pending for this thread and write says EPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    bool broken = false;
    for (;;) {
        std::string bytes;
        {
            std::unique_lock<std::mutex> g(m_mutex);
            m_changed.wait(g, [&] { return !m_input.empty() || m_input_done; });
            if (m_input.empty()) break;
            bytes = std::move(m_input.front());
            m_input.pop_front();
        }
        for (size_t at = 0; at < bytes.size() && !broken;) {
            ssize_t n = ::write(m_in, bytes.data() + at, bytes.size() - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                broken = true;
            else
                at += size_t(n);
        }
    }
    ::close(m_in);
    timespec now{0, 0};
    while (sigtimedwait(&pipe_signal, nullptr, &now) > 0) {
    }
}

} // namespace test_support

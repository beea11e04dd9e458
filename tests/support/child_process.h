// A reference program (openssl s_server, s_client ...) run as a test peer with
// its standard input, output and error on pipes. Waits have time limits; the
// destructor ends and reaps the program. Used from the test's thread; the
// pipes are served by threads of the object's own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace test_support {

class child_process {
public:
    // argv[0] is looked up in PATH; the program runs in directory dir (empty:
    // the test's). Throws std::runtime_error when it cannot start.
    explicit child_process(std::vector<std::string> const& argv, std::string const& dir = "");
    // Closes its input, asks it to end (SIGTERM, SIGKILL after 10 s) and reaps it.
    ~child_process();
    child_process(child_process const&) = delete;
    child_process& operator=(child_process const&) = delete;

    // Queued for its standard input, written in order by a thread.
    void write_input(std::string bytes);
    // Its standard input ends once the queued bytes are written.
    void close_input();

    // Until standard output holds at least n bytes; false at the limit or
    // when the program closed it first.
    bool wait_output(size_t n, std::chrono::milliseconds limit);
    // Until standard output contains text; false at the limit or when it closed.
    bool wait_output_text(std::string const& text, std::chrono::milliseconds limit);
    // Until standard error contains text; false at the limit or when it closed.
    bool wait_error_text(std::string const& text, std::chrono::milliseconds limit);
    // Until both output pipes are closed (the program has ended, normally).
    bool wait_closed(std::chrono::milliseconds limit);

    std::string output() const;
    std::string errors() const;

private:
    void read_pipes();
    void write_pipe();

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_output, m_errors;
    bool m_closed = false; // both output pipes at their end
    std::deque<std::string> m_input;
    bool m_input_done = false;
    std::thread m_reader, m_writer;
};

} // namespace test_support

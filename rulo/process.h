// Starting programs, reading a command's output, handing links to the
// desktop, the process id and the host name.
//
// Every call may be made from any thread. A started program inherits only
// standard input, output and error of this process: every other descriptor
// is closed in the child before the program runs, and the child between fork
// and exec calls only async-signal-safe functions, so a fork taken while
// other threads hold locks cannot deadlock it.
#pragma once

#include <string>
#include <vector>

namespace rulo {
namespace process {

// Runs file (looked up through PATH when it has no "/") with args.
// timeout in seconds; -1 starts the program detached in a session of its own
// and returns at once: it is never a child of the caller, so it never becomes
// its zombie. Otherwise blocks until the program ends, whatever its exit
// status (a program that cannot be executed ends with status 1), or until the
// time-out passes, when it is killed with SIGKILL, reaped, and "system" is
// thrown. A failing fork or wait throws "system".
void system(std::string file, std::vector<std::string> const& args, long long timeout);

} // namespace process

// Runs command through /bin/sh and returns its standard output with one
// trailing "\r\n", "\n" or "\r" removed; "" when it cannot be started.
// Blocks until the command closes its output and ends. Standard error is
// this process's own.
std::string get_command_result(char const* command);

// Hands target to the desktop's opener ("/usr/bin/env xdg-open <target>"),
// detached. Throws "system" when the fork fails.
void generic_open(std::string target);
// generic_open(url); the flag has no effect.
void open_link(std::string url, bool);

// The command generic_open puts before its target. Tests point it at a
// stand-in; the default is {"/usr/bin/env", "xdg-open"}. Thread-safe.
void set_desktop_opener(std::vector<std::string> command);

int get_current_process_id();

} // namespace rulo

namespace xstd {

// The system host name split at its first ".": without one the whole name is
// the host and the domain is cleared. Throws "get_hostname" on failure.
void get_hostname(std::string& host, std::string& domain);

} // namespace xstd

// A real web proxy as a test peer, and loopback sockets to talk to it through.
// Everything here blocks, with a time limit on every wait, and is used from
// the test's own thread only. Failures throw std::runtime_error.
#pragma once

#include "tests/support/shell.h"

#include <string>
#include <sys/types.h>

namespace test_support {

// One squid on 127.0.0.1, in a scratch directory, asking for one scheme (or,
// with none, for nothing) and only tunnelling (CONNECT; with plain_http also
// GET and POST) to tunnel_port, caching off. The constructor
// returns once it accepts connections; the destructor stops and reaps it.
class squid_proxy {
public:
    enum class scheme { basic, digest, ntlm, none };

    static constexpr char const* binary = "/usr/sbin/squid";
    // Whether squid and the helper of that scheme are installed.
    static bool installed(scheme s);

    // The one account of the Basic and Digest helpers (NTLM's accepts anyone).
    // A refused configuration, or a squid that exits or does not listen in
    // time, throws with what squid wrote.
    squid_proxy(scheme s, int tunnel_port, std::string const& user, std::string const& password,
                std::string const& extra_config = "", bool plain_http = false);
    ~squid_proxy() { stop(); }
    squid_proxy(squid_proxy const&) = delete;

    int port() const { return m_port; }
    // squid's standard output/error and its cache log so far.
    std::string diagnostics() const;
    // squid's access log so far (a line per request, with the user).
    std::string access_log() const { return read_file(m_dir.file("access.log")); }

private:
    std::string start_once(std::string const& config_text); // "" once listening, else why not
    void stop();

    scratch_dir m_dir;
    std::string m_service; // squid's service name, unique to this instance
    pid_t m_pid = -1;
    int m_port = 0;
};

// A TCP socket on 127.0.0.1 whose every send, receive and accept gives up
// (throws) after 15 s, so a silent peer cannot hang a test. Port 0: listens
// on an ephemeral port; any other: connected to that port.
class loopback_socket {
public:
    explicit loopback_socket(int port);
    ~loopback_socket();
    loopback_socket(loopback_socket const&) = delete;

    int port() const; // the local port
    void send(std::string const& bytes);
    // Exactly n bytes, or with n 0 what arrives next ("" when the peer closed).
    std::string receive(size_t n = 0);
    // Listening: accepts one connection, echoes and returns its first line.
    std::string echo_one_line();

private:
    int m_fd;
};

} // namespace test_support

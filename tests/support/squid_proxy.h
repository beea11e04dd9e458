// A real web proxy as a test peer: squid started on 127.0.0.1 with a
// configuration of its own that asks for one authentication scheme, plus what
// a test needs around it on the loopback: a client socket and a one-line echo
// server that proves a CONNECT tunnel carries bytes.
//
// Everything here blocks its caller, with a time limit on every wait, and is
// used from the test's own thread only. Failures throw std::runtime_error with
// what squid wrote about them.
#pragma once

#include "tests/support/shell.h"

#include <string>
#include <sys/types.h>

namespace test_support {

// One squid process, owned by the object: started by the constructor, which
// returns once squid accepts connections, and stopped and reaped by the
// destructor. Caching is off and squid only tunnels (CONNECT) to the one port
// it is given, on the loopback. Its files live in a scratch directory.
class squid_proxy {
public:
    enum class scheme { basic, digest, ntlm };

    static constexpr char const* binary = "/usr/sbin/squid";
    // Whether squid and the helper of that scheme are installed.
    static bool installed(scheme s);

    // user/password make the one account of the Basic and Digest helpers (the
    // NTLM helper accepts anyone). extra_config is appended to the
    // configuration as it is. A configuration that squid refuses, or a squid
    // that exits or does not listen within the limit, throws with squid's
    // output and its cache log.
    squid_proxy(scheme s, int tunnel_port, std::string const& user, std::string const& password,
                std::string const& extra_config = "");
    ~squid_proxy();
    squid_proxy(squid_proxy const&) = delete;
    squid_proxy& operator=(squid_proxy const&) = delete;

    int port() const { return m_port; }
    // squid's diagnostics so far: its standard output/error and cache log.
    std::string diagnostics() const;

private:
    bool start_once(std::string const& config_text, std::string& why);
    void stop();
    void reaped();

    scratch_dir m_dir;
    std::string m_service; // squid's service name, unique to this instance
    pid_t m_pid = -1;
    int m_port = 0;
};

// A blocking TCP connection to 127.0.0.1:port. Every send and receive gives up
// (throws) after the time limit, so a silent peer cannot hang a test.
class loopback_client {
public:
    explicit loopback_client(int port, int timeout_ms = 15000);
    ~loopback_client();
    loopback_client(loopback_client const&) = delete;
    loopback_client& operator=(loopback_client const&) = delete;

    void send(std::string const& bytes);
    // What arrives next (at most 64 KiB); "" when the peer has closed.
    std::string receive_some();
    // Exactly n bytes; throws if the peer closes first.
    std::string receive_exactly(size_t n);

private:
    int m_fd = -1;
};

// Listens on 127.0.0.1 on an ephemeral port. echo_one_line accepts one
// connection (which the kernel may have queued long before), reads up to and
// including the first "\n", writes it back and closes the connection.
class echo_listener {
public:
    explicit echo_listener(int timeout_ms = 15000);
    ~echo_listener();
    echo_listener(echo_listener const&) = delete;
    echo_listener& operator=(echo_listener const&) = delete;

    int port() const { return m_port; }
    // Returns the line it echoed.
    std::string echo_one_line();

private:
    int m_fd = -1;
    int m_port = 0;
    int m_timeout_ms;
};

} // namespace test_support

// A client of the relay's HTTP tunnel written for the relay's tests from the
// client's side of the tunnel: every GET leg is a fresh connection that asks
// for the path and reads exactly the answer's Content-Length; every POST leg
// is a fresh connection announcing a random length from 500000 to 999999,
// carrying exactly that many bytes of the stream, then waiting for its
// answer. The first POST starts once the first GET's answer head is in.
//
// The stream it carries is that of a local listener: a mux_client connected
// to port() talks to the relay through the tunnel as it would directly.
// Plain POSIX sockets and two threads of its own (download, upload) besides
// the one that accepts the local client; every wait has a limit, and the
// destructor stops and joins them all. The accessors may be called from any
// thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace relay_test {

class tunnel_bridge {
public:
    struct settings {
        unsigned short port = 0;  // where the legs connect (the relay, or a web proxy)
        std::string path;         // "/webaccess/..." of every leg
        bool absolute = false;    // request lines name "http://<host>" + path
        std::string host;         // the Host field and the authority of an absolute target
        std::string extra_fields; // lines ending in CR LF added to every request
    };
    explicit tunnel_bridge(settings s);
    ~tunnel_bridge();
    tunnel_bridge(tunnel_bridge const&) = delete;
    tunnel_bridge& operator=(tunnel_bridge const&) = delete;

    unsigned short port() const { return m_local_port; }

    // The GET answer heads as received, the body sizes of the GET legs that
    // completed, the announced lengths of the POST legs that were answered,
    // and what went wrong ("" while nothing did).
    std::vector<std::string> get_heads() const;
    std::vector<std::size_t> get_bodies() const;
    std::vector<std::size_t> post_lengths() const;
    std::string error() const;

private:
    void accept_loop();
    void down_loop();
    void up_loop();
    int open_leg();
    std::string request_line(char const* method) const;
    void fail(std::string const& what);

    settings m_settings;
    int m_listen = -1, m_local = -1;
    unsigned short m_local_port = 0;
    std::atomic<bool> m_stop{false}, m_up_started{false};
    std::thread m_acceptor, m_down, m_up;
    mutable std::mutex m_mutex; // guards the records below
    std::vector<std::string> m_get_heads;
    std::vector<std::size_t> m_get_bodies, m_post_lengths;
    std::string m_error;
};

} // namespace relay_test

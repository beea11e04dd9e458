// A session leg joined to a plain TCP port instead of the other end's leg,
// for tests that put a tool of their own (a TLS client or server, say) in
// the other end's place: the leg's bytes go to the socket, the socket's come
// back on the leg. The port is either one the relay listens on (loopback,
// one connection taken) or one it connects to. Used on the relay's one I/O
// thread; held by the session's end, and by its own pending handlers.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace relay {

class connection;
class event_log;

class leg_port : public std::enable_shared_from_this<leg_port> {
public:
    leg_port(asio::io_context& io, event_log& log, std::string sid);

    // Listens on a loopback port (returned) and takes its first connection.
    unsigned short listen();
    // Connects to 127.0.0.1:port.
    void connect(unsigned short port);

    // The leg to join; bytes either side sent before are delivered now.
    void attach(std::shared_ptr<connection> const& c, std::uint64_t channel);
    bool attached() const { return m_channel != 0; }
    bool attached_to(std::uint64_t conn_id, std::uint64_t channel) const;
    bool closed() const { return m_closed; }

    // Bytes the leg sent.
    void from_leg(std::string_view bytes);
    // Ends the port; the leg gets channel-closed unless tell_leg is false.
    void close(std::string const& reason, bool tell_leg = true);

private:
    void start_socket();
    void read();
    void write();
    void to_leg(std::string_view bytes);

    event_log& m_log;
    std::string m_sid;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ip::tcp::socket m_socket;
    bool m_connected = false, m_writing = false, m_closed = false;
    std::deque<std::string> m_out;
    std::size_t m_out_bytes = 0;
    std::string m_to_leg; // socket bytes before the leg is attached
    std::weak_ptr<connection> m_conn;
    std::uint64_t m_conn_id = 0, m_channel = 0;
    char m_buf[64 * 1024];
};

} // namespace relay

#include "tools/relay/leg_port.h"

#include "tools/relay/connection.h"
#include "tools/relay/event_log.h"
#include "tools/relay/relay_server.h"

namespace relay {

leg_port::leg_port(asio::io_context& io, event_log& log, std::string sid)
    : m_log(log), m_sid(std::move(sid)), m_acceptor(io), m_socket(io) {}

unsigned short leg_port::listen() {
    asio::ip::tcp::endpoint ep(asio::ip::address_v4::loopback(), 0);
    m_acceptor.open(ep.protocol());
    m_acceptor.bind(ep);
    m_acceptor.listen(1);
    m_acceptor.async_accept(m_socket, [self = shared_from_this()](asio::error_code ec) {
        asio::error_code ignored;
        self->m_acceptor.close(ignored);
        if (ec) return self->close("accept failed: " + ec.message());
        self->start_socket();
    });
    return m_acceptor.local_endpoint().port();
}

void leg_port::connect(unsigned short port) {
    m_socket.async_connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port),
                           [self = shared_from_this()](asio::error_code ec) {
                               if (ec) return self->close("connect failed: " + ec.message());
                               self->start_socket();
                           });
}

void leg_port::start_socket() {
    if (m_closed) return;
    m_connected = true;
    event_log::line(m_log, "leg-port-up").str("sid", m_sid);
    write();
    read();
}

void leg_port::attach(std::shared_ptr<connection> const& c, std::uint64_t channel) {
    m_conn = c;
    m_conn_id = c->id();
    m_channel = channel;
    if (!m_to_leg.empty()) to_leg(std::exchange(m_to_leg, {}));
}

bool leg_port::attached_to(std::uint64_t conn_id, std::uint64_t channel) const {
    return !m_closed && m_conn_id == conn_id && m_channel == channel;
}

void leg_port::from_leg(std::string_view bytes) {
    if (m_closed) return;
    // The tool at the port reads far faster than a test sends; past this it is stuck.
    if (m_out_bytes + bytes.size() > output_high_water) return close("port does not read");
    m_out.emplace_back(bytes);
    m_out_bytes += bytes.size();
    write();
}

void leg_port::to_leg(std::string_view bytes) {
    if (!attached()) {
        if (m_to_leg.size() + bytes.size() > max_unpaired_leg_bytes) return close("leg buffer full");
        m_to_leg.append(bytes);
        return;
    }
    auto c = m_conn.lock();
    if (!c || !c->is_open_leg(m_channel)) return close("leg ended");
    c->leg_data(m_channel, bytes);
}

void leg_port::read() {
    m_socket.async_read_some(
        asio::buffer(m_buf), [self = shared_from_this()](asio::error_code ec, std::size_t n) {
            if (self->m_closed) return;
            if (ec) return self->close(ec == asio::error::eof ? "port closed" : ec.message());
            self->to_leg(std::string_view(self->m_buf, n));
            self->read();
        });
}

void leg_port::write() {
    if (!m_connected || m_writing || m_out.empty() || m_closed) return;
    m_writing = true;
    asio::async_write(m_socket, asio::buffer(m_out.front()),
                      [self = shared_from_this()](asio::error_code ec, std::size_t) {
                          self->m_writing = false;
                          if (self->m_closed) return;
                          if (ec) return self->close(ec.message());
                          self->m_out_bytes -= self->m_out.front().size();
                          self->m_out.pop_front();
                          self->write();
                      });
}

void leg_port::close(std::string const& reason, bool tell_leg) {
    if (m_closed) return;
    auto self = shared_from_this(); // telling the leg may drop the session's hold on this
    m_closed = true;
    event_log::line(m_log, "leg-port-closed").str("sid", m_sid).str("reason", reason);
    asio::error_code ignored;
    m_acceptor.close(ignored);
    m_socket.close(ignored);
    m_out.clear();
    if (auto c = m_conn.lock(); c && tell_leg) c->send_channel_closed(m_channel);
}

} // namespace relay

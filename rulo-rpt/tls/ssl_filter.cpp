#include "rulo-rpt/tls/ssl_filter.h"

#include "rulo-rpt/rptTransport.h"
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo/exception.h"

#include <exception>

namespace rulo {

namespace {

// The engine's transport and sink at once: keeps what the engine sends down
// and what it delivers up until the filter hands it over.
class ssl_filter_sink : public rptTransportSink, public rptTransport {
public:
    // As the engine's sink.
    void received(netbuf const& data) override { plaintext_in.append(data); }
    void broken() override { is_broken = true; }
    void queue_empty() override {}

    // As the engine's transport.
    void send(netbuf const& data) override { ciphertext_out.append(data); }
    void disconnect() override {}
    void set_sink(object<rptTransportSink>) override {}
    void no_delay() override {}
    int64_t last_received() override { return 0; }
    void ioctl(std::string const&, std::string&) override {}

    bool is_broken = false;
    netbuf ciphertext_out;
    netbuf plaintext_in;
};

netbuf take(netbuf& from) {
    netbuf out;
    out.swap(from);
    return out;
}

class ssl_filter : public SSLFilter {
public:
    ssl_filter(object<ssl_filter_sink> collector, object<rptXYSSL> engine)
        : m_collector(collector), m_engine(engine) {}

    ~ssl_filter() override {
        try {
            m_engine->disconnect();
        } catch (std::exception const&) {
        }
    }

    netbuf write(netbuf const& plaintext) override {
        check();
        m_engine->send(plaintext);
        check();
        return take(m_collector->ciphertext_out);
    }

    // Plaintext that came in the same piece as the peer's close (or a failure)
    // is handed over first; the next call reports the end.
    netbuf read(netbuf const& ciphertext) override {
        check();
        m_engine->received(ciphertext);
        netbuf plaintext = take(m_collector->plaintext_in);
        if (plaintext.empty()) check();
        return plaintext;
    }

    netbuf flush() override {
        check();
        return take(m_collector->ciphertext_out);
    }

    bool handshake_done() override { return m_engine->handshake_done(); }

private:
    void check() {
        if (m_collector->is_broken) throw exception::function("check_error");
    }

    object<ssl_filter_sink> m_collector;
    object<rptXYSSL> m_engine;
};

} // namespace

object<SSLFilter> xyssl_create_filter(object<xyssl_ctx> ctx, bool server) {
    object<ssl_filter_sink> collector(new ssl_filter_sink);
    object<rptXYSSL> engine(new rptXYSSL(collector, ctx, server));
    engine->start(collector);
    return object<SSLFilter>(new ssl_filter(collector, engine));
}

void xyssl_enable_on_socket(socket* s, object<xyssl_ctx> ctx, bool server) {
    if (s->has_ssl_filter()) throw exception::function("xyssl_enable_on_socket");
    s->set_ssl_filter(xyssl_create_filter(ctx, server));
}

void ssl_connect_if_supported(long seconds, object<socket> s, netbuf& received) {
    object<xyssl_ctx> ctx(new xyssl_ctx);
    ctx->set_verify_peer(false);
    xyssl_enable_on_socket(s.get(), ctx, false);
    s->wait_for_ssl_handshake(seconds, received);
}

} // namespace rulo

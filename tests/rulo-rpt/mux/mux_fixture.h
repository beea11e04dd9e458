// What the multiplexer tests share: a temporary HOME for the per-key store,
// the relay's certificates, a recording multiplexer sink, and a connection
// made of an in-memory pair with a relay end on one side.
#pragma once

#include "rulo-rpt/mux/rptMux.h"
#include "tests/rulo-rpt/mux/relay_end.h"
#include "tests/support/memory_transport.h"
#include "tests/support/shell.h"
#include "tests/support/tls_certs.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace mux_test {

// HOME points into a scratch directory while the object lives.
class temporary_home {
public:
    temporary_home() {
        char const* old = std::getenv("HOME");
        m_had = old != nullptr;
        if (old) m_old = old;
        setenv("HOME", m_dir.path().c_str(), 1);
    }
    ~temporary_home() {
        if (m_had)
            setenv("HOME", m_old.c_str(), 1);
        else
            unsetenv("HOME");
    }
    std::string const& path() const { return m_dir.path(); }

private:
    test_support::scratch_dir m_dir;
    std::string m_old;
    bool m_had = false;
};

inline test_support::tls_certs const& certs() {
    return test_support::tls_certs::get();
}

// A second self-signed relay certificate and its key, made once with openssl.
struct other_relay_cert {
    std::string cert, key;
};
inline other_relay_cert const& other_cert() {
    static test_support::scratch_dir dir;
    static other_relay_cert const made = [] {
        other_relay_cert c{dir.file("other.pem"), dir.file("other.key")};
        auto r = test_support::run_command(
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other.relay"
            " -keyout " +
            test_support::shell_quote(c.key) + " -out " + test_support::shell_quote(c.cert) + " 2>&1");
        if (r.status != 0) throw std::runtime_error("openssl: " + r.out);
        return c;
    }();
    return made;
}

// The connection data a relay sends: its grid and its certificate.
inline std::map<std::string, std::string> grid_data(std::string const& cert_pem,
                                                    std::string const& grid = "Test Grid") {
    return {{"grid_id", "g-17"}, {"grid_name", grid}, {"cp_protocol", "3"}, {"key_cs", cert_pem}};
}

// A relay configured with the self-signed certificate (the usual one).
inline relay_end::config relay_config() {
    relay_end::config c;
    c.cert_file = certs().self_signed_cert;
    c.key_file = certs().self_signed_key;
    c.data = grid_data(test_support::read_file(certs().self_signed_cert));
    return c;
}

// Records the multiplexer's events for the test thread.
class mux_sink : public rulo::rptMuxSink {
public:
    void queue_empty() override {}
    void broken() override {
        note([&] { ++m_broken; });
    }
    void received(long long id, netbuf& data) override {
        note([&] { m_bytes[id] += data.to_string(); });
    }
    void channel_error(long long id, std::string text) override {
        note([&] { m_errors[id] = text; });
    }
    void channel_closed(long long id) override {
        note([&] { ++m_closed[id]; });
    }
    void pong(netbuf const& data) override {
        note([&] { m_pongs += data.to_string(); });
    }

    int broken_count() const {
        return read([&] { return m_broken; });
    }
    std::string bytes(long long id) const {
        return read([&] { return m_bytes.count(id) ? m_bytes.at(id) : std::string(); });
    }
    std::string error(long long id) const {
        return read([&] { return m_errors.count(id) ? m_errors.at(id) : std::string(); });
    }
    int closed(long long id) const {
        return read([&] { return m_closed.count(id) ? m_closed.at(id) : 0; });
    }
    std::string pongs() const {
        return read([&] { return m_pongs; });
    }

    bool wait_for(std::function<bool()> const& done, int64_t ms = 30000) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto const limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            uint64_t const seen = m_version;
            lock.unlock();
            bool const ok = done();
            lock.lock();
            if (ok) return true;
            if (m_version == seen && m_changed.wait_until(lock, limit) == std::cv_status::timeout) {
                lock.unlock();
                return done();
            }
        }
    }

private:
    template <class F>
    void note(F f) {
        std::lock_guard<std::mutex> lock(m_mutex);
        f();
        ++m_version;
        m_changed.notify_all();
    }
    template <class F>
    auto read(F f) const -> decltype(f()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    uint64_t m_version = 0;
    int m_broken = 0;
    std::map<long long, std::string> m_bytes;
    std::map<long long, std::string> m_errors;
    std::map<long long, int> m_closed;
    std::string m_pongs;
};

// An in-memory connection: the pair, the relay end on side b, and side a
// ready for a multiplexer (the caller sets a's sink).
struct relay_link {
    explicit relay_link(relay_end::config c, test_support::memory_transport_pair::options o = {})
        : pair(o), relay(new relay_end(pair.b, std::move(c))) {
        pair.b->set_sink(relay);
    }
    test_support::memory_transport_pair pair;
    rulo::object<relay_end> relay;
};

// The text of the exception f throws: a rulo::exception's text, "georeconnect", or "".
template <class F>
std::string failure_of(F&& f) {
    try {
        f();
    } catch (rulo::rptMux::georeconnect const&) {
        return "georeconnect";
    } catch (rulo::exception const& e) {
        return e.what();
    }
    return "";
}

} // namespace mux_test

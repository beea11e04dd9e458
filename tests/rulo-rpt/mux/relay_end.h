// A small relay end for the multiplexer tests, written from the protocol as
// the relay speaks it: it reads the "MUXV2" request head, answers it as
// configured, then reads and writes frames, answers channel-0 commands and
// plays the TLS server of channel 1 with our server engine (rptXYSSL).
//
// It sits on one end of an in-memory transport pair; the multiplexer under
// test sits on the other. Its frame reader and writer are its own (not the
// multiplexer's), so the wire format is checked from the outside.
//
// Threads: the transport calls it with the framework lock held; the test
// thread reads what it recorded and waits on it through its own mutex, which
// is never held while it calls out.
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo-rpt/tls/rptXYSSL.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace mux_test {

// LEB128 and frames as the relay writes and reads them.
std::string leb128(unsigned long long value);
std::string frame(long long id, std::string const& payload);

class relay_end : public rptTransportSink {
public:
    struct config {
        bool silent = false; // never answer the head
        int status = 200;
        std::string protocol = "MUXV2";
        std::map<std::string, std::string> data;                       // packed into "Connection-Data"
        std::vector<std::pair<std::string, std::string>> extra_fields; // more reply fields
        std::string raw_reply;                                         // when set, sent instead
        std::string cert_file, key_file;                               // the TLS server's
        std::string key_hash = "hash-1";         // the current hash; a client sending it gets "cached"
        std::map<std::string, std::string> keys; // more entries of a "connection-keys" answer
        bool answer_keys = true;                 // false: never answer "connection-keys"
        bool answer_pings = true;
        // Sent on a channel right behind its "open", through TLS when secure.
        std::string greeting;
        bool trickle = false; // send the reply one byte a time
        // Sent right behind the reply head, in the same delivery.
        std::string after_head;
    };

    struct opened {
        long long id;
        std::string name;
        bool secure;
        bool via_tls;
    };

    // transport must outlive this object (the test's pair holds it).
    relay_end(rulo::object<rptTransport> transport, config c);
    ~relay_end() override;

    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override {}

    // Send a control packet or channel data, inside TLS or plainly.
    void send_control(netbuf const& packet, bool via_tls);
    void send_data(long long id, std::string const& bytes, bool via_tls);
    void send_raw(std::string const& bytes);

    std::string head() const;
    std::vector<opened> opens() const;
    std::vector<std::string> key_requests() const; // the hashes, in order
    int pings() const;
    int plain_data_frames(long long id) const; // data frames for id outside TLS
    std::string channel_bytes(long long id) const;
    bool ended() const;
    bool tls_up() const;

    // True once the condition holds; false after ms.
    bool wait_for(std::function<bool()> const& done, int64_t ms = 30000) const;

private:
    class nest;
    class tls_lower;
    class tls_upper;
    void on_frame(long long id, std::string const& payload, bool via_tls);
    void on_control(netbuf packet, bool via_tls);
    void start_tls();
    void changed();
    void flush_out();

    config const m_config;
    rptTransport* m_transport;
    std::string m_in;        // received, not yet taken
    std::string m_secure_in; // plaintext of channel 1, not yet taken
    bool m_head_done = false;
    int m_depth = 0;   // calls of the relay in progress
    std::string m_out; // sent inside them, leaves after the outermost
    rulo::object<rulo::rptXYSSL> m_tls;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::string m_head;
    std::vector<opened> m_opens;
    std::vector<std::string> m_key_requests;
    int m_pings = 0;
    std::map<long long, int> m_plain_frames;
    std::map<long long, std::string> m_bytes;
    bool m_ended = false;
    bool m_tls_up = false;
    uint64_t m_version = 0; // counts changes, so a waiter misses none
};

} // namespace mux_test

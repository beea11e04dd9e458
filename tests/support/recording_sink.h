// A transport sink for tests: records what a transport delivers and lets the
// test thread wait for it.
//
// Threads: the transport calls received / broken / queue_empty on its own
// thread (a poller or delivery thread, with the framework lock held); the test
// thread reads and waits from outside without the framework lock. Everything
// is guarded by the sink's own mutex, never held while a hook runs, so a hook
// may call back into the transport.
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo/hash.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace test_support {

class recording_sink : public rptTransportSink {
public:
    // Waits give up after this long: far more than any loopback event needs.
    static constexpr int64_t generous_ms = 30000;

    // Runs inside received(), after the bytes are recorded (set it before the
    // transport starts). The sink passes the call on to it and nothing else.
    std::function<void(netbuf const&)> on_received;
    // With keep_bytes false only the count and a running digest are kept,
    // for streams too long to hold.
    explicit recording_sink(bool keep_bytes = true);

    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;

    std::string bytes() const;
    std::size_t byte_count() const;
    // SHA-512 of the bytes received since the last call (both modes); a test
    // takes it once, after the whole stream arrived.
    std::string digest();
    int broken_count() const;
    int queue_empty_count() const;
    // Events that arrived after broken(): received or queue_empty. Must stay 0.
    int events_after_broken() const;

    // True once the condition holds; false when the limit ran out first.
    bool wait_for_bytes(std::size_t count, int64_t ms = generous_ms) const;
    bool wait_for_broken(int64_t ms = generous_ms) const;
    bool wait_for_queue_empty(int count, int64_t ms = generous_ms) const;

private:
    bool wait(std::function<bool()> const& done, int64_t ms) const;

    bool const m_keep;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::string m_bytes;
    std::size_t m_count = 0;
    xstd::sha512 m_sha;
    int m_broken = 0;
    int m_queue_empty = 0;
    int m_after_broken = 0;
};

} // namespace test_support

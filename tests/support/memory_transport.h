// Two connected in-memory transports, the stand-in for a socket pair under
// the layers that stack on rptTransport.
//
// What end a sends arrives at end b's sink and back, in order. The pair can
// cut every send into random pieces (the stream is cut anywhere, as a real
// one is) and deliver from a thread of its own (as a poller does), and it can
// be broken on command: each end's sink then gets broken() once.
//
// Threads and locks, as the transports of the program keep them: every sink
// call runs with the framework lock held, on the sender's thread (inline
// delivery) or on the pair's delivery thread. A sink may call back into
// either end from inside any call. After broken() nothing reaches that sink.
// A disconnect() of one end drops that end's sink silently and ends the
// other end with broken(), after the bytes sent before it.
//
// Ownership: the ends are rulo::object handles; they share the link state
// with the pair and with each other, so any of them may go first. The pair's
// destructor stops the delivery thread (what is still queued is dropped).
#pragma once

#include "rulo-rpt/rptTransport.h"

#include <cstdint>
#include <memory>
#include <thread>

namespace test_support {

struct memory_link;

class memory_transport : public rptTransport {
public:
    memory_transport(std::shared_ptr<memory_link> link, int side);

    // Throws the function exception "send" once this end has ended.
    void send(netbuf const& data) override;
    void disconnect() override;
    void set_sink(rulo::object<rptTransportSink> sink) override;
    void no_delay() override;
    int64_t last_received() override;
    // Answers nothing: throws the function exception "ioctl", as a transport
    // without a socket below does.
    void ioctl(std::string const& key, std::string& value) override;

    int no_delay_calls() const;

private:
    std::shared_ptr<memory_link> m_link;
    int m_side;
};

class memory_transport_pair {
public:
    struct options {
        bool random_pieces = false; // cut each send into pieces of 1 to 64 bytes
        bool threaded = false;      // deliver from the pair's own thread
        unsigned seed = 1;          // of the cuts
    };

    memory_transport_pair();
    explicit memory_transport_pair(options const& o);
    ~memory_transport_pair();
    memory_transport_pair(memory_transport_pair const&) = delete;
    memory_transport_pair& operator=(memory_transport_pair const&) = delete;

    rulo::object<memory_transport> a;
    rulo::object<memory_transport> b;

    // Ends both transports as a failing link does: each sink gets broken()
    // once, after what was already queued for it.
    void break_link();
    // True once everything sent so far has been delivered (at once when
    // delivery is inline); false when the limit ran out first.
    bool wait_delivered(int64_t ms = 30000);

private:
    std::shared_ptr<memory_link> m_link;
    std::thread m_thread;
};

} // namespace test_support

// A client session with the relay server run as a process (tovan_relay, the
// tree's own build): a scratch HOME for the per-key store that pins the
// relay's certificate, the relay on 127.0.0.1, and the relay mux client
// connected through the chooser's direct attempt with its procedure channel
// on the scheduler pool, as the desk starts it. The relay logs nothing
// (--log /dev/null), so a benchmark measures the way through it, not its
// event log.
#pragma once

#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/mux/rptSRMux.h"
#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo/scheduler.h"
#include "tests/support/relay_process.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace bench_support {

// Calls from the relay are answered empty.
class empty_answer_sink : public rulo::rpcWrapperSink {
public:
    void func(netbuf const&, rulo::object<reply>) override {}
};

class relay_stand {
public:
    // Starts the relay with options and connects; connected() tells whether
    // the session came up. The relay's start may throw std::runtime_error.
    explicit relay_stand(std::vector<std::string> options = {}) {
        char pattern[] = "/tmp/relay_bench_XXXXXX";
        if (::mkdtemp(pattern)) m_home = pattern;
        ::setenv("HOME", m_home.c_str(), 1);
        options.insert(options.end(), {"--log", "/dev/null"});
        m_relay = std::make_unique<test_support::relay_process>(options);
        std::string last_success;
        rulo::AutoTransport chooser(
            {{"connect", "127.0.0.1:" + std::to_string(m_relay->port())}, {"force", "direct"}}, last_success);
        m_connected = sr->start_and_wait(30, rulo::scheduler_pool(), chooser,
                                         rulo::object<rulo::rpcWrapperSink>(new empty_answer_sink), false,
                                         "o.lan", "t.lan", "", "");
        // Calls and their answers are small: they leave at once, as the desk's do.
        if (m_connected) sr->get_rpc_wrapper()->get_rptTransport()->no_delay();
    }
    ~relay_stand() {
        sr->disconnect();
        m_relay.reset();
        std::error_code ec;
        if (!m_home.empty()) std::filesystem::remove_all(m_home, ec);
    }
    relay_stand(relay_stand const&) = delete;
    relay_stand& operator=(relay_stand const&) = delete;

    bool connected() const { return m_connected; }
    test_support::relay_process& relay() { return *m_relay; }

    rulo::object<rulo::rptSRMux> sr{new rulo::rptSRMux};

private:
    std::string m_home;
    std::unique_ptr<test_support::relay_process> m_relay;
    bool m_connected = false;
};

} // namespace bench_support

// Two reliable-channel ends that meet through tovan_relay, as the program's
// session host connects them: each connect makes a fresh relay connection
// (rptSRMux over a TCP socket), opens a "VYNL2" session leg on it, runs the
// end-to-end TLS over the leg (the desk is the TLS server with the DH suites
// and its certificate, the client checks it against the test CA) and a
// session channel on top. The relay, started with --pair-unbound, joins the
// two legs byte for byte.
//
// Breaks come from the relay's side, through its admin interface: either the
// whole connection of one end is dropped, or one end's leg is closed; the
// relay then closes the partner leg too, so both ends see "broken".
//
// Threads: the factories run on the channels' worker threads; break_link and
// everything else on the thread that owns the relay_process.
#pragma once

#include "tests/rulo-rpt/channel/soak.h"
#include "tests/support/relay_process.h"
#include "tests/support/shell.h"

#include <memory>
#include <string>

namespace safe_kit {

class relay_link : public soak_link {
public:
    // Points HOME into a scratch directory (the multiplexer stores the
    // relay's key hash there) while the link lives.
    explicit relay_link(test_support::relay_process& relay);
    ~relay_link() override;

    rulo::object<rulo::rptChannelFactory> factory(int side) override;
    // Even picks drop one end's relay connection, odd ones close its leg;
    // the end is chosen by the next bit.
    void break_link(unsigned pick) override;
    std::size_t connections() override;
    void shutdown() override;

    class end_factory;

private:
    test_support::relay_process& m_relay;
    test_support::scratch_dir m_home;
    std::string m_old_home;
    bool m_had_home = false;
    rulo::object<end_factory> m_ends[2];
};

} // namespace safe_kit

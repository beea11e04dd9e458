// The multiplexer against a relay end on an in-memory pair: the handshake
// head, the replies that fail it, pinning of the server certificate, the
// frame limits, and what may arrive outside TLS.
#include "rulo-rpt/mux/connection_def.h"
#include "rulo-rpt/mux/rptMux.h"
#include "rulo/config_store.h"
#include "rulo/lock.h"
#include "rulo/packet.h"
#include "tests/rulo-rpt/mux/mux_fixture.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace mux_test;
using rulo::object;
using rulo::rptMux;

namespace {

struct client {
    explicit client(relay_link& l, std::string original = "o.lan", std::string target = "t.lan",
                    std::string additional = "", std::string keys = "", bool geo = false)
        : l(l), sink(new mux_sink),
          mux(new rptMux(sink, original, target, additional, keys, xstd::storage_user)) {
        if (geo) mux->allow_georeconnect();
        l.pair.a->set_sink(mux);
    }
    ~client() { mux->disconnect(); }
    std::string start(long timeout = 30) {
        return failure_of([&] { mux->start_and_wait(l.pair.a, timeout); });
    }
    // Opens a channel and waits until the relay has seen the "open".
    long long open(std::string const& name, bool secure) {
        long long id = mux->open_channel(name, secure);
        EXPECT_TRUE(l.relay->wait_for(
            [&] { return l.relay->opens().size() > 0 && l.relay->opens().back().id == id; }));
        return id;
    }
    relay_link& l;
    object<mux_sink> sink;
    object<rptMux> mux;
};

std::string const start_failed = ":Error in 'start_and_wait'";

std::string stored(std::string const& grid, std::string const& name) {
    return xstd::get_config_string_ex(xstd::storage_user, "Grid\\" + grid + "\\" + name);
}

TEST(rptMux, RequestHeadForEachGeoreconnectCase) {
    struct row {
        char const* what;
        bool allow;
        char const* target;
        char const* saved_ip; // saved for the original target "*.relay.lan"
        char const* additional;
        char const* lines; // between "Connection-Data: 1" and the target lines
    } const rows[] = {
        {"not allowed", false, "*.relay.lan", "198.51.100.7", "", ""},
        {"no wildcard", true, "r1.relay.lan", "198.51.100.7", "", ""},
        {"a server address", true, "server1*.relay.lan", "198.51.100.7", "", ""},
        {"no saved address", true, "*.relay.lan", "", "", "Check-Last-Public-Ip: ?\r\n"},
        {"a saved non-address", true, "*.relay.lan", "nowhere", "", "Check-Last-Public-Ip: ?\r\n"},
        {"a saved address", true, "*.relay.lan", "198.51.100.7", "",
         "Check-Last-Public-Ip: 198.51.100.7\r\n"},
        {"\"server\" without a digit", true, "serverx*.relay.lan", "", "", "Check-Last-Public-Ip: ?\r\n"},
        {"a service", false, "t.lan", "", "1700:svc7.relay.lan/a.lan,b.lan", "Service: svc7.relay.lan\r\n"},
        {"a malformed additional", false, "t.lan", "", "svc7/1700:a", ""},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        temporary_home home;
        if (*r.saved_ip)
            xstd::set_config_string_ex(xstd::storage_user, "AutoTransport/Last public IP/.relay.lan",
                                       r.saved_ip, xstd::storage_disk);
        relay_end::config c = relay_config();
        c.status = 403;
        relay_link l(c);
        client cl(l, "*.relay.lan", r.target, r.additional, "", r.allow);
        EXPECT_EQ(cl.start(), start_failed);
        EXPECT_EQ(l.relay->head(), std::string("MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n") + r.lines +
                                       "Connection-Target-Original: *.relay.lan\r\nConnection-Target: " +
                                       r.target + "\r\n\r\n");
    }
}

TEST(rptMux, TargetsThatWouldForgeHeadLinesAreRefused) {
    temporary_home home;
    relay_link l(relay_config());
    client cl(l, "o.lan", "t.lan\r\nX-Forged: 1");
    EXPECT_EQ(cl.start(), start_failed);
    EXPECT_EQ(l.relay->head(), "");
    EXPECT_TRUE(l.relay->ended());
}

// Every failing exit of start_and_wait ends the connection: the relay sees
// it close and the sink gets broken() once.
TEST(rptMux, FailedHandshakesDisconnect) {
    // Long lines, few of them: within the head parser's own line limits.
    std::string padding;
    for (int i = 0; i < 5; ++i) padding += "X-Pad: " + std::string(15000, 'x') + "\r\n";
    struct row {
        char const* what;
        std::function<void(relay_end::config&)> setup;
        long timeout;
        std::string error;
    } const rows[] = {
        {"403", [](relay_end::config& c) { c.status = 403; }, 30, start_failed},
        {"MUXV3", [](relay_end::config& c) { c.protocol = "MUXV3"; }, 30, start_failed},
        {"a silent relay", [](relay_end::config& c) { c.silent = true; }, 1, start_failed},
        {"a request for a reply", [](relay_end::config& c) { c.raw_reply = "MUXV2 / HTTP/1.0\r\n\r\n"; }, 30,
         start_failed},
        {"a malformed head",
         [](relay_end::config& c) { c.raw_reply = "HTTP/1.0 200 OK\r\nno colon\r\n\r\n"; }, 30, start_failed},
        {"a head above 64 KiB that never ends",
         [&](relay_end::config& c) { c.raw_reply = "HTTP/1.0 200 OK\r\nProtocol: MUXV2\r\n" + padding; }, 600,
         start_failed},
        {"bad Connection-Data",
         [](relay_end::config& c) {
             c.raw_reply = "HTTP/1.0 200 OK\r\nProtocol: MUXV2\r\nConnection-Data: !!\r\n\r\n";
         },
         30, start_failed},
        {"no certificate", [](relay_end::config& c) { c.data.erase("key_cs"); }, 30,
         ":Error in 'get_ssl_filter'"},
        {"a certificate that does not parse",
         [](relay_end::config& c) { c.data["key_cs"] = "not a certificate"; }, 30,
         ":Error in 'get_ssl_filter'"},
        // Only that very certificate passes: not another one with the same
        // name, nor one its own CA issued.
        {"the relay presents another certificate",
         [](relay_end::config& c) { c.data["key_cs"] = test_support::read_file(certs().server_cert); }, 30,
         start_failed},
        {"no keys answer, a silent relay",
         [](relay_end::config& c) {
             c.answer_keys = false;
             c.answer_pings = false;
         },
         30, start_failed},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        temporary_home home;
        relay_end::config c = relay_config();
        r.setup(c);
        relay_link l(c);
        client cl(l);
        cl.mux->ping_interval_ms = 20;
        cl.mux->silence_limit_ms = 200;
        auto result = std::async(std::launch::async, [&] { return cl.start(r.timeout); });
        if (result.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "start_and_wait did not end";
            cl.mux->disconnect();
        }
        EXPECT_EQ(result.get(), r.error);
        EXPECT_TRUE(l.relay->wait_for([&] { return l.relay->ended(); }));
        EXPECT_EQ(cl.sink->broken_count(), 1);
    }
}

TEST(rptMux, ReplyOneByteAtATimeAndFramesBehindIt) {
    temporary_home home;
    relay_end::config c = relay_config();
    c.trickle = true;
    // A plain frame right behind the head, in the same delivery as its end.
    c.after_head = frame(9, "early");
    relay_link l(c);
    client cl(l);
    ASSERT_EQ(cl.start(), "");
    EXPECT_TRUE(cl.sink->wait_for([&] { return cl.sink->bytes(9) == "early"; }));
    EXPECT_EQ(cl.mux->connection_data().at("grid_id"), "g-17");
}

TEST(rptMux, ServerCertificateIsPinnedPerGrid) {
    temporary_home home;
    std::string const mine = test_support::read_file(certs().self_signed_cert);
    std::string const other = test_support::read_file(other_cert().cert);
    {
        // First contact: the certificate is taken and saved; the relay's
        // keys, including a "key_cs" of its own, are saved except that one.
        relay_end::config c = relay_config();
        c.keys = {{"key_cs", other}, {"key_extra", "x1"}, {"plain", "not saved"}};
        relay_link l(c);
        client cl(l);
        ASSERT_EQ(cl.start(), "");
        EXPECT_EQ(cl.mux->connection_keys().at("key_cs"), mine);
        EXPECT_EQ(cl.mux->connection_keys().at("key_hash"), "hash-1");
        EXPECT_EQ(l.relay->key_requests(), std::vector<std::string>{""});
        EXPECT_EQ(stored("Test Grid", "key_cs"), mine);
        EXPECT_EQ(stored("Test Grid", "key_hash"), "hash-1");
        EXPECT_EQ(stored("Test Grid", "key_extra"), "x1");
        EXPECT_EQ(stored("Test Grid", "plain"), "");
        EXPECT_EQ(stored("Test Grid", "grid_id"), "g-17");
    }
    {
        // The next connection sends the stored hash and gets "cached".
        relay_link l(relay_config());
        client cl(l);
        ASSERT_EQ(cl.start(), "");
        EXPECT_EQ(l.relay->key_requests(), std::vector<std::string>{"hash-1"});
    }
    {
        // A relay of the same grid with another certificate (and saying so
        // in its reply) fails the TLS relay_link.
        relay_end::config c = relay_config();
        c.cert_file = other_cert().cert;
        c.key_file = other_cert().key;
        c.data = grid_data(other);
        relay_link l(c);
        client cl(l);
        EXPECT_EQ(cl.start(), start_failed);
        EXPECT_TRUE(l.relay->ended());
        EXPECT_EQ(stored("Test Grid", "key_cs"), mine);
    }
    {
        // Another grid is another pin.
        relay_end::config c = relay_config();
        c.cert_file = other_cert().cert;
        c.key_file = other_cert().key;
        c.data = grid_data(other, "Other Grid");
        relay_link l(c);
        client cl(l);
        EXPECT_EQ(cl.start(), "");
        EXPECT_EQ(stored("Other Grid", "key_cs"), other);
    }
}

// The relay's certificate sent as key_cs is what its TLS end must present,
// byte for byte, whatever form it came in and whoever issued it.
TEST(rptMux, PinnedCertificateInEachForm) {
    test_support::scratch_dir dir;
    std::string const der = dir.file("cert.der");
    ASSERT_EQ(test_support::run_command("openssl x509 -in " +
                                        test_support::shell_quote(certs().self_signed_cert) +
                                        " -outform DER -out " + test_support::shell_quote(der))
                  .status,
              0);
    struct row {
        char const* what;
        std::string cert, key, key_cs;
    } const rows[] = {
        {"self-signed, DER", certs().self_signed_cert, certs().self_signed_key, test_support::read_file(der)},
        {"issued by a CA, PEM", certs().server_cert, certs().server_key,
         test_support::read_file(certs().server_cert)},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        temporary_home home;
        relay_end::config c = relay_config();
        c.cert_file = r.cert;
        c.key_file = r.key;
        c.data["key_cs"] = r.key_cs;
        // The second connection reads the pinned bytes back from the store.
        for (int connection = 0; connection < 2; ++connection) {
            relay_link l(c);
            client cl(l);
            EXPECT_EQ(cl.start(), "") << connection;
        }
        EXPECT_EQ(stored("Test Grid", "key_cs"), r.key_cs);
    }
}

TEST(rptMux, KeysOutsideTlsDisconnect) {
    for (char const* command : {"connection-keys-cached", "connection-keys"}) {
        SCOPED_TRACE(command);
        temporary_home home;
        relay_end::config c = relay_config();
        c.answer_keys = false;
        relay_link l(c);
        client cl(l);
        auto result = std::async(std::launch::async, [&] { return cl.start(); });
        ASSERT_TRUE(l.relay->wait_for([&] { return !l.relay->key_requests().empty(); }));
        netbuf packet;
        if (std::string(command) == "connection-keys") {
            netbuf packed;
            rulo_packet_push(packed, std::map<std::string, std::string>{{"key_hash", "h"}});
            xstd::packet_push(packet, std::string(command), packed);
        } else {
            xstd::packet_push(packet, std::string(command));
        }
        l.relay->send_control(packet, false);
        EXPECT_EQ(result.get(), start_failed);
        EXPECT_TRUE(l.relay->ended());
    }
}

TEST(rptMux, GeoreconnectSignalledOnlyWhenAllowed) {
    for (bool allow : {true, false}) {
        SCOPED_TRACE(allow);
        temporary_home home;
        relay_end::config c = relay_config();
        c.extra_fields = {{"Public-Ip", "203.0.113.9"}, {"Georeconnect", "1"}};
        relay_link l(c);
        client cl(l, "*.relay.lan", "*.relay.lan", "", "", allow);
        EXPECT_EQ(cl.start(), allow ? "georeconnect" : "");
        EXPECT_EQ(l.relay->ended(), allow);
        EXPECT_EQ(xstd::get_config_string_ex(xstd::storage_user, "AutoTransport/Last public IP/.relay.lan"),
                  "203.0.113.9");
    }
}

TEST(rptMux, PingsWhileTlsIsPendingAndTheTlsLimit) {
    temporary_home home;
    relay_end::config c = relay_config();
    c.answer_keys = false;
    relay_link l(c);
    client cl(l);
    cl.mux->ping_interval_ms = 10;
    cl.mux->tls_limit_ms = 300;
    EXPECT_EQ(cl.start(), start_failed);
    EXPECT_GE(l.relay->pings(), 2);
    EXPECT_TRUE(l.relay->ended());
}

TEST(rptMux, FrameLengthLimit) {
    temporary_home home;
    relay_link l(relay_config(), {false, true, 11});
    client cl(l);
    ASSERT_EQ(cl.start(), "");
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        long long const id = cl.open("BIG", secure);
        // L = 0xFFFFFF: the channel byte and 0xFFFFFE payload bytes, both ways.
        std::string const payload(0xFFFFFE, secure ? 's' : 'p');
        l.relay->send_data(id, payload, secure);
        ASSERT_TRUE(cl.sink->wait_for([&] { return cl.sink->bytes(id).size() == payload.size(); }, 120000));
        cl.mux->send(id, netbuf::from_string(payload), false);
        ASSERT_TRUE(
            l.relay->wait_for([&] { return l.relay->channel_bytes(id).size() == payload.size(); }, 120000));
        EXPECT_EQ(l.relay->plain_data_frames(id), secure ? 0 : 1);
        EXPECT_EQ(cl.sink->bytes(id), payload);
        EXPECT_EQ(l.relay->channel_bytes(id), payload);
    }
    EXPECT_EQ(test_support::thrown(
                  [&] { cl.mux->send(2, netbuf::from_string(std::string(0xFFFFFF, 'x')), false); }),
              ":Error in 'pack_pkt'");
    EXPECT_EQ(cl.sink->broken_count(), 0);
    // L = 0x1000000 is refused as soon as its length arrives.
    l.relay->send_raw(leb128(0x1000000));
    EXPECT_TRUE(cl.sink->wait_for([&] { return cl.sink->broken_count() == 1; }));
    EXPECT_TRUE(l.relay->wait_for([&] { return l.relay->ended(); }));
}

TEST(rptMux, SecureChannelDataOutsideTlsIsDropped) {
    temporary_home home;
    relay_link l(relay_config());
    client cl(l);
    ASSERT_EQ(cl.start(), "");
    long long const secure = cl.open("VYNRPC", true);
    long long const plain = cl.open("VYNL2", false);
    l.relay->send_data(secure, "injected", false);
    l.relay->send_data(plain, "plain", false);
    l.relay->send_data(secure, "genuine", true);
    ASSERT_TRUE(
        cl.sink->wait_for([&] { return cl.sink->bytes(secure).find("genuine") != std::string::npos; }));
    EXPECT_EQ(cl.sink->bytes(secure), "genuine");
    EXPECT_EQ(cl.sink->bytes(plain), "plain");
    EXPECT_EQ(cl.sink->broken_count(), 0);
}

TEST(rptMux, ControlCommandsReachTheSink) {
    temporary_home home;
    relay_link l(relay_config());
    client cl(l);
    ASSERT_EQ(cl.start(), "");
    netbuf pong, value = netbuf::from_string("pong data"), closed, error, unknown;
    xstd::packet_push(pong, std::string("pong"), value);
    xstd::packet_push(closed, std::string("channel-closed"), 5LL);
    xstd::packet_push(error, std::string("channel-error"), 6LL, std::string("no such service"));
    xstd::packet_push(unknown, std::string("what-is-this"), 1);
    for (netbuf const* p : {&unknown, &pong, &closed, &error}) l.relay->send_control(*p, true);
    ASSERT_TRUE(cl.sink->wait_for([&] { return cl.sink->error(6) == "no such service"; }));
    EXPECT_EQ(cl.sink->pongs(), "pong data");
    EXPECT_EQ(cl.sink->closed(5), 1);
    EXPECT_EQ(cl.sink->broken_count(), 0);
}

// Many threads sending on secure channels at once: the records must leave
// in the order the TLS session made them, or the relay's TLS fails.
TEST(rptMux, ConcurrentSecureSendsKeepRecordOrder) {
    temporary_home home;
    relay_link l(relay_config(), {false, true, 3});
    client cl(l);
    ASSERT_EQ(cl.start(), "");
    int const threads = 8, rounds = 200;
    std::vector<long long> ids;
    for (int t = 0; t < threads; ++t) ids.push_back(cl.open("ECHO", true));
    std::atomic<int> failed_sends{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t] {
            try {
                for (int i = 0; i < rounds; ++i)
                    cl.mux->send(ids[t], netbuf::from_string(std::to_string(i) + ";"), false);
            } catch (rulo::exception const&) {
                ++failed_sends;
            }
        });
    for (auto& s : senders) s.join();
    std::string expected;
    for (int i = 0; i < rounds; ++i) expected += std::to_string(i) + ";";
    for (int t = 0; t < threads; ++t) {
        EXPECT_TRUE(l.relay->wait_for(
            [&] { return l.relay->channel_bytes(ids[t]) == expected || l.relay->ended(); }));
        EXPECT_EQ(l.relay->channel_bytes(ids[t]), expected);
        EXPECT_EQ(l.relay->plain_data_frames(ids[t]), 0);
    }
    EXPECT_FALSE(l.relay->ended());
    EXPECT_EQ(failed_sends, 0);
}

TEST(connection_def, FixRegConf) {
    struct row {
        char const* in;
        char const* out;
    } const rows[] = {
        {" .My Grid!!", "My Grid"}, {"...", "tmp"},   {"", "tmp"},    {"a..b", "a..b"},
        {"a\\..\\b", "a.. b"},      {"x  .y", "x.y"}, {"-a-", "-a-"}, {"Grid/../../etc", "Grid.... etc"},
    };
    for (row const& r : rows) {
        std::string name = r.in;
        rulo::connection_def::fix_reg_conf(name);
        EXPECT_EQ(name, r.out) << r.in;
    }
}

TEST(connection_def, IdAndProtocolAreStoredOnce) {
    temporary_home home;
    rulo::connection_def first("id-1", "G", "3", xstd::storage_user);
    rulo::connection_def second("id-2", "G", "4", xstd::storage_user);
    EXPECT_EQ(second.get_grid_id(), "id-1");
    EXPECT_EQ(second.get_grid_setting("cp_protocol"), "3");
}

} // namespace

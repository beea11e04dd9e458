// Server targets: the family of a pattern, made-up labels from the saved
// public address, rewriting a target from the relay's "Server" field, and
// the saved public address and additional servers round trips through their
// stores under a home directory of the test's own.
#include "rulo-rpt/choose/server_target.h"
#include "rulo-rpt/http/xstd-http.h"
#include "rulo/config_store.h"

#include "tests/rulo-rpt/choose/choose_kit.h"
#include "tests/support/shell.h"

#include <QSettings>
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

namespace {

using choose_kit::log_capture;

class ServerTarget : public ::testing::Test {
protected:
    void SetUp() override { home = choose_kit::fresh_home(); }

    // The entry of the additional servers store as Qt reads it.
    static std::string stored(std::string const& key) {
        QSettings settings(QStringLiteral("Sepra"), QStringLiteral("AutoTransport additional servers"));
        return settings.value(QString::fromLatin1(key.c_str())).toString().toStdString();
    }
    static QStringList stored_keys() {
        QSettings settings(QStringLiteral("Sepra"), QStringLiteral("AutoTransport additional servers"));
        return settings.allKeys();
    }

    std::string home;
};

TEST_F(ServerTarget, FamilyOfATarget) {
    struct row {
        char const* target;
        char const* family;
    } const rows[] = {
        {"ab*cd.zone.lan", ".zone.lan"},
        {"*.relay.lan", ".relay.lan"},
        {"server3.zone.lan", "server3.zone.lan"},
        {"geo*.zone.lan", ".zone.lan"},
        {"ab*cd", "cd"}, // no '.' after the '*': all that follows it
        {"a*b*c.lan", ".lan"},
        {"", ""},
    };
    for (row const& r : rows) EXPECT_EQ(rulo::boost_transport_tgt(r.target), r.family) << r.target;
}

// The saved public address is per family: every pattern of one domain shares
// it, and it lands in the per-user store as a nested file.
TEST_F(ServerTarget, SavedPublicAddressRoundTrip) {
    EXPECT_EQ(rulo::my_saved_ip("*.zone.lan"), "");
    rulo::save_my_ip("ab*cd.zone.lan", "198.51.100.23");
    EXPECT_EQ(rulo::my_saved_ip("*.zone.lan"), "198.51.100.23");
    EXPECT_EQ(rulo::my_saved_ip("geo*.zone.lan"), "198.51.100.23");
    EXPECT_EQ(rulo::my_saved_ip("*.other.lan"), "");
    std::string file = xstd::config_key_path(xstd::storage_user, "AutoTransport/Last public IP/.zone.lan");
    EXPECT_EQ(file.substr(0, home.size() + 8), home + "/.sepra/") << file;
    EXPECT_EQ(test_support::read_file(file), "198.51.100.23");
    rulo::save_my_ip("*.zone.lan", "203.0.113.9");
    EXPECT_EQ(rulo::my_saved_ip("x*y.zone.lan"), "203.0.113.9");
}

TEST_F(ServerTarget, MadeUpLabels) {
    rulo::save_my_ip("*.zone.lan", "10.0.0.1");
    rulo::save_my_ip("*.odd.lan", "1.2.3.4.5"); // passes is_ip, does not resolve
    rulo::save_my_ip("*.text.lan", "not an address");
    struct row {
        char const* pattern;
        char const* configured;
        char const* expect; // regular expression
    } const rows[] = {
        {"relay.zone.lan", "*.zone.lan", "relay\\.zone\\.lan"},
        // 10.0.0.1 = 0x0A000001: one letter per nibble, 'a' + nibble.
        {"*.zone.lan", "*.zone.lan", "myipakaaaaab[a-z]{4}\\.zone\\.lan"},
        {"*.zone.lan", "", "[a-z]{7}\\.zone\\.lan"},
        {"*.zone.lan", "*.unsaved.lan", "[a-z]{7}\\.zone\\.lan"},
        {"*.zone.lan", "*.odd.lan", "myip[a-z]{7}\\.zone\\.lan"},
        {"*.zone.lan", "*.text.lan", "[a-z]{7}\\.zone\\.lan"},
        {"*-*.zone.lan", "*.zone.lan", "myipakaaaaab[a-z]{4}-myipakaaaaab[a-z]{4}\\.zone\\.lan"},
        {"*-*.zone.lan", "", "[a-z]{7}-[a-z]{7}\\.zone\\.lan"},
    };
    for (row const& r : rows) {
        std::string out = rulo::expand_star(r.pattern, r.configured);
        EXPECT_TRUE(std::regex_match(out, std::regex(r.expect)))
            << r.pattern << " / " << r.configured << " -> " << out;
    }
    // Two labels of one pattern are drawn separately.
    std::string twice = rulo::expand_star("*-*", "");
    EXPECT_NE(twice.substr(0, 7), twice.substr(8, 7));
}

TEST_F(ServerTarget, ServerFieldRewritesTheTarget) {
    struct row {
        char const* name;
        std::string target;
        char const* configured;
        char const* field;
        bool changed;
        char const* expect; // regular expression for the target afterwards
        char const* logged; // the log line, or "" for none
    } const rows[] = {
        {"three tokens: the third", "old.lan", "relay.lan", "relay 1.0 server7.relay.lan", true,
         "server7\\.relay\\.lan", "AutoTransport: destination address was set to [server7.relay.lan]"},
        {"two tokens: the second", "old.lan", "relay.lan", "relay server8.relay.lan", true,
         "server8\\.relay\\.lan", "AutoTransport: destination address was set to [server8.relay.lan]"},
        {"one token names none", "old.lan", "relay.lan", "relay", false, "old\\.lan", ""},
        {"no field", "old.lan", "relay.lan", "", false, "old\\.lan", ""},
        {"same server: unchanged and quiet", "server7.relay.lan", "relay.lan", "a b server7.relay.lan", false,
         "server7\\.relay\\.lan", ""},
        {"load balancer, even when already set", "tovan-192-0-2-7.randip.zone.lan", "geo*.zone.lan",
         "x y 192.0.2.7", true, "tovan-192-0-2-7\\.randip\\.zone\\.lan",
         "AutoTransport: destination address was set to [tovan-192-0-2-7.randip.zone.lan] (DNS load balancer "
         "mode)"},
        {"load balancer wants an address", "old.lan", "geo*.zone.lan", "x y name.zone.lan", true,
         "name\\.zone\\.lan", "AutoTransport: destination address was set to [name.zone.lan]"},
        {"a pattern from the relay is expanded", "old.lan", "", "x y *.zone.lan", true,
         "[a-z]{7}\\.zone\\.lan", nullptr},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.name);
        for (bool through_head : {false, true}) {
            std::string target = r.target;
            log_capture log;
            bool changed;
            if (through_head) {
                xstd::http reply;
                if (*r.field) reply.set_field("Server", r.field);
                changed = rulo::set_target(target, r.configured, reply);
            } else {
                changed = rulo::set_target_serverfield(target, r.configured, r.field);
            }
            EXPECT_EQ(changed, r.changed);
            EXPECT_TRUE(std::regex_match(target, std::regex(r.expect))) << target;
            if (!r.logged) continue;
            if (*r.logged)
                EXPECT_EQ(log.count(r.logged), 1);
            else
                EXPECT_TRUE(log.lines().empty()) << log.lines().front();
        }
    }
}

TEST_F(ServerTarget, AdditionalTexts) {
    struct row {
        char const* text;
        bool ok;
        long long age;
        char const* server;
        char const* rest; // text afterwards
    } const rows[] = {
        {"17:server2.relay.lan/a.lan;b.lan", true, 17, "server2.relay.lan", "a.lan;b.lan"},
        {"17:s/", true, 17, "s", ""},
        {"17:/rest", true, 17, "", "rest"},
        {"-3:s/r/q", true, -3, "s", "r/q"},
        {" +8:s/r", true, 8, "s", "r"},    // as "%lld" reads it
        {"12abc:s/r", true, 12, "s", "r"}, // digits first, the rest ignored
        {"99999999999999999999:s/r", true, 9223372036854775807LL, "s", "r"},
        {"/17:s", false, 0, "", "/17:s"}, // '/' before ':'
        {"a/b:17", false, 0, "", "a/b:17"},
        {"abc:s/r", false, 0, "", "abc:s/r"}, // no number
        {":s/r", false, 0, "", ":s/r"},
        {"17:s", false, 0, "", "17:s"}, // no '/'
        {"17/s", false, 0, "", "17/s"}, // no ':'
        {"", false, 0, "", ""},
    };
    for (row const& r : rows) {
        long long age = 0;
        std::string server, text = r.text;
        EXPECT_EQ(rulo::parse_additional(age, server, text), r.ok) << r.text;
        EXPECT_EQ(age, r.age) << r.text;
        EXPECT_EQ(server, r.server) << r.text;
        EXPECT_EQ(text, r.rest) << r.text;
    }
}

// A sequence of replies for two targets: the newest list per target and
// server wins, whichever way round they arrive.
TEST_F(ServerTarget, AdditionalServersRoundTrip) {
    struct step {
        char const* target;
        char const* received;
        char const* handed_back;
        char const* stored_key;
        char const* stored_value; // afterwards
    } const steps[] = {
        {"relay.lan", "5:s1/a.lan b.lan", "a.lan b.lan", "relay.lan__s1", "5:s1/a.lan b.lan"},
        {"relay.lan", "9:s1/c.lan", "c.lan", "relay.lan__s1", "9:s1/c.lan"},   // newer replaces
        {"relay.lan", "7:s1/old.lan", "c.lan", "relay.lan__s1", "9:s1/c.lan"}, // older: the saved list
        {"relay.lan", "9:s1/same.lan", "same.lan", "relay.lan__s1",
         "9:s1/same.lan"},                                                   // equal age is not newer
        {"relay.lan", "3:s2/d.lan", "d.lan", "relay.lan__s2", "3:s2/d.lan"}, // per server
        {"other.lan", "1:s1/e.lan", "e.lan", "other.lan__s1", "1:s1/e.lan"}, // per target
        {"relay.lan", "2:s1/x", "same.lan", "relay.lan__s1", "9:s1/same.lan"},
        {"", "50:s1/f.lan", "f.lan", "__s1", ""},               // no target: nothing kept
        {"relay.lan", "50:/f.lan", "f.lan", "relay.lan__", ""}, // no server
        {"relay.lan", "not additional", "not additional", "relay.lan__s1", "9:s1/same.lan"},
    };
    for (step const& s : steps) {
        std::string additional = s.received;
        rulo::save_additional(s.target, additional);
        EXPECT_EQ(additional, s.handed_back) << s.target << " " << s.received;
        EXPECT_EQ(stored(s.stored_key), s.stored_value) << s.target << " " << s.received;
    }
    EXPECT_EQ(stored_keys().size(), 3);
}

// Two choosers saving one entry at once: the newer one stays, whichever
// comes last.
TEST_F(ServerTarget, RacingSavesKeepTheNewer) {
    for (int round = 0; round < 40; ++round) {
        std::string const target = "race" + std::to_string(round) + ".lan";
        std::atomic<int> started{0};
        auto save = [&](std::string additional) {
            for (++started; started < 2;) {
            }
            rulo::save_additional(target, additional);
        };
        std::thread older(save, "5:s1/old.lan"), newer(save, "9:s1/new.lan");
        older.join(), newer.join();
        EXPECT_EQ(stored(target + "__s1"), "9:s1/new.lan") << round;
    }
}

// Qt's settings read '/' in a key as a group separator and drop a leading
// one, so the target "/relay.lan" would share, and overwrite, the entry of
// "relay.lan"; '\' separates on other systems. Names holding either are
// neither read nor stored; the received list is used.
TEST_F(ServerTarget, AdditionalRefusesNamesWithKeySeparators) {
    std::string additional = "5:s1/a.lan";
    rulo::save_additional("relay.lan", additional);
    struct row {
        char const* target;
        char const* received;
        char const* handed_back;
    } const rows[] = {
        {"relay.lan", "9:s1\\/evil.lan", "evil.lan"},
        {"relay.lan", "9:s\\1/evil.lan", "evil.lan"},
        {"/relay.lan", "9:s1/evil.lan", "evil.lan"},
        {"/relay.lan", "1:s1/evil.lan", "evil.lan"}, // not the saved "a.lan": not the same entry
        {"relay.lan//", "9:s1/evil.lan", "evil.lan"},
        {"relay.lan/s", "9:s1/evil.lan", "evil.lan"},
        {"relay.lan\\", "9:s1/evil.lan", "evil.lan"},
    };
    for (row const& r : rows) {
        additional = r.received;
        rulo::save_additional(r.target, additional);
        EXPECT_EQ(additional, r.handed_back) << r.target << " " << r.received;
    }
    EXPECT_EQ(stored("relay.lan__s1"), "5:s1/a.lan");
    EXPECT_EQ(stored_keys().join(" | ").toStdString(), "relay.lan__s1");
}

} // namespace

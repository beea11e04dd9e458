// The session's sinks and the notification stream, with a recording target.
#include "tovan/session/notification_stream.h"
#include "tovan/session/session_sinks.h"

#include "rulo/packet.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <sstream>

namespace {

using vyn::origin;

struct recording_target : vyn::session_target {
    std::vector<std::string> events;
    int64_t state = 0;
    int stamps = 0;
    void handle_command(origin from, std::string text) override {
        char const* const names[] = {"local", "peer", "server"};
        events.push_back(std::string(names[static_cast<int>(from)]) + " " + text);
    }
    void push_chat(std::string line) override { events.push_back("chat " + line); }
    void stamp_life_sign() override { ++stamps; }
    int64_t connection_state() override { return state; }
    void route_packet(int index, netbuf const& data) override {
        events.push_back("route " + std::to_string(index) + " " + data.to_string());
    }
    void send_version() override { events.push_back("send version"); }
    void log(std::string const& text) override { events.push_back("log " + text); }
};

TEST(SessionSinks, ReaderTurnsPacketsIntoCommandsChatAndPluginData) {
    struct {
        int index;
        std::string data;
        std::vector<std::string> events;
    } const cases[] = {
        {-1, "close_connection", {"peer close_connection"}},
        {2, "hello", {"chat hello"}},
        // Every other number is the plugins' routing's (the negotiation
        // logs, keeps and asks for the plugin of a low number).
        {99, "plugin", {"route 99 plugin"}},
        {3, "ab", {"route 3 ab"}},
        {0, "", {"route 0 "}},
        {-3, "x", {"route -3 x"}},
    };
    for (auto const& c : cases) {
        recording_target t;
        rulo::object<vyn::connection_reader> reader(new vyn::connection_reader(t));
        reader->received_channel(c.index, netbuf::from_string(c.data));
        EXPECT_EQ(t.events, c.events) << c.index;
        EXPECT_EQ(t.stamps, 1) << c.index;
    }

    recording_target t;
    vyn::connection_reader reader(t);
    t.state = 6;
    reader.received(netbuf::from_string("old"));
    EXPECT_TRUE(t.events.empty());
    reader.channel_status("broken");
    reader.channel_reinit();
    EXPECT_EQ(t.events, (std::vector<std::string>{"local channel_status_broken", "local my_intern_reconnect",
                                                  "send version"}));
    EXPECT_EQ(t.stamps, 1);

    // Server calls are commands from the server, an empty body included.
    recording_target s;
    vyn::session_messages calls(s);
    calls.func(netbuf(), rulo::object<rulo::rpcWrapperSink::reply>());
    calls.func(netbuf::from_string("dont_reconnect"), rulo::object<rulo::rpcWrapperSink::reply>());
    EXPECT_EQ(s.events, (std::vector<std::string>{"server ", "server dont_reconnect"}));
}

TEST(SessionSinks, NamedMessagesAreLoggedAndDesktopPayloadsBuilt) {
    recording_target t;
    vyn::post_msg_messages msgs(t);
    netbuf two;
    rulo_packet_push(two, std::string("a"), std::string("b"));
    msgs.message(rulo::object<rulo::rptMsg>(), "n", two);
    netbuf none;
    msgs.message(rulo::object<rulo::rptMsg>(), "m", none);
    msgs.broken_msg();
    EXPECT_EQ(t.events, (std::vector<std::string>{
                            "log Post message function [n]: [b] [a]",
                            "log Post message function [m]:", "log Post data connection closed."}));

    std::string plugin;
    netbuf payload;
    vyn::desktop_payload("req_control", plugin, payload);
    std::string top, word;
    rulo_packet_pop(payload, top);
    rulo_packet_pop(payload, word);
    EXPECT_EQ(plugin + "|" + top + "|" + word, "desktop|compatibility-cmd|req_control");
    EXPECT_EQ(payload.size(), 0u);

    std::string fwd;
    rulo_packet_push(fwd, std::string("arg"), std::string("file_transfer"));
    vyn::desktop_payload("fwd_cmd " + fwd, plugin, payload);
    rulo_packet_pop(payload, top);
    rulo_packet_pop(payload, word);
    EXPECT_EQ(plugin + "|" + top + "|" + word, "file_transfer|compatibility-cmd|arg");
    EXPECT_ANY_THROW(vyn::desktop_payload("fwd_cmd ", plugin, payload));
}

TEST(SessionSinks, NotificationLinesAreSigned32Bit) {
    QTemporaryDir dir;
    std::string const path = dir.filePath("n.txt").toStdString();
    vyn::notification_stream off;
    EXPECT_FALSE(off.post(1, 2));
    EXPECT_FALSE(off.open(dir.filePath("no/such/dir/n.txt").toStdString()));

    vyn::notification_stream n;
    ASSERT_TRUE(n.open(path));
    EXPECT_TRUE(n.post(1, 123456789));
    EXPECT_TRUE(n.post(16, 4294967295LL)); // wider than 32 bits: printed as int32
    EXPECT_TRUE(n.post(32768, 0));
    EXPECT_TRUE(n.post(-1, 2147483648LL));
    std::ifstream in(path); // each line is flushed as it goes
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(), "1 123456789\n16 -1\n32768 0\n-1 -2147483648\n");
}

} // namespace

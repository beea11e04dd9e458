// The window's look and its command decisions as pure functions: the tables
// the dialog applies.
#include "tovan/look/chat_text.h"
#include "tovan/look/user_commands.h"
#include "tovan/look/window_look.h"

#include "rulo/packet.h"
#include "rulo/url.h"

#include <gtest/gtest.h>

namespace {

using namespace tovan::look;

std::vector<std::string> prefixes(window_look const& l) {
    std::vector<std::string> out;
    for (int n : l.statuses) out.push_back(status_prefix(n));
    return out;
}

TEST(WindowLook, RoleStateAndFlags) {
    using v = std::vector<std::string>;
    struct {
        bool client;
        int64_t state;
        uint64_t flags;
        v groups;
    } const cases[] = {
        {true, 0, 0x900, {"cli_dis"}},
        {true, 1, 0, {"cli_dis"}},
        {true, 4, 0x100, {"cli_dis"}},
        {true, 5, 0, {"cli_dis"}},
        {true, 6, 0, {"cli_con"}},
        {true, 6, 0x100, {"cli_con", "cli_str"}},
        {true, 6, 0x300, {"cli_con", "cli_ctr"}},
        {true, 6, 0x900, {"cli_con", "cli_str"}}, // the viewing bit is the desk's
        {true, 7, 0x300, {"cli_con", "cli_ctr", "gen_rec"}},
        {false, 0, 0x300, {"dsk_dis"}},
        {false, 1, 0, {"dsk_dis"}},
        {false, 4, 0, {"dsk_dis"}},
        {false, 5, 0x100, {"dsk_prg"}},
        {false, 6, 0, {"dsk_con"}},
        {false, 6, 0x100, {"dsk_con", "dsk_str"}},
        {false, 6, 0x300, {"dsk_con", "dsk_ctr"}},
        {false, 6, 0x900, {"dsk_con", "dsk_str", "dsk_vie"}},
        {false, 7, 0, {"dsk_con", "gen_rec"}},
        {false, 0x16, 0, {"dsk_con"}}, // only the low four bits count
    };
    for (auto const& c : cases) {
        window_look const l = look_of(c.client, c.state, c.flags, false);
        std::string const what = std::string(c.client ? "client " : "desk ") + std::to_string(c.state) + " " +
                                 std::to_string(c.flags);
        EXPECT_EQ(prefixes(l), c.groups) << what;
        bool const connected = (c.state & 15) >= 6;
        EXPECT_EQ(l.connected, connected) << what;
        EXPECT_EQ(l.code_field, !connected) << what;
        EXPECT_EQ(l.idle_buttons, !connected) << what;
        EXPECT_EQ(l.plugin_buttons, connected && !c.client) << what;
        EXPECT_EQ(l.connect_image, connected && c.client) << what;
        EXPECT_EQ(l.mail_button, !c.client && c.state == 5) << what;
        EXPECT_EQ(l.height, connected ? 367 : 230) << what;
        EXPECT_EQ(l.upper_piece, c.client ? (connected ? 4 : 2) : (connected ? 5 : 3)) << what;
        EXPECT_EQ(l.lower_piece, c.client ? (connected ? 8 : 6) : (connected ? 9 : 7)) << what;
        rect const status = !connected ? rect{17, 94, 255, 51} : rect{17, c.client ? 90 : 100, 250, 76};
        EXPECT_EQ(l.status_text, status) << what;
        int const note = !connected ? -1 : ((c.flags & 0x100) ? 6 : 2) + ((c.flags & 0x800) ? 8 : 0);
        EXPECT_EQ(l.notification, note) << what;
    }
    EXPECT_FALSE(look_of(false, 6, 0, true).chat_mode) << "the old session mode has no chat";
    EXPECT_TRUE(look_of(false, 6, 0, false).chat_mode);
    EXPECT_EQ(status_prefix(-2), "gen_upp");
    EXPECT_EQ(status_prefix(5), "cli_vie");

    std::vector<point> const outline = {{0, 0}, {0, 225}, {5, 230}, {274, 230}, {279, 225}, {279, 0}, {0, 0}};
    EXPECT_EQ(window_outline(279, 230), outline);
    // Kept on the screen: moved up only when the frame's bottom is below the area's.
    EXPECT_EQ(keep_on_screen({10, 500, 279, 367}, {0, 0, 1024, 768}), (point{10, 401}));
    EXPECT_EQ(keep_on_screen({10, 401, 279, 367}, {0, 0, 1024, 768}), (point{10, 401}));
    EXPECT_EQ(keep_on_screen({10, 20, 279, 367}, {0, 0, 1024, 768}), (point{10, 20}));
    // A companion window beside the 281x255 frame at x, y: the first side where it fits whole, else the
    // side with the most room, kept on the area (right; left at the right edge; right, moved up; below, as
    // no side has room; none, the most room; a second screen).
    struct {
        int x, y;
        rect area;
        point at;
    } const companions[] = {
        {10, 20, {0, 0, 1024, 768}, {291, 20}},   {743, 20, {0, 0, 1024, 768}, {441, 20}},
        {0, 513, {0, 0, 1024, 768}, {281, 343}},  {150, 0, {0, 0, 600, 768}, {150, 255}},
        {150, 100, {0, 0, 600, 600}, {298, 100}}, {2000, 20, {1024, 0, 1280, 1024}, {1698, 20}}};
    for (auto const& c : companions)
        EXPECT_EQ(beside({c.x, c.y, 281, 255}, {0, 0, 302, 425}, c.area), c.at) << c.x << "," << c.y;
    // 850x600 over a 279x230 main window at x, y (the middle, each edge and corner) of a screen with a
    // 24-row panel on top: centred where there is room, else against the edge.
    rect const area{0, 24, 1024, 744};
    int const places[][4] = {{372, 280, 87, 95}, {0, 280, 0, 95},     {745, 280, 174, 95},
                             {372, 24, 87, 24},  {372, 538, 87, 168}, {0, 24, 0, 24},
                             {745, 24, 174, 24}, {0, 538, 0, 168},    {745, 538, 174, 168}};
    for (auto const& [x, y, ax, ay] : places)
        EXPECT_EQ(place_over({x, y, 279, 230}, area, 850, 600), (point{ax, ay})) << x << "," << y;
    EXPECT_EQ(place_over({745, 538, 279, 230}, area, 1100, 800), (point{0, 24})) << "larger than the area";
}

TEST(PluginButton, DecisionTable) {
    struct {
        char const* name;
        char const* peer;
        std::vector<int> catalogue;
        bool wanted, running, pinned;
        char const* box;
        char const* event;
        char const* pending;
        bool toggle, new_wanted;
    } const cases[] = {
        // clang-format off
        // No catalogue yet: every click says why nothing starts.
        {"IDC_VIDEO", "3.3.2", {}, false, false, false, "PLUGIN_DISABLED", "", "", false, false},
        {"IDC_VIDEO", "2.2", {8}, false, false, false, "PLUGIN_UNSUPORTED_video", "", "", false, false},
        {"IDC_AUDIO", "10.0", {8}, false, false, false, "PLUGIN_UNSUPORTED_audio", "", "", false, false},
        {"IDC_FILE_TRANSFER", "2.0", {8}, false, false, false, "PLUGIN_UNSUPORTED_file_transfer", "", "", false, false},
        {"IDC_FILE_TRANSFER", "2.1", {9}, false, false, false, "PLUGIN_DISABLED", "", "", false, false},
        {"IDC_DESKTOP", "0.1", {7}, true, false, false, "PLUGIN_LOADING", "", "", false, false},
        {"IDC_AUDIO", "2.3", {9, 8}, true, false, true, "PLUGIN_INIT", "", "", false, false},
        {"IDC_AUDIO", "2.3", {8}, false, true, true, "PLUGIN_DOWN", "", "", false, false},
        {"IDC_AUDIO", "2.3", {8}, true, true, true, "", "", "", true, false},
        {"IDC_VIDEO", "2.3", {7}, false, false, false, "", "", "", true, true},
        {"IDC_DESKTOP", "3.3.2", {8}, true, true, true, "", "IDC_DESKTOP", "", false, false},
        {"IDC_DESKTOP", "3.3.2", {8}, false, false, false, "", "", "IDC_DESKTOP", true, true},
        {"IDC_FILE_TRANSFER", "2.1", {7}, false, false, false, "", "", "IDC_FILE_TRANSFER", true, true},
        {"IDC_FILE_TRANSFER", "2.1", {8}, true, true, true, "", "IDC_FILE_TRANSFER", "", false, false},
        // clang-format on
    };
    for (auto const& c : cases) {
        auto [plugin, event] = button_plugin(c.name);
        button_input in{plugin, event, c.peer, c.catalogue, c.wanted, c.running, c.pinned};
        button_action const a = plugin_button(in);
        EXPECT_EQ(a.box, c.box) << c.name << " " << c.peer;
        EXPECT_EQ(a.event, c.event) << c.name;
        EXPECT_EQ(a.pending_event, c.pending) << c.name;
        EXPECT_EQ(a.toggle, c.toggle) << c.name;
        if (a.toggle) {
            EXPECT_EQ(a.new_wanted, c.new_wanted) << c.name;
        }
    }
    EXPECT_EQ(button_plugin("IDC_SEND").first, "");
}

TEST(ChatText, TypedLinesLinksAndLatin1Copies) {
    std::string many = "a";
    for (int i = 0; i < 300; ++i) many += "\xC3\xA4";
    std::string const cut = cut_utf8(many, max_typed_line);
    EXPECT_EQ(cut.size(), 511u) << "a and 255 whole characters";
    EXPECT_EQ(QString::fromUtf8(cut.c_str()).toUtf8().toStdString(), cut);
    EXPECT_EQ(cut_utf8(std::string(600, 'x'), 512).size(), 512u);
    EXPECT_EQ(cut_utf8("\xF0\x9F\x98\x80", 3), "") << "a four-byte character does not fit in three";
    EXPECT_EQ(cut_utf8("ab", 512), "ab");

    EXPECT_EQ(escape_typed("a<b and c>d & e &lt;"), "a&lt;b and c&gt;d &amp; e &amp;lt;");
    for (char const* web : {"http://h/?a=1&b=2", "HTTPS://h"}) EXPECT_TRUE(opens_from_chat(web)) << web;
    for (char const* other : {"file:///etc/passwd", "http://", "--help", ""})
        EXPECT_FALSE(opens_from_chat(other));
    EXPECT_EQ(link_anchors("see http://a.b/c now"),
              "see <font color=0000ff><a href=\"http://a.b/c\">http://a.b/c</a></font> now");
    EXPECT_EQ(link_anchors("http://x http://y"),
              "<font color=0000ff><a href=\"http://x\">http://x</a></font> "
              "<font color=0000ff><a href=\"http://y\">http://y</a></font>");

    EXPECT_EQ(latin1_html(QString::fromUtf8("a\xC3\xA9\xD0\x96\xF0\x9F\x98\x80")), "a\xE9&#1046;&#128512;");
}

TEST(ChatText, LogLinesPlainCopyAndClock) {
    char const para[] =
        "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; "
        "-qt-block-indent:0; text-indent:0px;\"><font color=#C0C0C0 size=\"-2\">12:34:56 </font>";
    struct {
        char const* in;
        char const* html;
        char const* plain;
    } const lines[] = {
        {"<font color=\"FF0000\">Hi</font>", "<font color=#FF0000>Hi</font></p>", "12:34:56 Hi\n"},
        {"<font color=\"ff0000\">a<font color=\"ff0000\">b", "<font color=#ff0000>a<font color=#ff0000>b</p>",
         "12:34:56 ab\n"},
        {"<font color=0>x</font>", "<font color=#000000>x</font></p>", "12:34:56 x\n"},
        {"<b>me</b> <img src=\"desktop-icon\">", "<b>me</b> <img src=\":desktop-icon\"></p>",
         "12:34:56 me \n"},
        {"<b>Desk : </b>a&lt;b c&gt;d &amp; e &amp;lt;", "<b>Desk : </b>a&lt;b c&gt;d &amp; e &amp;lt;</p>",
         "12:34:56 Desk : a<b c>d & e &lt;\n"},
    };
    for (auto const& l : lines) {
        chat_line const c = format_chat_line(QString::fromUtf8(l.in), "12:34:56");
        EXPECT_EQ(c.html.toStdString(), std::string(para) + l.html) << l.in;
        EXPECT_EQ(c.plain.toStdString(), l.plain) << l.in;
    }
    // The plain text is what the log shows: no tag, references read back; no reference, no tag opening, or
    // one that never closes, stays.
    std::pair<char const*, char const*> const plain[] = {
        {"<b><font color=ff8040>Client<font color=000000> : </b>"
         "see <font color=0000ff><a href=\"http://h/?a=1&amp;b=2\">http://h/?a=1&amp;b=2</a></font> now",
         "Client : see http://h/?a=1&b=2 now"},
        {"<A HREF='x>y' title=\"a>b\">t</A><br/><!-- c -->.", "t."},
        {"&lt;&gt;&amp;&quot;&apos;&nbsp;&#1046;&#x41;&amp;lt;", "<>&\"' \u0416A&lt;"},
        {"&bogus; &#0; &#xD800; &#12a; & x &amp 1 < 2, 3<4, a <b",
         "&bogus; &#0; &#xD800; &#12a; & x &amp 1 < 2, 3<4, a <b"},
    };
    for (auto const& [in, out] : plain) EXPECT_EQ(plain_text(QString::fromUtf8(in)).toStdString(), out) << in;

    EXPECT_EQ(clock_text(25 * 3600), "<b>001 days 01:00:00</b>");
    EXPECT_EQ(clock_text(3599), "<b>00:59:59</b>");
    int64_t seconds = 100;
    std::time_t at = 1000;
    advance_clock(seconds, at, 1001);
    EXPECT_EQ(seconds, 101);
    advance_clock(seconds, at, 1001 - 3600); // the wall clock set back an hour
    EXPECT_EQ(seconds, 101);
    advance_clock(seconds, at, 1002 - 3600);
    EXPECT_EQ(seconds, 102);
    advance_clock(seconds, at, 1002); // and forward again: added whole
    EXPECT_EQ(seconds, 102 + 3600);
}

TEST(Commands, MailLinkProxyLineAndConnectSave) {
    // Decoded by any URL parser back to the template's texts.
    EXPECT_EQ(mail_url("a b+c", "x&y \xC3\xA9"), "MailTo:?Subject=a%20b%2bc&body=x%26y%20%c3%a9");
    EXPECT_EQ(proxy_log_text("hello"), "proxylog :hello");
    EXPECT_EQ(proxy_log_text("proxylog hi"), "proxylog hi");

    auto bytes = [](std::string const& b) { return netbuf::from_string(b); };
    // "F" alone (no saving) is shown by the dialog's own test of connect_save.
    auto a = parse_connect_save(bytes("\x54\x73\x2E\x64\x61\x74\x05\x01\x54"));
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->save);
    EXPECT_EQ(a->file, "s.dat");
    EXPECT_TRUE(a->keep);
    a = parse_connect_save(bytes("T"));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->file, "connect.dat");
    EXPECT_FALSE(a->keep);
    EXPECT_FALSE(parse_connect_save(bytes("")));
    EXPECT_FALSE(parse_connect_save(bytes("x")));

    std::map<std::string, std::string> const params = {
        {"sid_string", "s 1"}, {"key_string", "k&=%"}, {"empty", ""}, {"code", "12"}};
    std::string const text = connect_save_text(params);
    EXPECT_EQ(text, "code=12&key_string=k%26%3d%25&sid_string=s+1");
    auto back = rulo::cgi_parse_param(text, '&', '=');
    EXPECT_EQ(back.size(), 3u);
    EXPECT_EQ(back["key_string"], "k&=%");
}

} // namespace

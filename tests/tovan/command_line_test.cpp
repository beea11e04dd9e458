// The command line and the application options as pure functions.
#include "tovan/config/app_options.h"
#include "tovan/config/command_line.h"
#include "tovan/window/main_window.h"

#include <gtest/gtest.h>

namespace {

using namespace tovan;
using string_map = std::map<std::string, std::string>;
using option_list = std::vector<std::pair<std::string, std::string>>;

command_line parse(std::vector<std::string> argv, bool client, std::optional<std::string> cmdline_txt = {},
                   std::optional<std::string> custom = {}) {
    command_line_input in;
    in.argv = std::move(argv);
    in.is_client = client;
    in.cmdline_txt = std::move(cmdline_txt);
    in.custom_cmdline_txt = std::move(custom);
    in.read_file = [](std::string const& path) -> std::optional<std::string> {
        if (path == "/abs/conn.txt") return std::string("a=1&b=2");
        if (path == "/abs/wex.txt") return std::string("code=5&__started_from_wex__=1");
        return std::nullopt;
    };
    in.resolve_path = [](std::string const& path) { return "/abs/" + path; };
    return parse_command_line(in);
}

TEST(CommandLine, ConnectParameters) {
    struct {
        char const* what;
        std::vector<std::string> argv;
        bool client;
        string_map params;
        std::string code_text;
    } const cases[] = {
        {"bare code", {"--connect", "777"}, true, {{"777", ""}, {"code", "777"}}, "777"},
        {"pairs", {"--connect", "a=1&b=2"}, true, {{"a", "1"}, {"b", "2"}}, ""},
        {"the desk ignores --connect", {"--connect", "777"}, false, {}, ""},
        {"last word", {"--connect"}, true, {}, ""},
        {"a later --connect wins", {"--connect", "1", "--connect", "x=2"}, true, {{"x", "2"}}, "1"},
        {"connect file", {"--connect-file", "/abs/conn.txt"}, true, {{"a", "1"}, {"b", "2"}}, ""},
        {"unreadable connect file", {"--connect-file", "nope"}, true, {}, ""},
        {"restore, desk",
         {"--connect-restore", "conn.txt"},
         false,
         {{"a", "1"}, {"b", "2"}, {"__restore_connection__", "true"}},
         ""},
        {"started from wex", {"--connect-file", "/abs/wex.txt"}, true, {{"code", "5"}}, ""},
    };
    for (auto const& c : cases) {
        auto r = parse(c.argv, c.client);
        EXPECT_EQ(r.connect_params, c.params) << c.what;
        EXPECT_EQ(r.code_text, c.code_text) << c.what;
    }
    auto wex = parse({"--connect-file", "/abs/wex.txt"}, true);
    EXPECT_TRUE(wex.from_wex);
    // The restore file is resolved once; that path is what is read and what
    // a disconnect deletes later.
    auto restore = parse({"--connect-restore", "conn.txt"}, false);
    EXPECT_EQ(restore.restore_file, "/abs/conn.txt");
}

TEST(CommandLine, ConnectPrecedenceAcrossArgvAndFiles) {
    struct {
        char const* what;
        std::vector<std::string> argv;
        std::optional<std::string> cmdline_txt, custom;
        std::string code;
        std::vector<std::string> args;
    } const cases[] = {
        {"argv wins over the file",
         {"--connect", "222"},
         "--connect 111 --silent",
         {},
         "222",
         {"--connect", "222", "--silent"}},
        {"file alone", {}, "--connect 111", {}, "111", {"--connect", "111"}},
        {"custom file read last wins",
         {},
         "--connect 111",
         "--connect 333",
         "333",
         {"--connect", "111", "--connect", "333"}},
        {"--connect-file on argv drops the file's --connect",
         {"--connect-file", "x"},
         "--connect 111",
         {},
         "",
         {"--connect-file", "x"}},
        {"quoted words", {}, "--add-title \"a \\\"b\\\" c\"", {}, "", {"--add-title", "a \"b\" c"}},
    };
    for (auto const& c : cases) {
        auto r = parse(c.argv, true, c.cmdline_txt, c.custom);
        EXPECT_EQ(r.connect_params.count("code") ? r.connect_params.at("code") : "", c.code) << c.what;
        EXPECT_EQ(r.args, c.args) << c.what;
    }
}

TEST(CommandLine, GeneralAndDeskOptions) {
    auto r = parse({"--output-file",
                    "f.vyn",
                    "--auto-close",
                    "--vynwex",
                    "--silent",
                    "--notification-thread",
                    "3",
                    "--notification-file",
                    "n.txt",
                    "--session-message",
                    "a=1&b",
                    "--proxy-notification",
                    "pn",
                    "--proxy-address",
                    "h:1",
                    "--httpt-port",
                    "81",
                    "--add-title",
                    "",
                    "--conn-options",
                    "k=v",
                    "--force-transport",
                    "direct",
                    "--mtu",
                    "1",
                    "--touch-pad",
                    "--username",
                    "u",
                    "--password",
                    "p",
                    "--get-code",
                    "--web-login",
                    "w",
                    "--unknown"},
                   false);
    EXPECT_EQ(r.code_file, "f.vyn");
    EXPECT_TRUE(r.auto_close);
    EXPECT_TRUE(r.from_wex);
    EXPECT_FALSE(r.confirm);
    EXPECT_EQ(r.notify_path, "n.txt");
    EXPECT_EQ(r.session_message, (string_map{{"a", "1"}, {"b", ""}}));
    EXPECT_EQ(r.proxy_notification, "pn");
    EXPECT_EQ(r.proxy_host, "h:1");
    EXPECT_EQ(r.httpt_port, "81");
    EXPECT_EQ(r.title_suffix, "");
    EXPECT_EQ(r.conn_options, (string_map{{"k", "v"}}));
    EXPECT_EQ(r.force_transport, "direct");
    EXPECT_EQ(r.mtu, "1");
    EXPECT_FALSE(r.touch_pad) << "the desk does not know --touch-pad";
    EXPECT_EQ(r.user, "u");
    EXPECT_EQ(r.password, "p");
    EXPECT_TRUE(r.get_code);
    EXPECT_EQ(r.web_login, "w");

    auto client = parse({"--touch-pad", "--username", "u", "--get-code"}, true);
    EXPECT_TRUE(client.touch_pad);
    EXPECT_EQ(client.user, "");
    EXPECT_FALSE(client.get_code);
    EXPECT_EQ(parse({}, true).code_file, "code_file.vyn");
}

TEST(CommandLine, AConsumedValueIsNotSeenAgain) {
    // "--add-title --get-code": the title is "--get-code", which is not
    // taken for the option of that name as well.
    auto r = parse({"--add-title", "--get-code"}, false);
    EXPECT_EQ(r.title_suffix, "--get-code");
    EXPECT_FALSE(r.get_code);
    auto v = parse({"--output-file", "--connect-restore", "x"}, false);
    EXPECT_EQ(v.code_file, "--connect-restore");
    EXPECT_TRUE(v.connect_params.empty());
}

TEST(CommandLine, PresetsOnEventsAndOpenAtEnd) {
    struct {
        std::vector<std::string> argv;
        bool client;
        option_list options;
    } const cases[] = {
        {{"--custom", "fernwick"},
         true,
         {{"connect", "desktop?show&control=grant"},
          {"load", "main?iconize"},
          {"connect", "main?iconize&expand=manual"}}},
        {{"--custom", "fernwickSHOW"},
         false,
         {{"connect", "desktop?show&control=grant"},
          {"load", "main?iconize"},
          {"connect", "main?iconize&expand=manual"}}},
        {{"--custom", "fernwickSHOW"},
         true,
         {{"connect", "desktop?view"}, {"load", "main?iconize"}, {"connect", "main?iconize&expand=manual"}}},
        {{"--custom", "tallowgate"},
         false,
         {{"load", "main?iconize"},
          {"connect", "main?iconize&expand=manual"},
          {"load", "main?sticky&pos=rightbottom(0,0)"},
          {"connect", "video?stream"},
          {"connect", "audio?stream"}}},
        {{"--custom", "other", "--silent"}, true, {}},
        {{"--on-connect", "main?expand=always"}, true, {{"connect", "main?expand=always"}}},
        {{"--open-at-end", "http://x/a b?c=1"},
         true,
         {{"disconnect", "main?open_url=http%3a%2f%2fx%2fa+b%3fc%3d1"}}},
    };
    for (auto const& c : cases) {
        auto r = parse(c.argv, c.client);
        option_list want{{"load", "pos=center"}};
        want.insert(want.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(r.options, want) << c.argv[0] << " " << c.argv[1];
    }
}

TEST(ApplicationOptions, ParseStoreAndLookUp) {
    app_options o;
    append_options(o, "load", "pos=center");
    append_options(o, "connect", "video?stream");
    append_options(o, "load", "main?pos=rightbottom&x");
    append_options(o, "connect", "desk%2Ftop//x?a=1#frag&b=2");
    append_options(o, "load", "main?=dropped&k=a%20b+c");
    EXPECT_EQ(o["main"]["load"], (string_map{{"pos", "rightbottom"}, {"x", ""}, {"k", "a b c"}}));
    EXPECT_EQ(o["video"]["connect"], (string_map{{"stream", ""}}));
    EXPECT_EQ(o["desk/top/x"]["connect"], (string_map{{"a", "1"}}));

    std::string v = "unchanged";
    EXPECT_TRUE(get_main_app_option(o, "load", "pos", &v));
    EXPECT_EQ(v, "rightbottom");
    EXPECT_FALSE(get_main_app_option(o, "connect", "pos", &v));
    EXPECT_EQ(v, "rightbottom");
    EXPECT_TRUE(get_main_app_option(o, "load", "x", nullptr));
    EXPECT_TRUE(check_main_app_option(o, "load", "x", ""));
    EXPECT_FALSE(check_main_app_option(o, "load", "pos", "center"));
    EXPECT_FALSE(check_main_app_option(o, "load", "none", ""));

    // The open-at-end URL comes back exactly as given.
    app_options u;
    auto r = parse({"--open-at-end", "https://h/p?q=a b&r=%41#f"}, true);
    for (auto const& [event, text] : r.options) append_options(u, event, text);
    EXPECT_TRUE(check_main_app_option(u, "disconnect", "open_url", "https://h/p?q=a b&r=%41#f"));
}

TEST(ApplicationOptions, TopmostAndPosition) {
    struct {
        char const* value;
        bool on;
    } const topmost[] = {{"false", false}, {"off", false}, {"f", false}, {"0", true},
                         {"1", true},      {"true", true}, {"", true},   {"no", true}};
    for (auto const& t : topmost) EXPECT_EQ(wanted_topmost(t.value), t.on) << t.value;

    QRect const area(0, 0, 1023, 767), frame(0, 0, 279, 391);
    struct {
        char const* where;
        QPoint at;
    } const places[] = {{"lefttop", {0, 0}},     {"leftbottom", {0, 376}},
                        {"righttop", {744, 0}},  {"rightbottom", {744, 376}},
                        {"center", {372, 188}},  {"rightbottom(0,0)", {372, 188}},
                        {"nonsense", {372, 188}}};
    for (auto const& p : places) EXPECT_EQ(position_on_screen(area, frame, p.where), p.at) << p.where;
    // An area that does not start at the origin (a panel on the left and top).
    EXPECT_EQ(position_on_screen(QRect(40, 20, 100, 51), QRect(0, 0, 10, 10), "rightbottom"),
              QPoint(130, 61));
    EXPECT_EQ(position_on_screen(QRect(40, 20, 101, 51), QRect(0, 0, 10, 11), "center"), QPoint(85, 40));
}

} // namespace

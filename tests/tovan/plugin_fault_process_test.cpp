// Plugin downloads that go wrong, at both ends of a real session under
// Xvfb: tovan_relay serves packages packed at build time, some with faults of
// its own making, in one catalogue. The desk, alone at first, refuses the bad
// ones with one box each; then a break is armed and the client comes: its
// connection breaks and the download resumes where it broke, a slow 2 MiB
// package shows its progress window and keeps the client's watchdog quiet
// while the session channel is silent, and it refuses the same packages.
#include "tests/tovan/process_suite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

using namespace tovan_test;
using std::chrono::seconds;
using test_support::relay_process;
namespace fs = std::filesystem;

class PluginFaultProcess : public process_suite {};

std::string const packages = FAULT_PACKAGES;

// The package's own "signature" head line.
std::string signature_of(std::string const& package) {
    std::string const text = read_all(packages + "/" + package);
    auto at = text.find("\nsignature=");
    if (at == std::string::npos) return {};
    at += 11;
    return text.substr(at, text.find('\n', at) - at);
}

// The relay's "download" events for ticket in text.
int downloads_of(std::string const& text, std::string const& ticket) {
    return events_with(text, "download", "\"name\":\"" + ticket + "\"");
}

// Pixels of the progress bar's filled part (the style's highlight, blue) in
// a screenshot of the window.
long filled_pixels(std::string const& ppm_path) {
    std::istringstream in(read_all(ppm_path));
    std::string magic;
    int w = 0, h = 0, max = 0;
    in >> magic >> w >> h >> max;
    in.get();
    long n = 0;
    for (long i = 0; magic == "P6" && i < long(w) * h; ++i) {
        unsigned char rgb[3];
        if (!in.read(reinterpret_cast<char*>(rgb), 3)) break;
        if (rgb[2] > 120 && rgb[2] > rgb[0] + 60) ++n;
    }
    return n;
}

// The bar's filled share in a screenshot: the longest blue run of a row (text fringes make short ones)
// over the bar, which ends as far from the right edge as the run begins from the left.
double filled_share(std::string const& ppm_path) {
    std::istringstream in(read_all(ppm_path));
    std::string magic;
    int w = 0, h = 0, max = 0, best = 0, left = 0, run = 0;
    in >> magic >> w >> h >> max;
    in.get();
    int const bytes = max > 255 ? 2 : 1; // per sample, the high byte first
    unsigned char px[6];
    for (long i = 0; magic == "P6" && i < long(w) * h && in.read(reinterpret_cast<char*>(px), 3 * bytes);
         ++i) {
        run = i % w && px[2 * bytes] > 120 && px[2 * bytes] > px[0] + 60 ? run + 1 : 0;
        if (run > best) best = run, left = int(i % w) + 1 - run;
    }
    return best == 0 ? 0.0 : double(best) / double(w - 2 * left);
}

TEST_F(PluginFaultProcess, BrokenSlowAndRefusedDownloads) {
    struct refused {
        char const* name;
        char const* fault; // the relay's, or none
        int downloads;
        char const* box;
    };
    refused const table[] = {
        {"fcorrupt", "corrupt", 1, "not used due to invalid signature."},
        {"funsigned", nullptr, 1, "not used due to mismatch in signature."},
        {"fotherkey", nullptr, 1, "not used due to invalid signature."},
        {"fdigest", nullptr, 1, "not used due to invalid signature."},
        {"fwrongsig", nullptr, 1, "not used due to mismatch in signature."},
        {"fshort", "short", 3, "not downloaded: Incorrect file size."},
        {"ferror", "error x", 3, "not downloaded: x."},
    };
    std::string const catalogue = tmp.path().toStdString() + "/catalogue.ini";
    std::vector<std::string> options = {"--files", packages, "--catalogue", catalogue};
    {
        std::ofstream out(catalogue);
        auto record = [&](std::string const& name, std::string const& extra = "") {
            out << "name=" << name << "\nversion=1.0\nplatform=linux64\nlib=lib" << name
                << ".so\ndownload_ticket=" << name << "_1_0.plugin\nauto_dl=true\n"
                << extra << "\n";
        };
        record("fgood");
        record("fbig");
        for (auto const& r : table)
            record(r.name, std::string(r.name) == "fwrongsig"
                               ? "signature=" + signature_of("fgood_1_0.plugin") + "\n"
                               : "");
        for (auto const& r : table)
            if (r.fault)
                options.insert(options.end(),
                               {"--download-fault", r.name + std::string("_1_0.plugin ") + r.fault});
    }
    ASSERT_FALSE(signature_of("fgood_1_0.plugin").empty());
    relay_process relay(options);
    std::vector<std::string> const args = relay_args(relay);

    // Each refused package shows one "Error" box; boxes that come while one
    // is open stack, and only the newest takes keys, so once all have come
    // Return goes to each open box in turn, newest first, until one goes.
    auto boxes = [&](std::string const& log) { return count_of(read_all(log), "message box \"Error\""); };
    auto open_boxes = [&] {
        std::vector<std::string> ids;
        std::istringstream in(sh("xdotool search --onlyvisible --name '^Error$' 2>/dev/null"));
        for (std::string id; in >> id;) ids.push_back(id);
        return ids;
    };
    auto answer_boxes = [&](std::string const& log) {
        auto const deadline = std::chrono::steady_clock::now() + seconds(180);
        for (std::size_t turn = 0; std::chrono::steady_clock::now() < deadline;) {
            bool const all = boxes(log) >= int(std::size(table));
            auto const ids = open_boxes();
            // While the stack still grows, a key may go to a box about to be covered.
            if (ids.empty() || !all) {
                if (wait_window("Error", seconds(all ? 3 : 1)).empty() && all) return;
                continue;
            }
            keys(ids[ids.size() - 1 - turn++ % ids.size()], "key Return");
            if (wait_until([&] { return open_boxes().size() < ids.size(); }, seconds(5))) turn = 0;
        }
        ADD_FAILURE() << "the boxes were not all answered\n" << read_all(log);
    };
    // The table at each end: one box each with its text, nothing saved,
    // nothing loaded, and as many downloads as the package's fault asks.
    auto refusals = [&](std::string const& log_path, std::string const& home, std::string const& relay_log) {
        std::string const log = read_all(log_path);
        EXPECT_EQ(boxes(log_path), int(std::size(table))) << log;
        for (auto const& r : table) {
            SCOPED_TRACE(r.name);
            std::string const full = std::string(r.name) + "_1_0";
            EXPECT_EQ(count_of(log, "message box \"Error\": Plugin \"" + full + "\" " + r.box + "\n"), 1)
                << log;
            EXPECT_EQ(downloads_of(relay_log, full + ".plugin"), r.downloads) << relay_log;
            EXPECT_FALSE(fs::exists(home + "/.dravo/" + full + "_linux64.plugin"));
            EXPECT_EQ(log.find("Trying to load " + std::string(r.name)), std::string::npos);
        }
    };

    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    std::string const desk_log = desk_dir + "/VYNDesk.out", client_log = client_dir + "/VYNClient.out";
    auto desk_args = args;
    for (char const* a : {"--username", "u", "--password", "p", "--get-code"}) desk_args.push_back(a);
    pid_t const desk = start(desk_dir, "tovan_desk", desk_args);
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "") << read_all(desk_dir + "/stderr.txt");
    answer_boxes(desk_log);
    refusals(desk_log, desk_dir + "/home", relay.log_text());

    relay.admin("download-fault fgood_1_0.plugin break 3000");
    relay.admin("download-fault fbig_1_0.plugin rate 40000"); // some 50 s
    std::size_t const client_from = relay.log_text().size();
    auto const fbig_80 = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(read_all(packages + "/fbig_1_0.plugin").size() * 8 / 400);
    auto client_args = args;
    client_args.insert(client_args.end(), {"--connect", field(session, "code")});
    pid_t const client = start(client_dir, "tovan_client", client_args);
    ASSERT_TRUE(reaches(client_log, 6, seconds(60))) << read_all(client_dir + "/stderr.txt");

    // The slow package: the client's progress window shows, its bar grows
    // from one screenshot to the next, and it goes once all is handled.
    EXPECT_TRUE(
        wait_until([&] { return downloads_of(relay.log_text().substr(client_from), "fbig_1_0.plugin") == 1; },
                   seconds(90)))
        << read_all(client_log);
    // The session channel, back after the break (the package after the
    // broken one comes over the new connection), falls silent meanwhile:
    // only the desk's watchdog (the desk downloads nothing) speaks.
    auto up = [&](std::string const& log) {
        std::string const t = read_all(log);
        return t.rfind("connection state ") == t.rfind("connection state 6\n");
    };
    ASSERT_TRUE(wait_until([&] { return up(desk_log) && up(client_log); })) << read_all(client_log);
    relay.admin("hold-legs " + field(session, "sid") + " on");
    std::string const window = wait_window("Tovan"); // the title once the dialog set its language
    ASSERT_FALSE(window.empty()) << read_all(client_log);
    std::string const shot = tmp.path().toStdString() + "/progress.ppm";
    sh("import -window " + window + " " + shot);
    long const before = filled_pixels(shot);
    long after = before;
    EXPECT_TRUE(wait_until(
        [&] {
            sh("import -window " + window + " " + shot);
            after = filled_pixels(shot);
            return after > before;
        },
        seconds(30)))
        << before << " " << after;
    screenshot("plugin_download_progress");
    // The bar counts the package still arriving: not 90% full before 80% of it can have come.
    for (int n = 0; std::chrono::steady_clock::now() < fbig_80; ++n) {
        sh("import -window " + window + " " + shot);
        ASSERT_LT(filled_share(shot), 0.9) << "shot " << n;
    }
    EXPECT_TRUE(
        wait_until([&] { return count_of(read_all(desk_log), "message CONNECTION_DOWN") > 0; }, seconds(90)));
    EXPECT_TRUE(wait_until([&] { return count_of(read_all(client_log), "prepared plugin fbig_1_0") > 0; },
                           seconds(60)));
    relay.admin("hold-legs " + field(session, "sid") + " off");
    EXPECT_EQ(count_of(read_all(client_log), "message CONNECTION_DOWN"), 0);
    answer_boxes(client_log);
    EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(window)), seconds(60)));
    std::string const relay_log = relay.log_text().substr(client_from);
    refusals(client_log, client_dir + "/home", relay_log);
    std::string const client_says = read_all(client_log);

    // The broken download: the client reconnects, asks for the rest only,
    // and the saved package is the one served.
    EXPECT_NE((client_says + read_all(client_dir + "/stderr.txt")).find("(skip:3000)"), std::string::npos)
        << client_says;
    EXPECT_GE(count_of(client_says, "ConnectionThreadClass::run"), 2)
        << client_says; // before or after state 6
    EXPECT_EQ(downloads_of(relay_log, "fgood_1_0.plugin"), 2) << relay_log;
    EXPECT_NE(relay_log.find("\"name\":\"fgood_1_0.plugin\",\"offset\":3000"), std::string::npos)
        << relay_log;
    for (char const* good : {"fgood_1_0", "fbig_1_0"})
        EXPECT_TRUE(read_all(client_dir + "/home/.dravo/" + good + "_linux64.plugin") ==
                    read_all(packages + "/" + good + ".plugin"))
            << good;

    // The desk heard the client's progress, the last report being "nothing
    // left" (-1, -1), its packet's bytes escaped in the log.
    std::string const desk_says = read_all(desk_log);
    auto const last = desk_says.rfind("module_plugin_download ");
    ASSERT_NE(last, std::string::npos) << desk_says;
    EXPECT_EQ(desk_says.substr(last + 23, 16), "\\x01\\x81\\x01\\x81");
    EXPECT_GT(count_of(desk_says, "module_plugin_download "), 2);

    // The desk disconnects (the server ends both), then both close.
    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    move_apart(client_win, desk_win);
    ASSERT_TRUE(disconnect_at_desk(desk_log, client_log, desk_win, seconds(10)))
        << read_all(desk_log).substr(desk_says.size()) << "\n--- client:\n"
        << read_all(client_log).substr(client_says.size());
    close_cleanly(client, client_win, client_dir);
    close_cleanly(desk, desk_win, desk_dir);
}

} // namespace

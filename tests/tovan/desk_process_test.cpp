// The real tovan_desk under Xvfb: its role by file name, its window's title,
// size and place, the frames its buttons show, the missing-configuration
// box, a normal close and the log file of a second start. Screenshots are
// kept under screenshots/ beside this test binary.
#include "tests/tovan/process_suite.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace tovan_test;
namespace fs = std::filesystem;

// Solid-variant frame colours (tools/tovan_images): normal, default, hover.
QColor const normal_colour(0x20, 0xa0, 0x20), default_colour(0x20, 0x20, 0xa0),
    hover_colour(0xa0, 0x20, 0x20);

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

struct window_geometry {
    int x = -1, y = -1, width = -1, height = -1;
};

class DeskProcess : public process_suite {
protected:
    // A run directory like the build's, with the flat-colour program under name.
    std::string make_run_dir(std::string const& name, bool with_conf = true) {
        return process_suite::make_run_dir(name, true, with_conf);
    }
    pid_t start(std::string const& dir, std::string const& name,
                std::vector<std::string> args = {"--vynwex"}) {
        last_stderr = dir + "/stderr.txt";
        return process_suite::start(dir, name, args);
    }

    std::string wm_name(std::string const& id) {
        return trimmed(shell(server->display(), "xprop -id " + id + " WM_NAME"));
    }

    window_geometry geometry(std::string const& id) {
        std::istringstream in(shell(server->display(), "xwininfo -id " + id));
        window_geometry g;
        for (std::string line; std::getline(in, line);) {
            auto value = [&](char const* label, int& out) {
                auto at = line.find(label);
                if (at != std::string::npos) out = std::stoi(line.substr(at + std::strlen(label)));
            };
            value("Absolute upper-left X:", g.x);
            value("Absolute upper-left Y:", g.y);
            value("Width:", g.width);
            value("Height:", g.height);
        }
        return g;
    }

    QImage screenshot(std::string const& name) {
        process_suite::screenshot(name);
        return QImage(QString::fromStdString(std::string(SCREENSHOT_DIR) + "/" + name + ".png"));
    }

    // Waits for the pixel at (x, y) to take one of colours; false after 30 s.
    bool wait_pixel(std::string const& name, int x, int y, std::vector<QColor> const& colours) {
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            QColor c = screenshot(name).pixelColor(x, y);
            for (auto const& want : colours)
                if (c == want) return true;
        }
        return false;
    }

    // Clicks the close button and waits for the window to go.
    void close_by_button(std::string const& id) {
        window_geometry g = geometry(id);
        shell(server->display(), "xdotool mousemove " + std::to_string(g.x + 244) + " " +
                                     std::to_string(g.y + 206) + " click 1");
        EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(id)), std::chrono::seconds(60)))
            << "the window stayed after its close button was clicked";
    }

    std::string last_stderr;
};

TEST_F(DeskProcess, RoleByFileName) {
    // Each start-up dialog makes no window (refused by the reader, unclosed,
    // no dialog at all): passed over, not waited for.
    std::string const deep = "<dialog>" + QByteArray("<a>").repeated(100000).toStdString();
    struct {
        char const* name;
        char const* title;
        bool asks;
        char const* startup;
    } const cases[] = {{"tovan_desk", "Tovan Desk", false, deep.c_str()},
                       {"x_client", "Tovan Client", false, "<dialog><a><b>"},
                       {"tovan", "Tovan Desk", true, "<static width='5'/>"}};
    for (auto const& c : cases) {
        std::string dir = make_run_dir(c.name);
        std::ofstream(dir + "/dialogs.ini") << "[en]\nsod_dialog=" << c.startup;
        pid_t pid = start(dir, c.name, {});
        if (c.asks) {
            std::string box = wait_window("client");
            ASSERT_FALSE(box.empty()) << c.name << " did not ask";
            screenshot(std::string("role-question-") + c.name);
            // Escape answers the question No.
            answer(box, "Escape");
        }
        std::string id = wait_window(c.title);
        ASSERT_FALSE(id.empty()) << c.name;
        EXPECT_EQ(wm_name(id), std::string("WM_NAME(STRING) = \"") + c.title + "\"") << c.name;
        screenshot(std::string("role-") + c.name);
        close_by_button(id);
        int status = finish(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name << " " << status << "\n"
                                                                   << read_all(last_stderr);
        EXPECT_EQ(read_all(dir + "/VYNDesk.out").find("description refused: error 5") != std::string::npos,
                  c.startup == deep.c_str());
    }
}

TEST_F(DeskProcess, MissingConfigurationIsACriticalError) {
    std::string dir = make_run_dir("tovan_desk", false);
    pid_t pid = start(dir, "tovan_desk");
    std::string box = wait_window("Critical error");
    ASSERT_FALSE(box.empty());
    screenshot("critical-error");
    answer(box, "Return");
    int status = finish(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_FALSE(fs::exists(dir + "/VYNDesk.out"));
}

// The language follows the locale: LC_ALL over LANG, pt_BR and nb_NO by
// their own tokens.
TEST_F(DeskProcess, LanguageFromTheLocale) {
    struct {
        char const* lc_all;
        char const* lang;
        char const* language;
    } const cases[] = {{"", "pt_BR.UTF-8", "ptbr"}, {"nb_NO.UTF-8", "de_DE.UTF-8", "no"}, {"", "C", "en"}};
    for (auto const& c : cases) {
        std::string dir = make_run_dir("tovan_desk");
        setenv("LC_ALL", c.lc_all, 1);
        setenv("LANG", c.lang, 1);
        pid_t pid = start(dir, "tovan_desk");
        unsetenv("LC_ALL");
        setenv("LANG", "C.UTF-8", 1);
        std::string id = wait_window("Tovan Desk");
        ASSERT_FALSE(id.empty()) << c.lang;
        close_by_button(id);
        EXPECT_EQ(WEXITSTATUS(finish(pid)), 0);
        EXPECT_NE(read_all(dir + "/VYNDesk.out")
                      .find(std::string("Setting language to the detected value: ") + c.language + "\n"),
                  std::string::npos)
            << c.lang;
    }
}

// A working directory whose configuration path would not fit 1023
// characters is refused like a missing file, not cut short.
TEST_F(DeskProcess, AnOverlongConfigurationPathIsRefused) {
    std::string dir = make_run_dir("tovan_desk");
    fs::path deep = dir;
    while (deep.string().size() < 1030) deep /= std::string(100, 'd');
    fs::create_directories(deep);
    fs::copy(fs::path(dir) / "conf", deep / "conf", fs::copy_options::recursive);
    last_stderr = dir + "/stderr.txt";
    pid_t pid = spawn(server->display(), deep.string(), dir + "/tovan_desk", {"--vynwex"}, last_stderr);
    live.push_back(pid);
    std::string box = wait_window("Critical error");
    ASSERT_FALSE(box.empty());
    answer(box, "Return");
    int status = finish(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

TEST_F(DeskProcess, CentredSizedAndClosedCleanly) {
    std::string dir = make_run_dir("tovan_desk");
    pid_t pid =
        start(dir, "tovan_desk", {"--vynwex", "--add-title", "", "--notification-file", "notify.txt"});
    std::string id = wait_window("Tovan Desk");
    ASSERT_FALSE(id.empty());
    window_geometry g = geometry(id);
    EXPECT_EQ(g.width, 279);
    EXPECT_EQ(g.height, 230);
    EXPECT_EQ(g.x, 1023 / 2 - 279 / 2);
    EXPECT_EQ(g.y, 767 / 2 - 230 / 2);

    // Each button of the idle look shows its normal (or default) frame, the
    // hover frame once the mouse is on it; those of a session are hidden.
    struct button {
        char const* name;
        int x, y, w, h;
    };
    button const buttons[] = {
        {"IDC_ACTION", 14, 187, 150, 38}, {"IDC_SETINGS", 175, 187, 38, 38}, {"IDC_CLOSE", 225, 187, 38, 38}};
    button const session_buttons[] = {
        {"IDC_SETINGS1", 13, 8, 38, 38}, {"IDC_SEND", 226, 325, 38, 38}, {"IDC_CLOSE1", 13, 51, 38, 38}};
    // The pointer may still rest where an earlier test clicked.
    shell(server->display(), "xdotool mousemove 0 0");
    ASSERT_TRUE(wait_pixel("desk-idle", g.x + 225 + 2, g.y + 187 + 2, {normal_colour, default_colour}));
    // Left to itself the program loads no GL driver: the window draws none,
    // and the drivers would be most of its memory.
    std::string const maps = read_all("/proc/" + std::to_string(pid) + "/maps");
    EXPECT_EQ(maps.find("/dri/"), std::string::npos);
    EXPECT_EQ(maps.find("libLLVM"), std::string::npos);
    // Its own pictures are read without asking (and so loading) every image plugin.
    EXPECT_EQ(maps.find("imageformats"), std::string::npos);
    QImage shot = screenshot("desk-idle");
    // The window's shape cuts its two lower corners: there the screen shows
    // through, as it does beside the window.
    QColor const outside = shot.pixelColor(g.x - 2, g.y + g.height - 1);
    EXPECT_EQ(shot.pixelColor(g.x, g.y + g.height - 1), outside);
    EXPECT_EQ(shot.pixelColor(g.x + g.width - 1, g.y + g.height - 1), outside);
    EXPECT_NE(shot.pixelColor(g.x + 6, g.y + g.height - 1), outside);
    EXPECT_NE(shot.pixelColor(g.x, g.y + g.height - 6), outside);
    EXPECT_NE(shell(server->display(), "xwininfo -shape -id " + id).find("Window shape extents"),
              std::string::npos);
    for (auto const& b : buttons) {
        QColor c = shot.pixelColor(g.x + b.x + 2, g.y + b.y + 2);
        EXPECT_TRUE(c == normal_colour || c == default_colour)
            << b.name << " shows " << c.name().toStdString();
    }
    for (auto const& b : session_buttons) {
        QColor c = shot.pixelColor(g.x + b.x + 2, g.y + b.y + 2);
        EXPECT_FALSE(c == normal_colour || c == default_colour || c == hover_colour) << b.name << " shows";
    }
    for (auto const& b : buttons) {
        int const cx = g.x + b.x + b.w / 2, cy = g.y + b.y + b.h / 2;
        shell(server->display(), "xdotool mousemove " + std::to_string(cx) + " " + std::to_string(cy));
        EXPECT_TRUE(wait_pixel(std::string("hover-") + b.name, g.x + b.x + 2, g.y + b.y + 2, {hover_colour}))
            << b.name;
    }

    close_by_button(id);
    int status = finish(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << read_all(last_stderr);
    EXPECT_EQ(read_all(dir + "/notify.txt"), "0 0\n");
    EXPECT_EQ(read_all(last_stderr).find("Sanitizer"), std::string::npos) << read_all(last_stderr);
    std::string log = read_all(dir + "/VYNDesk.out");
    EXPECT_NE(log.find("Starting GUI 3.3.2"), std::string::npos) << log;

    // A second start moves the first log aside, byte for byte.
    pid = start(dir, "tovan_desk", {"--vynwex", "--on-load", "pos=rightbottom"});
    id = wait_window("Tovan Desk");
    ASSERT_FALSE(id.empty());
    g = geometry(id);
    EXPECT_EQ(g.x + g.width - 1, 1022) << "right edge on the last column";
    EXPECT_EQ(g.y + g.height - 1, 766) << "bottom edge on the last row";
    close_by_button(id);
    EXPECT_EQ(WEXITSTATUS(finish(pid)), 0);
    int aside = 0;
    for (auto const& e : fs::directory_iterator(dir)) {
        if (e.path().filename().string().rfind("VYNDesk.out_", 0) == 0) {
            ++aside;
            EXPECT_EQ(read_all(e.path().string()), log);
        }
    }
    EXPECT_EQ(aside, 1);
}

// Under openbox, for this test alone: the desk in the screen's bottom right corner, where operators keep
// it, and the settings window, opened by keys (Tab past Connect to the gear, space), lies wholly on the
// screen, frame and all, once its page is in (it is then wider than its list), in English and German.
TEST_F(DeskProcess, SettingsFromTheCornerOnTheScreen) {
    window_manager const wm(server->display());
    for (auto const& [lang, title] : {std::pair{"C.UTF-8", "Settings"}, {"de_DE.UTF-8", "Einstellungen"}}) {
        pid_t const pid =
            process_suite::start(make_run_dir("tovan_desk"), "tovan_desk",
                                 {"--vynwex", "--on-load", "pos=rightbottom"}, {{"LANG", lang}});
        std::string const desk = wait_window("Tovan Desk");
        keys(desk, "key Tab Tab space");
        std::string const settings = wait_window(title);
        ASSERT_FALSE(settings.empty()) << lang;
        x_windows::area f;
        EXPECT_TRUE(wait_until([&] {
            f = x->frame_of(uint32_t(std::stoul(settings)));
            return f.width > 600 && f.x >= 0 && f.y >= 0 && f.x + f.width <= 1023 && f.y + f.height <= 767;
        })) << lang
            << ": " << f.x << "," << f.y << " " << f.width << "x" << f.height;
        screenshot(std::string("settings-from-the-corner-") + lang);
        answer(settings, "Escape");
        close_by_button(desk);
        EXPECT_EQ(finish(pid), 0) << lang;
    }
}

} // namespace

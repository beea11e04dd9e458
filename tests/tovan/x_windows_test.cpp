// Waiting on windows while others come and go on the display: the process
// tests' programs make and drop windows of their own (a question box goes as
// soon as it is answered), and a look at the window tree that meets one of
// them mid-way must skip it, not end the wait empty-handed.
#include "tests/tovan/x_windows.h"
#include "tests/tovan/xvfb_server.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using namespace tovan_test;

// A client of its own on the display, making windows for the test to find.
struct client {
    explicit client(std::string const& display) : c(xcb_connect(display.c_str(), nullptr)) {
        root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    }
    ~client() { xcb_disconnect(c); }

    uint32_t make(std::string const& title, bool map) {
        uint32_t w = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, root, 10, 10, 50, 50, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            uint32_t(title.size()), title.data());
        if (map) xcb_map_window(c, w);
        sync();
        return w;
    }
    void drop(uint32_t w) {
        xcb_destroy_window(c, w);
        sync();
    }
    // Every request so far has reached the server.
    void sync() { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

    xcb_connection_t* c;
    uint32_t root;
};

TEST(XWindows, FoundWhileOtherWindowsComeAndGo) {
    xvfb_server server(640, 480);
    x_windows x(server.display());
    std::atomic<bool> stop{false};
    // Windows made, mapped and dropped without pause all through the test.
    std::thread churn([&] {
        client other(server.display());
        while (!stop) other.drop(other.make("churn", true));
    });
    client mine(server.display());
    for (int i = 0; i < 40; ++i) {
        std::string const title = "target " + std::to_string(i);
        // One of the title is never mapped: it is passed over.
        uint32_t const hidden = mine.make(title, false);
        uint32_t const shown = mine.make(title, true);
        EXPECT_EQ(x.wait_viewable(title, std::chrono::seconds(60)), shown) << title;
        EXPECT_FALSE(x.wait_gone(shown, std::chrono::seconds(0))) << title;
        EXPECT_TRUE(x.focus(shown, std::chrono::seconds(60))) << title;
        mine.drop(shown);
        EXPECT_TRUE(x.wait_gone(shown, std::chrono::seconds(60))) << title;
        EXPECT_TRUE(x.wait_gone(hidden, std::chrono::seconds(60))) << title;
        EXPECT_FALSE(x.focus(hidden, std::chrono::seconds(60)))
            << title << ": an unmapped window takes no focus";
        mine.drop(hidden);
    }
    EXPECT_EQ(x.wait_viewable("absent", std::chrono::seconds(1)), 0u);
    stop = true;
    churn.join();
}

} // namespace

// A private Xvfb and a connection that watches its top-level windows being
// mapped, for the benchmarks that time a program's start to its window.
// One thread; the server is stopped with the object.
#pragma once

#include "tests/tovan/xvfb_server.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <poll.h>

namespace bench_support {

struct window_map {
    tovan_test::xvfb_server server{1024, 768};
    xcb_connection_t* connection = nullptr;

    window_map() {
        connection = xcb_connect(server.display().c_str(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);
    }
    ~window_map() { xcb_disconnect(connection); }
    window_map(window_map const&) = delete;
    window_map& operator=(window_map const&) = delete;

    // Waits for the map of a top-level window of width by height (the desk's
    // is 279 by 230); false after 60 s.
    bool wait_map(uint16_t width = 279, uint16_t height = 230) {
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        pollfd p{xcb_get_file_descriptor(connection), POLLIN, 0};
        while (std::chrono::steady_clock::now() < deadline) {
            while (xcb_generic_event_t* e = xcb_poll_for_event(connection)) {
                bool hit = false;
                if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                    auto* m = reinterpret_cast<xcb_map_notify_event_t*>(e);
                    xcb_get_geometry_reply_t* g =
                        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, m->window), nullptr);
                    hit = g && g->width == width && g->height == height;
                    std::free(g);
                }
                std::free(e);
                if (hit) return true;
            }
            ::poll(&p, 1, 100);
        }
        return false;
    }
};

} // namespace bench_support

#include "tests/tovan/x_windows.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <vector>

namespace tovan_test {

namespace {

template <class T>
using reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
reply<T> own(T* r) {
    return reply<T>(r, &std::free);
}

} // namespace

x_windows::x_windows(std::string const& display) {
    m_connection = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(m_connection)) {
        xcb_disconnect(m_connection);
        throw std::runtime_error("cannot open display " + display);
    }
    m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    // Top-levels are the root's children, or listed on it by a window manager that reparents them: their
    // creation, map, unmap and end, or the list's changes, are told to the root's listeners.
    uint32_t const mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
    auto a = own(xcb_intern_atom_reply(m_connection, xcb_intern_atom(m_connection, 0, 16, "_NET_CLIENT_LIST"),
                                       nullptr));
    m_client_list = a ? a->atom : 0;
    xcb_flush(m_connection);
}

x_windows::~x_windows() {
    xcb_disconnect(m_connection);
}

bool x_windows::viewable(uint32_t window) {
    auto a = own(xcb_get_window_attributes_reply(m_connection,
                                                 xcb_get_window_attributes(m_connection, window), nullptr));
    return a && a->map_state == XCB_MAP_STATE_VIEWABLE;
}

std::string x_windows::title_of(uint32_t window) {
    auto p = own(xcb_get_property_reply(
        m_connection,
        xcb_get_property(m_connection, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
        nullptr));
    if (!p) return {};
    return std::string(static_cast<char const*>(xcb_get_property_value(p.get())),
                       size_t(xcb_get_property_value_length(p.get())));
}

uint32_t x_windows::find(std::string const& title) {
    auto tree = own(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
    if (!tree) return 0;
    xcb_window_t const* children = xcb_query_tree_children(tree.get());
    std::vector<uint32_t> windows(children, children + xcb_query_tree_children_length(tree.get()));
    auto managed = own(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, m_root, m_client_list, XCB_ATOM_WINDOW, 0, 4096),
        nullptr));
    if (managed && managed->format == 32) {
        auto const* w = static_cast<uint32_t const*>(xcb_get_property_value(managed.get()));
        windows.insert(windows.end(), w, w + xcb_get_property_value_length(managed.get()) / 4);
    }
    uint32_t const mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    for (uint32_t const w : windows) {
        // A title set after the map is told by a property event. A window
        // gone by now answers with an error, and no title.
        xcb_change_window_attributes(m_connection, w, XCB_CW_EVENT_MASK, &mask);
        if (title_of(w) == title && viewable(w)) return w;
    }
    return 0;
}

x_windows::area x_windows::frame_of(uint32_t window) {
    for (;;) {
        auto tree = own(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, window), nullptr));
        if (!tree) return {};
        if (tree->parent == m_root || tree->parent == XCB_NONE) break;
        window = tree->parent;
    }
    auto g = own(xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr));
    if (!g) return {};
    return {g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width};
}

uint32_t x_windows::find_popup() {
    auto tree = own(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
    if (!tree) return 0;
    xcb_window_t const* children = xcb_query_tree_children(tree.get());
    int const n = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < n; ++i) {
        auto a = own(xcb_get_window_attributes_reply(
            m_connection, xcb_get_window_attributes(m_connection, children[i]), nullptr));
        if (a && a->override_redirect && a->map_state == XCB_MAP_STATE_VIEWABLE) return children[i];
    }
    return 0;
}

uint32_t x_windows::wait_popup(std::chrono::seconds limit) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (uint32_t w = find_popup()) return w;
        if (!next_event(deadline)) return find_popup();
    }
}

bool x_windows::next_event(std::chrono::steady_clock::time_point deadline) {
    xcb_flush(m_connection);
    for (;;) {
        // The limit holds even while other clients keep the events coming.
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || xcb_connection_has_error(m_connection)) return false;
        // Errors of requests whose replies were not asked for come here too.
        // All that have arrived count as one: the caller looks again once.
        if (xcb_generic_event_t* e = xcb_poll_for_event(m_connection)) {
            do std::free(e);
            while ((e = xcb_poll_for_event(m_connection)));
            return true;
        }
        pollfd p{xcb_get_file_descriptor(m_connection), POLLIN, 0};
        ::poll(&p, 1, int(left.count()));
    }
}

uint32_t x_windows::wait_viewable(std::string const& title, std::chrono::seconds limit) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (uint32_t w = find(title)) return w;
        if (!next_event(deadline)) return find(title);
    }
}

bool x_windows::focus(uint32_t window, std::chrono::seconds limit) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    uint32_t const mask =
        XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(m_connection, window, XCB_CW_EVENT_MASK, &mask);
    for (;;) {
        if (!viewable(window)) return false;
        auto held = own(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
        if (held && held->focus == window) return true;
        // Asked again after every change: the program may move the focus itself while it starts.
        if (xcb_generic_error_t* e = xcb_request_check(
                m_connection, xcb_set_input_focus_checked(m_connection, XCB_INPUT_FOCUS_PARENT, window,
                                                          XCB_CURRENT_TIME))) {
            std::free(e);
            return false;
        }
        if (!next_event(deadline)) return false;
    }
}

bool x_windows::wait_gone(uint32_t window, std::chrono::seconds limit) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (!viewable(window)) return true;
        if (!next_event(deadline)) return !viewable(window);
    }
}

} // namespace tovan_test

// The test's own connection to an X server, to wait on the program's windows
// by the server's events rather than by polling tools. Programs come and go
// on the display while it looks: a window that vanishes mid-look is skipped
// (an X error on a request of this connection is an answer, not a fault),
// where xdotool's search exits on the error and reports nothing.
//
// One thread; every wait has a limit and returns false or 0 when it passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct xcb_connection_t;

namespace tovan_test {

class x_windows {
public:
    // Throws std::runtime_error when the display cannot be opened.
    explicit x_windows(std::string const& display);
    ~x_windows();
    x_windows(x_windows const&) = delete;
    x_windows& operator=(x_windows const&) = delete;

    // The top-level window whose whole title (WM_NAME) is title, once it is
    // viewable; 0 when none is within the limit.
    uint32_t wait_viewable(std::string const& title, std::chrono::seconds limit);
    // Gives window the input focus and waits until the server says it holds
    // it; false when the window is not viewable or the limit passes.
    bool focus(uint32_t window, std::chrono::seconds limit);
    // Waits until window is unmapped or destroyed; false when it is still
    // viewable at the limit.
    bool wait_gone(uint32_t window, std::chrono::seconds limit);

    // A viewable pop-up (an override-redirect top-level: a menu) once one
    // shows; 0 when none is within the limit.
    uint32_t wait_popup(std::chrono::seconds limit);

    // The window's frame on the screen: its ancestor among the root's
    // children (the window manager's frame, or the window itself without
    // one), as x, y, width and height; all 0 when it is gone.
    struct area {
        int x = 0, y = 0, width = 0, height = 0;
        bool overlaps(area const& o) const {
            return x < o.x + o.width && o.x < x + width && y < o.y + o.height && o.y < y + height;
        }
    };
    area frame_of(uint32_t window);

    // The id as the X tools take it.
    static std::string id(uint32_t window) { return std::to_string(window); }

private:
    bool viewable(uint32_t window);
    std::string title_of(uint32_t window);
    uint32_t find(std::string const& title);
    uint32_t find_popup();
    // Waits for the next event (of any kind) until deadline; false at the deadline.
    bool next_event(std::chrono::steady_clock::time_point deadline);

    xcb_connection_t* m_connection = nullptr;
    uint32_t m_root = 0;
    uint32_t m_client_list = 0; // the atom _NET_CLIENT_LIST
};

} // namespace tovan_test

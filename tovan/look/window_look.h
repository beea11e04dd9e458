// What the main window shows for a role, a connection state and the status
// bits: the status groups applied in order, which widgets are visible, the
// background pieces, the window's height and shape, the place of the status
// text and the notification numbers. Pure values; the dialog applies them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tovan::look {

// Status bits of the dialog's flags that the look reads.
constexpr uint64_t shown_bit = 0x100;      // this end's desktop is shown to the other
constexpr uint64_t controlled_bit = 0x200; // ... and the other end controls it
constexpr uint64_t viewing_bit = 0x800;    // desk: viewing the client's desktop
// The visibility bit of a plugin button's mask and style.
constexpr uint64_t visible_bit = 0x10000000;

// The translation-key prefix of a status number ("cli_con", "dsk_prg", ...);
// empty for a number that names no status.
std::string status_prefix(int number);

struct rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(rect const& o) const {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
};

struct point {
    int x = 0, y = 0;
    bool operator==(point const& o) const { return x == o.x && y == o.y; }
};

struct window_look {
    bool connected = false;
    // Status numbers in the order they are applied: the last one's texts
    // stay where it has any.
    std::vector<int> statuses;
    bool code_field = false;     // IDC_CODE shown (and IDC_LOG_OUTPUT the opposite)
    bool plugin_buttons = false; // the four pad buttons shown
    bool idle_buttons = false;   // close, settings and action shown (close1, settings1 the opposite)
    bool connect_image = false;
    bool mail_button = false;
    bool chat_mode = false; // chat input and send button; needs a session of the current mode
    int upper_piece = 0;    // indices of the background images
    int lower_piece = 0;
    int height = 0;
    rect status_text;
    // Numbers of the notification a connected window writes (first is -1
    // while not connected).
    int notification = -1;
};

// piece heights: the upper pieces are 187 rows, the lower ones 43 (idle)
// and 180 (connected).
window_look look_of(bool is_client, int64_t state, uint64_t flags, bool old_peer);

// The window's outline: a rectangle of width w and height h whose two lower
// corners are cut by 5 pixels, as a closed polygon.
std::vector<point> window_outline(int w, int h);

// Where the main window's top-left corner goes so that its frame stays on
// the screen's available area (only upward moves; the left edge stays).
point keep_on_screen(rect frame, rect available);

// Where a companion window's frame (of the given size; its x and y are not
// read) goes beside the window's frame so that neither covers the other:
// right of it, else left, else below, else above, on the first side where it
// fits whole on the available area, in line with the window's top (or left)
// edge and moved along that edge to stay on the area. When no side has
// room, the side with the most, kept on the area as far as it goes.
point beside(rect window, rect companion, rect available);

// Where a window whose frame is width by height goes over its owner's frame:
// centred on it, then moved the least that puts it wholly on the available
// area; one larger than the area starts at the area's top-left corner, so
// that its title bar stays within reach.
point place_over(rect owner, rect available, int width, int height);

} // namespace tovan::look

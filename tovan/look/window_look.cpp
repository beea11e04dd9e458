#include "tovan/look/window_look.h"

#include <algorithm>

namespace tovan::look {

std::string status_prefix(int number) {
    switch (number) {
    case -2:
        return "gen_upp";
    case -1:
        return "gen_rec";
    case 0:
        return "cli_dis";
    case 1:
        return "cli_con";
    case 2:
        return "cli_str";
    case 3:
        return "cli_ctr";
    case 5:
        return "cli_vie";
    case 10:
        return "dsk_dis";
    case 11:
        return "dsk_prg";
    case 12:
        return "dsk_con";
    case 13:
        return "dsk_str";
    case 14:
        return "dsk_ctr";
    case 16:
        return "dsk_vie";
    default:
        return {};
    }
}

window_look look_of(bool is_client, int64_t state, uint64_t flags, bool old_peer) {
    window_look l;
    int const number = static_cast<int>(state & 15);
    l.connected = number >= 6;
    bool const shown = flags & shown_bit, controlled = flags & controlled_bit;
    // Client statuses are 0-3, the desk's the same plus 10 with 12 for
    // "connected".
    int const base = is_client ? 0 : 10;
    if (l.connected) {
        l.statuses.push_back(is_client ? 1 : 12);
        if (shown) l.statuses.push_back(base + (is_client ? 0 : 1) + (controlled ? 3 : 2));
        if (!is_client && (flags & viewing_bit)) l.statuses.push_back(16);
        if (number == 7) l.statuses.push_back(-1);
    } else if (!is_client && number == 5) {
        l.statuses.push_back(11);
    } else {
        l.statuses.push_back(base);
    }
    l.code_field = !l.connected;
    l.plugin_buttons = l.connected && !is_client;
    l.idle_buttons = !l.connected;
    l.connect_image = l.connected && is_client;
    l.mail_button = !is_client && number == 5;
    l.chat_mode = l.connected && !old_peer;
    l.upper_piece = is_client ? (l.connected ? 4 : 2) : (l.connected ? 5 : 3);
    l.lower_piece = is_client ? (l.connected ? 8 : 6) : (l.connected ? 9 : 7);
    l.height = 187 + (l.connected ? 180 : 43);
    if (!l.connected)
        l.status_text = {17, 94, 255, 51};
    else
        l.status_text = {17, is_client ? 90 : 100, 250, 76};
    if (l.connected) l.notification = (shown ? 6 : 2) + ((flags & viewing_bit) ? 8 : 0);
    return l;
}

std::vector<point> window_outline(int w, int h) {
    return {{0, 0}, {0, h - 5}, {5, h}, {w - 5, h}, {w, h - 5}, {w, 0}, {0, 0}};
}

point keep_on_screen(rect frame, rect available) {
    int const bottom = frame.y + frame.height - 1, last = available.y + available.height - 1;
    if (bottom <= last) return {frame.x, frame.y};
    return {frame.x, last - frame.height + 1};
}

namespace {

// v moved into [low, high]; low when the range is empty.
int within(int v, int low, int high) {
    return std::max(low, std::min(v, high));
}

} // namespace

point beside(rect window, rect companion, rect available) {
    int const cw = companion.width, ch = companion.height;
    int const left = available.x, top = available.y;
    int const right = available.x + available.width, bottom = available.y + available.height;
    int const across = within(window.y, top, bottom - ch), along = within(window.x, left, right - cw);
    struct side {
        point at;
        int room; // what is left beside the window on that side, less what the companion needs
    } const sides[] = {
        {{window.x + window.width, across}, right - (window.x + window.width) - cw},
        {{window.x - cw, across}, window.x - left - cw},
        {{along, window.y + window.height}, bottom - (window.y + window.height) - ch},
        {{along, window.y - ch}, window.y - top - ch},
    };
    side const* best = &sides[0];
    for (side const& s : sides) {
        if (s.room >= 0) return s.at;
        if (s.room > best->room) best = &s;
    }
    return {within(best->at.x, left, right - cw), within(best->at.y, top, bottom - ch)};
}

point place_over(rect owner, rect available, int width, int height) {
    return {
        within(owner.x + (owner.width - width) / 2, available.x, available.x + available.width - width),
        within(owner.y + (owner.height - height) / 2, available.y, available.y + available.height - height)};
}

} // namespace tovan::look

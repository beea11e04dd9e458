#include "tovan/dialogs/dialog_model.h"

#include "rulo/exception.h"
#include "rulo/packet.h"
#include "rulo/text.h"
#include "rulo/xfile.h"
#include "tovan/lang/translations.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace tovan {

namespace {

struct style_name {
    char const* name;
    uint32_t value;
};

constexpr style_name style_names[] = {
    {"IDOK", 0x1},
    {"IDCANCEL", 0x2},
    {"WS_BORDER", 0x800000},
    {"WS_CAPTION", 0xC00000},
    {"WS_POPUP", 0x80000000},
    {"WS_SYSMENU", 0x80000},
    {"WS_VSCROLL", 0x200000},
    {"WS_EX_APPWINDOW", 0x40000},
    {"WS_EX_CLIENTEDGE", 0x200},
    {"BS_AUTORADIOBUTTON", 0x9},
    {"BS_AUTOCHECKBOX", 0x3},
    {"BS_CENTER", 0x300},
    {"WS_GROUP", 0x20000},
    {"CBS_DROPDOWN", 0x2},
    {"CBS_DROPDOWNLIST", 0x3},
    {"SS_BITMAP", 0xE},
    {"SS_ICON", 0x3},
    {"SS_CENTER", 0x1},
    {"SS_RIGHT", 0x2},
    {"ES_AUTOVSCROLL", 0x40},
    {"ES_AUTOHSCROLL", 0x80},
    {"ES_MULTILINE", 0x4},
    {"ES_WANTRETURN", 0x1000},
    {"ES_PASSWORD", 0x20},
};

constexpr uint32_t style_child = 0x40000000;
constexpr uint32_t style_visible = 0x10000000;
constexpr uint32_t style_tabstop = 0x10000;
constexpr uint32_t style_group = 0x20000;
constexpr uint32_t style_password = 0x20;

std::atomic<uint32_t> g_next_control_id{1000};

// A decimal number as a C library atoi reads it (blanks, sign, digits; 0
// without digits), saturating instead of overflowing.
long long read_number(std::string const& text, long long limit) {
    std::size_t i = 0;
    while (i < text.size() && xml_is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        v = std::min(limit, v * 10 + (text[i] - '0'));
    return negative ? -v : v;
}

// Keeps a side within 0 .. dialog_max_pixels (right = left - 1 is empty).
int bounded_far_edge(int near, int far) {
    return std::clamp(far, near - 1, near + dialog_max_pixels - 1);
}

int first_non_zero_units(_tagXMLNode const& node, char const* first, char const* second) {
    int v = read_units(node, first, 0);
    return v != 0 ? v : read_units(node, second, 0);
}

} // namespace

std::string dialog_text(ini_sections const& table, std::string const& language, std::string const& name) {
    std::string text = get_ini_string(table, language, name);
    if (text.empty()) text = get_ini_string(table, "en", name);
    rulo::replace_all(text, "<br/>", "\r\n");
    rulo::replace_all(text, "<br>", "\r\n");
    return text;
}

std::string GetLanguageDialog(std::string const& name) {
    std::string path;
    try {
        path = rulo::expand_filename("dialogs.ini");
        if (!rulo::file_exists(path)) path = rulo::expand_filename("conf_static/dialogs.ini");
    } catch (rulo::exception const&) {
        return {};
    }
    ini_sections table;
    if (!rulo::file_exists(path) || !read_ini_file(path, table, true, false)) return {};
    return dialog_text(table, GetSelectedLanguage(), name);
}

uint32_t style_value(std::string const& text) {
    auto v = static_cast<uint32_t>(std::max(0LL, read_number(text, 0xFFFFFFFFLL)));
    for (auto const& s : style_names)
        if (text.find(s.name) != std::string::npos) v |= s.value;
    return v;
}

uint32_t take_control_id() {
    return g_next_control_id.fetch_add(1);
}

int read_units(_tagXMLNode const& node, char const* name, int fallback) {
    std::string const* text = node.GetAttrValue(name);
    if (!text) return fallback;
    long long const v = read_number(*text, 1LL << 40);
    return static_cast<int>(std::clamp<long long>(v, -dialog_max_units, dialog_max_units));
}

namespace {

// The node's rectangle in pixels, right and bottom inclusive.
void place(_tagXMLNode const& node, control_spec& c) {
    int const u = dialog_unit_pixels;
    c.left = read_units(node, "left", 0) * u;
    c.top = read_units(node, "top", 0) * u;
    c.right = node.GetAttrValue("right") ? read_units(node, "right", 0) * u : -1;
    c.bottom = node.GetAttrValue("bottom") ? read_units(node, "bottom", 0) * u : -1;
    if (int w = first_non_zero_units(node, "cwidth", "width")) c.right = c.left + u * w;
    if (int h = first_non_zero_units(node, "cheight", "height")) c.bottom = c.top + u * h;
    c.right = bounded_far_edge(c.left, c.right);
    c.bottom = bounded_far_edge(c.top, c.bottom);
}

} // namespace

bool describes_window(_tagXMLNode const& root) {
    control_spec c;
    place(root, c);
    return root.name == "dialog" && c.right >= c.left && c.bottom >= c.top;
}

control_spec describe_control(_tagXMLNode const& node) {
    control_spec c;
    place(node, c);

    std::string const* id = node.GetAttrValue("id");
    uint32_t const given = id && !id->empty() ? style_value(*id) : 0;
    c.id = given != 0 ? given : take_control_id();

    std::string const* style = node.GetAttrValue("style");
    c.style = (style ? style_value(*style) : 0) | style_visible;

    std::string const& e = node.name;
    if (e == "dialog") {
        c.kind = control_kind::dialog;
    } else if (e == "data") {
        c.kind = control_kind::data;
    } else if (e == "button" || e == "edit" || e == "static" || e == "listbox" || e == "scrollbar" ||
               e == "combobox") {
        c.style |= style_child;
        if (e != "static") c.style |= style_tabstop;
        uint32_t const s = c.style;
        if (e == "button") {
            if (!(s & 0x4) && (s & 0x9) != 0x9)
                c.kind = (s & 0x2) ? control_kind::check_box : control_kind::push_button;
            else
                c.kind = control_kind::radio_button;
            c.new_radio_group = c.kind == control_kind::radio_button && (s & style_group);
        } else if (e == "edit") {
            c.kind = (s & 0x4) ? control_kind::multi_edit : control_kind::line_edit;
            c.password = c.kind == control_kind::line_edit && (s & style_password);
        } else if (e == "static") {
            c.kind = control_kind::label;
        } else if (e == "listbox") {
            c.kind = control_kind::list;
        } else if (e == "scrollbar") {
            c.kind = control_kind::scroll_bar;
        } else {
            c.kind = control_kind::combo;
        }
    }
    std::string const* image = node.GetAttrValue("image");
    c.addressable = node.GetAttr("result") || (image && !image->empty()) || node.GetAttr("bcolor") ||
                    node.GetAttr("tcolor") || node.GetAttr("brush");
    return c;
}

std::pair<int, int> picture_size(_tagXMLNode const& node) {
    auto side = [&](char const* name) {
        return std::clamp(read_units(node, name, 0) * dialog_unit_pixels, 1, dialog_max_pixels);
    };
    return {side("width"), side("height")};
}

std::string substitute_variables(std::string const& text, dialog_variables const& variables) {
    // The first bytes of the search texts, to pass over the rest quickly.
    bool starts[256] = {};
    bool any = false;
    for (auto const& [search, replacement] : variables) {
        if (search.empty()) continue;
        starts[static_cast<unsigned char>(search.front())] = true;
        any = true;
    }
    if (!any) return text;
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0, copied = 0;
    while (i < text.size()) {
        if (!starts[static_cast<unsigned char>(text[i])]) {
            ++i;
            continue;
        }
        auto hit = std::find_if(variables.begin(), variables.end(), [&](auto const& v) {
            return !v.first.empty() && text.compare(i, v.first.size(), v.first) == 0;
        });
        if (hit == variables.end()) {
            ++i;
            continue;
        }
        out.append(text, copied, i - copied);
        out += hit->second;
        i += hit->first.size();
        copied = i;
    }
    out.append(text, copied, std::string::npos);
    return out;
}

std::vector<std::string> split_items(std::string const& text, std::string const& delimiter) {
    std::vector<std::string> items;
    if (delimiter.empty()) return {text};
    std::size_t from = 0;
    for (;;) {
        std::size_t at = text.find(delimiter, from);
        if (at == std::string::npos) break;
        items.push_back(text.substr(from, at - from));
        from = at + delimiter.size();
    }
    items.push_back(text.substr(from));
    return items;
}

bool checked_by_text(std::string const& text) {
    return text.compare(0, 4, "true") == 0;
}

std::string result_record(std::string const& name, std::map<std::string, std::string> const& values) {
    std::string record;
    rulo_packet_push(record, name, values);
    return record;
}

} // namespace tovan

// What an XML-described dialog is made of, worked out without widgets: the
// dialog texts of dialogs.ini, style and id words, each control's kind, id
// and rectangle in pixels, the variables put into "data" texts, the combo
// box items and the result record. CXMLDialog applies these to Qt widgets.
//
// The descriptions may come from the server or the peer, so every number is
// range-checked: layout units are clamped to +-dialog_max_units, and no
// rectangle or picture is larger than dialog_max_pixels a side.
//
// Pure functions, except take_control_id (a process-wide atomic counter) and
// GetLanguageDialog (reads the file).
#pragma once

#include "tovan/config/ini_file.h"
#include "tovan/dialogs/xml_parser.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tovan {

inline constexpr int dialog_unit_pixels = 4;
inline constexpr int dialog_max_units = 2048;
inline constexpr int dialog_max_pixels = 4096;

using dialog_variables = std::vector<std::pair<std::string, std::string>>;

// The XML of the named dialog in the selected language (else "en"), with
// every "<br>" and "<br/>" made CR LF; empty when there is none. Reads
// dialogs.ini in the working directory, else conf_static/dialogs.ini.
std::string GetLanguageDialog(std::string const& name);
// The same over a table already read.
std::string dialog_text(ini_sections const& table, std::string const& language, std::string const& name);

// Leading decimal digits (0 when none, saturating at 0xFFFFFFFF) ORed with
// the value of every style name that occurs anywhere in the text.
uint32_t style_value(std::string const& text);

// The next id of a control that has no numeric id: 1000, 1001, ... for the
// life of the process. Any thread.
uint32_t take_control_id();

enum class control_kind {
    none, // an element that makes no control
    dialog,
    data,
    push_button,
    check_box,
    radio_button,
    line_edit,
    multi_edit,
    label,
    list,
    scroll_bar,
    combo,
};

struct control_spec {
    control_kind kind = control_kind::none;
    uint32_t id = 0;
    uint32_t style = 0;
    // Pixels, right and bottom inclusive.
    int left = 0, top = 0, right = -1, bottom = -1;
    bool new_radio_group = false; // WS_GROUP on a radio button
    bool password = false;        // ES_PASSWORD on a one-line edit: its text shows masked
    bool addressable = false;     // gets "controlID": has result, image, bcolor, tcolor or brush
};

// The spec of one node; takes an id from take_control_id unless the node
// has a non-zero numeric one.
control_spec describe_control(_tagXMLNode const& node);

// Whether a parsed description makes a window to show: its root is a
// "dialog" of at least one pixel each way. One of no size would never
// appear, and its modal loop would wait for a person who cannot see it.
bool describes_window(_tagXMLNode const& root);

// A layout attribute in units, clamped to +-dialog_max_units; fallback when
// absent or not a number.
int read_units(_tagXMLNode const& node, char const* name, int fallback);

// The size in pixels a picture of the node is scaled to, each side within
// 1 .. dialog_max_pixels.
std::pair<int, int> picture_size(_tagXMLNode const& node);

// One left-to-right scan: at each place the first pair whose search text
// starts there is replaced, and the inserted text is never scanned again.
std::string substitute_variables(std::string const& text, dialog_variables const& variables);

// The text split at the whole delimiter text, empty parts kept.
std::vector<std::string> split_items(std::string const& text, std::string const& delimiter);

// A check box or radio button is checked by a text that begins "true".
bool checked_by_text(std::string const& text);

// The result record: the result name, then the map of values.
std::string result_record(std::string const& name, std::map<std::string, std::string> const& values);

} // namespace tovan

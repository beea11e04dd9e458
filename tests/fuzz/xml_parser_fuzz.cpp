// The dialog descriptions' XML reader on hostile text, with the default
// options and with neither escape character nor trimming, and the dialog
// model over whatever tree it read.
//
// Invariants: no read outside the input (the input is handed over in a
// block of its exact size); the position returned lies within the input;
// an error is recorded exactly when failed is set, with a known code; the
// tree is at most 256 levels deep, has no nameless child element and its parent
// links are right; trimmed texts without escapes carry no white space at
// their ends; every
// control rectangle and picture stays within the pixel bounds.
#include "tests/fuzz/fuzz_support.h"
#include "tovan/dialogs/dialog_model.h"
#include "tovan/dialogs/xml_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

using fuzz::check;

namespace {

void check_text(std::string const& text, bool trimmed) {
    if (trimmed && !text.empty())
        check(!tovan::xml_is_space(text.front()) && !tovan::xml_is_space(text.back()));
}

void check_tree(tovan::_tagXMLNode const& root, tovan::_tagParseInfo const& pi) {
    std::vector<std::pair<tovan::_tagXMLNode const*, int>> work{{&root, 1}};
    while (!work.empty()) {
        auto [n, depth] = work.back();
        work.pop_back();
        check(depth <= tovan::xml_max_depth);
        check_text(n->value, pi.trim && pi.escape_char == 0);
        for (auto const& a : n->attrs) {
            check(a->parent == n);
            check_text(a->value, pi.trim && pi.escape_char == 0);
        }
        tovan::control_spec const c = tovan::describe_control(*n);
        check(c.right - c.left + 1 >= 0 && c.right - c.left + 1 <= tovan::dialog_max_pixels);
        check(c.bottom - c.top + 1 >= 0 && c.bottom - c.top + 1 <= tovan::dialog_max_pixels);
        auto const [w, h] = tovan::picture_size(*n);
        check(w >= 1 && w <= tovan::dialog_max_pixels && h >= 1 && h <= tovan::dialog_max_pixels);
        tovan::substitute_variables(n->value, {{"@A@", "@A@@A@"}, {"@", "x"}});
        for (auto const& child : n->children) {
            check(child->parent == n && !child->name.empty());
            work.emplace_back(child.get(), depth + 1);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    std::unique_ptr<char[]> bytes(new char[size ? size : 1]);
    if (size) std::memcpy(bytes.get(), data, size);
    char const* begin = bytes.get();
    char const* end = begin + size;
    // The default, no escape character and no trimming, and trimming alone
    // (an escaped blank at an end is kept by design, so only this variant
    // shows that trimming leaves none).
    for (int variant = 0; variant < 3; ++variant) {
        tovan::_tagParseInfo pi;
        if (variant > 0) pi.escape_char = 0;
        if (variant == 1) pi.trim = false;
        tovan::_tagXMLNode root;
        char const* p = root.Load(begin, end, &pi);
        check(!p || (p >= begin && p <= end));
        check(pi.failed == (pi.error_code != 0));
        check(pi.error_code >= 0 && pi.error_code <= 5);
        check(!pi.failed || (pi.error_at >= begin && pi.error_at <= end && !pi.error_text.empty()));
        check_tree(root, pi);
    }
    return 0;
}

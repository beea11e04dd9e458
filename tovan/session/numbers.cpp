#include "tovan/session/numbers.h"

namespace vyn {

std::optional<int64_t> leading_decimal(std::string_view text, int64_t low, int64_t high) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    // Magnitudes are gathered unsigned and refused as soon as they pass the
    // range: a long run of digits never wraps.
    uint64_t const limit =
        negative ? (low < 0 ? 0ULL - static_cast<uint64_t>(low) : 0) : (high > 0 ? high : 0);
    uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > limit) return std::nullopt;
    }
    int64_t const value = negative ? static_cast<int64_t>(0ULL - magnitude) : static_cast<int64_t>(magnitude);
    if (value < low || value > high) return std::nullopt;
    return value;
}

namespace {
bool whole_int32(std::string_view text, int32_t& out) {
    if (text.empty() || text.size() > 11) return false;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (std::size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9') return false;
    auto v = leading_decimal(text, INT32_MIN, INT32_MAX);
    if (!v) return false;
    out = static_cast<int32_t>(*v);
    return true;
}
} // namespace

bool parse_session_id(std::string_view sid, int32_t& first, int32_t& second) {
    std::size_t const colon = sid.find(':');
    if (colon == std::string_view::npos) return false;
    int32_t a = 0, b = 0;
    if (!whole_int32(sid.substr(0, colon), a) || !whole_int32(sid.substr(colon + 1), b)) return false;
    first = a;
    second = b;
    return true;
}

} // namespace vyn

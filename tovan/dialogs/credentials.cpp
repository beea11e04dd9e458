#include "tovan/dialogs/credentials.h"

#include "rulo/config_store.h"

namespace tovan {

namespace {

constexpr unsigned char scramble_start = 0x5A;
constexpr std::size_t scramble_bytes = 128;

} // namespace

std::string scramble_setting(std::string const& value) {
    unsigned char buffer[scramble_bytes] = {};
    for (std::size_t i = 0; i < value.size() && i < scramble_bytes - 1; ++i)
        buffer[i] = static_cast<unsigned char>(value[i]);
    std::string out;
    out.reserve(2 * scramble_bytes);
    unsigned k = scramble_start;
    for (std::size_t i = 0; i < scramble_bytes; ++i) {
        k = ((k + i) & 0xFF) ^ buffer[i];
        out += static_cast<char>('A' + (k & 15));
        out += static_cast<char>('A' + (k >> 4));
    }
    return out;
}

std::string unscramble_setting(std::string const& text) {
    // All 256 letters: the last byte's high half is the 256th.
    unsigned char buffer[2 * scramble_bytes] = {};
    for (std::size_t i = 0; i < text.size() && i < sizeof buffer; ++i)
        buffer[i] = static_cast<unsigned char>(text[i]);
    std::string out;
    unsigned p = scramble_start;
    for (std::size_t i = 0; i < scramble_bytes; ++i) {
        unsigned const l = (buffer[2 * i] - 'A') & 15u;
        unsigned const h = (buffer[2 * i + 1] - 'A') & 15u;
        unsigned const c = 16 * h + l;
        unsigned const b = ((p + i) & 0xFF) ^ c;
        if (b == 0) break;
        out += static_cast<char>(b);
        p = c;
    }
    return out;
}

saved_credentials load_credentials(std::string const& prefix) {
    saved_credentials c;
    c.user = xstd::get_config_string("", prefix + "User");
    c.password = xstd::get_config_string("", prefix + "Password");
    if (!c.user.empty()) c.user = unscramble_setting(c.user);
    if (!c.password.empty()) c.password = unscramble_setting(c.password);
    c.saved = xstd::get_config_string("", prefix + "Saved") == "true";
    return c;
}

void store_credentials(std::string const& prefix, saved_credentials const& c) {
    if (c.saved) {
        xstd::set_config_string("", prefix + "User", scramble_setting(c.user), xstd::storage_disk);
        xstd::set_config_string("", prefix + "Password", scramble_setting(c.password), xstd::storage_disk);
    }
    xstd::set_config_string("", prefix + "Saved", c.saved ? "true" : "false", xstd::storage_disk);
}

} // namespace tovan

#include "tools/relay/event_log.h"

#include <stdexcept>

namespace relay {

std::string json_escape(std::string_view bytes) {
    static char const hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto const u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20 || u > 0x7E) {
            out += "\\u00";
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

event_log::~event_log() {
    if (m_file) std::fclose(m_file);
}

void event_log::open(std::string const& path) {
    m_file = std::fopen(path.c_str(), "a");
    if (!m_file) throw std::runtime_error("cannot open log file " + path);
}

event_log::line::line(event_log& log, std::string_view event, bool enabled)
    : m_log(log), m_enabled(enabled && log.m_file) {
    if (!m_enabled) return;
    auto const ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                          m_log.m_start);
    m_text = "{\"event\":\"" + json_escape(event) + "\",\"ms\":" + std::to_string(ms.count());
}

event_log::line::~line() {
    if (!m_enabled) return;
    m_text += "}\n";
    std::fwrite(m_text.data(), 1, m_text.size(), m_log.m_file);
    std::fflush(m_log.m_file);
}

void event_log::line::key(std::string_view k) {
    m_text += ",\"";
    m_text += json_escape(k);
    m_text += "\":";
}

event_log::line& event_log::line::str(std::string_view k, std::string_view value) {
    if (!m_enabled) return *this;
    key(k);
    m_text += '"';
    m_text += json_escape(value);
    m_text += '"';
    return *this;
}

event_log::line& event_log::line::num(std::string_view k, std::int64_t value) {
    if (!m_enabled) return *this;
    key(k);
    m_text += std::to_string(value);
    return *this;
}

event_log::line& event_log::line::flag(std::string_view k, bool value) {
    if (!m_enabled) return *this;
    key(k);
    m_text += value ? "true" : "false";
    return *this;
}

} // namespace relay

// The relay's event log: one JSON object a line, written and flushed as the
// event happens, so a test can wait for a line and assert what the relay saw.
// Every line has "event" and "ms" (milliseconds since the relay started);
// the rest depends on the event. Used on the relay's one I/O thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace relay {

class event_log {
public:
    event_log() = default;
    ~event_log();
    event_log(event_log const&) = delete;
    event_log& operator=(event_log const&) = delete;

    // Appends to path; throws std::runtime_error when it cannot be opened.
    void open(std::string const& path);
    bool enabled() const { return m_file != nullptr; }

    // Builds one line; written when it goes out of scope.
    class line {
    public:
        // A line built while !enabled is dropped.
        line(event_log& log, std::string_view event, bool enabled = true);
        ~line();
        line(line const&) = delete;
        line& operator=(line const&) = delete;
        line& str(std::string_view key, std::string_view value);
        line& num(std::string_view key, std::int64_t value);
        line& flag(std::string_view key, bool value);

    private:
        void key(std::string_view k);
        event_log& m_log;
        bool m_enabled;
        std::string m_text;
    };

private:
    std::FILE* m_file = nullptr;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// JSON string body of arbitrary bytes: quotes, backslashes and control bytes
// escaped; bytes above 0x7E as \u00XX so the line stays valid whatever came in.
std::string json_escape(std::string_view bytes);

} // namespace relay

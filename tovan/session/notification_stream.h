// The notification stream for a program that started this one: lines of two
// numbers ("%d %d\n"), each written and flushed whole. Values are printed as
// signed 32-bit numbers, whatever width the caller holds them in.
//
// Threads: the GUI thread and the connection thread both write; one mutex
// keeps lines whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace vyn {

class notification_stream {
public:
    notification_stream() = default;
    ~notification_stream();
    notification_stream(notification_stream const&) = delete;
    notification_stream& operator=(notification_stream const&) = delete;

    // Opens (truncates) the file; false when it cannot be opened.
    bool open(std::string const& path);
    bool is_on() const;
    // One line; false when the stream is off or the write failed.
    bool post(int64_t a, int64_t b);

private:
    mutable std::mutex m_mutex;
    std::FILE* m_file = nullptr;
};

} // namespace vyn

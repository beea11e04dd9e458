#include "rulo/errlog.h"

#include "rulo/clock.h"
#include "rulo/lock.h"
#include "rulo/xfile.h"

#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <iomanip>
#include <unistd.h>

namespace rulo {

namespace {

using line_callback = void (*)(char const*);
using timestamp_source = std::string (*)();

// The process-wide log settings and the repeat detector. Made on first use
// (start-up or an earlier log line) and never freed, so lines logged during
// static destruction still find it. vlevel, the callback and the stamp source
// are read without a lock; every other member is guarded by mutex.
struct log_state {
    rec_mutex mutex;
    std::atomic<int> vlevel{0};
    std::atomic<line_callback> callback{nullptr};
    std::atomic<timestamp_source> stamp{nullptr};

    std::string file;      // absolute name, empty for none
    std::string last_line; // the last plain line stored to the file
    long long repeats = 0; // how often last_line came again in a row
    // The counter line (with its newline) that ended the file when this copy
    // last wrote it; empty when the file did not end in one of ours.
    std::string tail;
};

log_state& state() {
    static log_state* s = new log_state;
    return *s;
}

std::string stamp_now(log_state& s) {
    timestamp_source source = s.stamp.load(std::memory_order_acquire);
    return source ? source() : current_timestamp();
}

// "%s - %10d -": the stamped line with its repeat count, right-aligned in 10.
std::string counter_line(std::string const& stamped, long long repeats) {
    char number[32];
    std::snprintf(number, sizeof number, "%10lld", repeats);
    return stamped + " - " + number + " -";
}

// Where the next line starts: over the previous counter line when the file
// still ends with exactly that line, else at the end. Reading it back means
// a file that was moved, cut or appended to by someone else since is never
// overwritten.
long line_start(FILE* f, std::string const& previous) {
    if (std::fseek(f, 0, SEEK_END) != 0) return -1;
    long end = std::ftell(f);
    if (end < 0 || previous.empty() || size_t(end) < previous.size()) return end;
    long start = end - long(previous.size());
    std::string found(previous.size(), '\0');
    if (std::fseek(f, start, SEEK_SET) != 0) return end;
    if (std::fread(found.data(), 1, found.size(), f) != found.size()) return end;
    return found == previous ? start : end;
}

// Steps of a log line that reach the file; the caller holds s.mutex.
void store_line(log_state& s, std::string const& line) {
    if (s.file.empty()) return;
    bool repeat = !line.empty() && line == s.last_line;
    s.last_line = line;
    s.repeats = repeat ? s.repeats + 1 : 0;

    std::string stamped = stamp_now(s) + " " + line;
    std::string stored = (repeat ? counter_line(stamped, s.repeats) : stamped) + "\n";
    // The first repeat is appended after the first copy; later ones replace
    // the counter line written last time, whatever its length was.
    std::string previous;
    if (repeat && s.repeats > 1) previous.swap(s.tail);
    s.tail.clear();

    xfile f(s.file, xfile::read_write_create, false);
    if (!f) return;
    long start = line_start(f, previous);
    if (start < 0 || std::fseek(f, start, SEEK_SET) != 0) return;
    f.write(stored);
    if (std::fflush(f) != 0 || std::ferror(f)) return;
    // A shorter line over a longer one must not leave the old line's end behind.
    if (!previous.empty() && previous.size() > stored.size() &&
        ::ftruncate(::fileno(f), off_t(start) + off_t(stored.size())) != 0)
        return;
    f.close();
    if (repeat) s.tail = stored;
}

void echo_line(log_state& s, std::string const& line) {
    // One call, so the line reaches standard error whole.
    std::string out = stamp_now(s) + " " + line + "\n";
    std::fputs(out.c_str(), stderr);
}

} // namespace

errlog::errlog(char const* prefix, bool locked) : m_prefix(prefix), m_locked(locked) {}

void errlog::log(int level, char const* text) const {
    log_state& s = state();
    if (level > s.vlevel.load(std::memory_order_relaxed)) return;
    std::string line;
    try {
        if (m_prefix && *m_prefix) {
            line = m_prefix;
            line += ": ";
        }
        if (text) line += text;
    } catch (...) {
        return;
    }

    if (line_callback callback = s.callback.load(std::memory_order_acquire)) {
        try {
            callback(line.c_str());
        } catch (...) {
        }
        return;
    }

    // The only failure that reaches the caller: the log mutex cannot be taken.
    rec_lock lock(s.mutex);
    try {
        store_line(s, line);
    } catch (...) {
    }
    try {
        echo_line(s, line);
    } catch (...) {
    }
}

void errlog::set_vlevel(int level) {
    state().vlevel.store(level, std::memory_order_relaxed);
}

int errlog::vlevel() {
    return state().vlevel.load(std::memory_order_relaxed);
}

void errlog::set_logline_callback_all(void (*callback)(char const*)) {
    state().callback.store(callback, std::memory_order_release);
}

void errlog::set_log_file(std::string const& name) {
    try {
        std::string expanded = name.empty() ? std::string() : expand_filename(name);
        log_state& s = state();
        // Writers use the name under the mutex, so it is never replaced under them.
        rec_lock lock(s.mutex);
        if (expanded == s.file) return;
        s.file.swap(expanded);
        s.last_line.clear();
        s.repeats = 0;
        s.tail.clear();
    } catch (...) {
        // The previous name stays.
    }
}

std::string errlog::log_file() {
    log_state& s = state();
    rec_lock lock(s.mutex);
    return s.file;
}

void errlog::set_timestamp_source(std::string (*source)()) {
    state().stamp.store(source, std::memory_order_release);
}

void init_errlog() {
    state();
}

std::string current_timestamp() {
    try {
        std::string t = ctime(long(absolute_time_t()));
        if (!t.empty()) return t;
    } catch (...) {
    }
    return "N";
}

fmt::fmt(std::string const& format) {
    enum { literal_text, after_percent, in_number } at = literal_text;
    std::string literal;
    std::string digits;
    auto is_digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    for (char c : format) {
        switch (at) {
        case literal_text:
            if (c == '%')
                at = after_percent;
            else
                literal += c;
            break;
        case after_percent:
            if (c == '%') {
                literal += '%';
                at = literal_text;
            } else if (is_digit(c)) {
                digits = c;
                at = in_number;
            } else {
                literal += '%';
                literal += c;
                at = literal_text;
            }
            break;
        case in_number:
            if (is_digit(c)) {
                digits += c;
            } else if (c == '%') {
                // A number too large for an int names no argument: its slot stays empty.
                int n = -1;
                std::from_chars(digits.data(), digits.data() + digits.size(), n);
                m_parts.push_back(literal);
                m_slots[n].push_back(m_parts.size());
                m_parts.emplace_back();
                literal.clear();
                digits.clear();
                at = literal_text;
            } else {
                literal += '%';
                literal += digits;
                literal += c;
                digits.clear();
                at = literal_text;
            }
            break;
        }
    }
    if (at == after_percent) literal += '%';
    if (at == in_number) {
        literal += '%';
        literal += digits;
    }
    m_parts.push_back(literal);
}

fmt& fmt::add(std::string const& text) {
    ++m_count;
    auto it = m_slots.find(m_count);
    if (it != m_slots.end())
        for (size_t index : it->second) m_parts[index] = text;
    return *this;
}

std::string fmt::str() const {
    std::string out;
    for (auto const& part : m_parts) out += part;
    return out;
}

} // namespace rulo

// The process-wide error log and the "%1%" formatter.
//
// Any thread logs. The host writes each line to the log file (collapsing a
// repeated line into one counter line rewritten in place) and echoes it to
// standard error; a plugin's copy hands every finished line to the host's
// log_line instead. Logging never throws into its caller, except when the
// log mutex itself cannot be taken.
#pragma once

#include "rulo/text.h"

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace rulo {

// One writer of the process-wide log: a prefix and a lock flag, cheap to make
// on the stack. Any thread logs. The log file, its repeat detector and the
// standard-error echo are shared by every errlog, so they are always written
// under the one log mutex, whatever the flag says (the flag is kept for
// callers); the line callback of a plugin copy is called without that mutex.
class errlog {
public:
    // prefix is not copied and may be null.
    errlog(char const* prefix, bool locked);

    void log(int level, char const* text) const;
    void log(int level, std::string const& text) const { log(level, text.c_str()); }
    void log(char const* text) const { log(0, text); }

    static void set_vlevel(int level);
    static int vlevel();
    static void set_logline_callback_all(void (*callback)(char const*));
    // The name is made absolute; when that fails the previous name stays. An
    // empty name stops the file output. A new name restarts repeat detection.
    static void set_log_file(std::string const& name);
    static std::string log_file();
    // Where log lines get their time stamp; null restores current_timestamp.
    // Lets tests give the stamp a chosen text and length.
    static void set_timestamp_source(std::string (*source)());

private:
    char const* m_prefix;
    bool m_locked;
};

void init_errlog();

// Local time of absolute_time_t() in asctime's 24 characters; "N" on failure.
std::string current_timestamp();

// Formatter with numbered placeholders: "%2% %1%" % a % b gives "b a".
class fmt {
public:
    explicit fmt(std::string const& format);

    template <class T>
    fmt& operator%(T const& value) {
        return _add_arg(value, 0, 0);
    }
    template <class T>
    fmt& _add_arg(T const& value, char fill, unsigned char width) {
        std::ostringstream s;
        if (fill) s.fill(fill);
        if (width) s.width(width);
        s << value;
        return add(s.str());
    }
    fmt& add(std::string const& text);
    std::string str() const;

private:
    std::vector<std::string> m_parts;
    std::map<int, std::vector<size_t>> m_slots;
    int m_count = 0;
};

// The front every subsystem logs through: a locked errlog with a prefix,
// lines at level 0.
class fmt_dbg : public errlog {
public:
    explicit fmt_dbg(char const* prefix) : errlog(prefix, true) {}

    template <class... A>
    void fmt_verbose(std::string const& format, A const&... args) const {
        static_assert(sizeof...(A) <= 4, "at most four arguments");
        fmt f(format);
        (static_cast<void>(f % args), ...);
        log(0, f.str());
    }
};

} // namespace rulo

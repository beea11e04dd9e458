#include "tovan/util/log_message.h"

#include "rulo/errlog.h"
#include "rulo/xfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace tovan {

namespace {

enum class log_mode { closed, file, debug };

struct log_state {
    std::mutex mutex;
    std::FILE* file = nullptr;
    log_mode mode = log_mode::closed;
};

log_state& state() {
    // Never destroyed: worker threads may log while the process ends.
    static log_state* s = new log_state;
    return *s;
}

std::string trimmed(std::string text) {
    char const* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

void write_line(std::string const& text) {
    std::string line = trimmed(text);
    auto& s = state();
    std::unique_lock lock(s.mutex);
    if (s.mode == log_mode::debug) {
        lock.unlock();
        rulo::fmt_dbg("dialog").fmt_verbose("%1%", line);
        return;
    }
    if (s.mode != log_mode::file) return;
    std::string out = ctime_stamp(std::time(nullptr)) + " : " + line + "\n";
    std::fwrite(out.data(), 1, out.size(), s.file);
    std::fflush(s.file);
}

} // namespace

std::string ctime_stamp(std::time_t t) {
    static char const* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static char const* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    if (!localtime_r(&t, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11)
        return "N";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", days[tm.tm_wday], months[tm.tm_mon],
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 1900 + tm.tm_year);
    return buf;
}

bool open_log_file(std::string const& path, std::string const& aside_suffix) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.mode == log_mode::debug) return false;
    if (s.file) std::fclose(s.file);
    s.file = nullptr;
    s.mode = log_mode::closed;
    // The log holds what the session said, the old one too: only the user reads it.
    if (rulo::file_exists(path)) {
        try {
            std::string const aside = path + "_" + aside_suffix;
            rulo::move_file(path, aside);
            ::chmod(aside.c_str(), 0600);
        } catch (...) {
            // Appending to the old file is the fall-back.
        }
    }
    s.file = rulo::open_private(path, "a+");
    if (!s.file) {
        std::fprintf(stderr, "tovan: cannot open the log file %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    s.mode = log_mode::file;
    return true;
}

bool switch_log_to_debug(std::string const& path) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.mode == log_mode::debug) return false;
    if (s.file) std::fclose(s.file);
    s.file = nullptr;
    // The framework log creates its file with the usual mode: made private first.
    if (std::FILE* f = rulo::open_private(path, "a")) std::fclose(f);
    // The framework log is pointed at the file before any line takes the
    // debug path, so none goes to its previous file. Writers call the
    // framework log without this mutex, so the order of locks is fixed.
    rulo::errlog::set_log_file(path);
    s.mode = log_mode::debug;
    return true;
}

bool log_is_debug() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.mode == log_mode::debug;
}

void close_log_file() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.file) std::fclose(s.file);
    s.file = nullptr;
    if (s.mode == log_mode::file) s.mode = log_mode::closed;
}

void LogMessage(QString const& text) {
    // The log file is UTF-8 throughout.
    write_line(text.toUtf8().toStdString());
}

void LogMessage(char const* text) {
    write_line(text ? text : "");
}

void LogMessage2(std::string const& text) {
    write_line(text);
}

} // namespace tovan

#include "tools/relay/session_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace relay {

namespace {

bool all_of(std::string const& s, char const* allowed) {
    return !s.empty() && s.find_first_not_of(allowed) == std::string::npos;
}

bool valid_sid(std::string const& s) {
    auto colon = s.find(':');
    return colon != std::string::npos && all_of(s.substr(0, colon), "0123456789") &&
           all_of(s.substr(colon + 1), "0123456789") && s.size() <= 41;
}

bool valid_code(std::string const& s) {
    return s.size() == 9 && s[0] != '0' && all_of(s, "0123456789");
}

bool valid_hex(std::string const& s) {
    return s.size() == 32 && all_of(s, "0123456789abcdef");
}

std::runtime_error system_error(std::string const& what, std::string const& path) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

} // namespace

std::string format_sessions(std::vector<stored_session> const& sessions) {
    std::string out;
    for (auto const& s : sessions)
        out += "session " + s.sid + " " + s.code + " " + s.key + " " + s.desk_private + "\n";
    return out;
}

std::vector<stored_session> parse_sessions(std::string_view text, std::size_t max_sessions) {
    std::vector<stored_session> out;
    std::set<std::string> sids, codes;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        auto const end = text.find('\n');
        if (end == std::string_view::npos)
            throw std::invalid_argument("line " + std::to_string(number) + " has no line end");
        std::istringstream line{std::string(text.substr(0, end))};
        text.remove_prefix(end + 1);
        std::string word, extra;
        stored_session s;
        line >> word >> s.sid >> s.code >> s.key >> s.desk_private;
        bool const whole = !(line >> extra);
        char const* wrong = word != "session"              ? "is not a session"
                            : !valid_sid(s.sid)            ? "has a bad sid"
                            : !valid_code(s.code)          ? "has a bad code"
                            : !valid_hex(s.key)            ? "has a bad key"
                            : !valid_hex(s.desk_private)   ? "has a bad desk_private"
                            : !whole                       ? "has more fields"
                            : !sids.insert(s.sid).second   ? "repeats a sid"
                            : !codes.insert(s.code).second ? "repeats a code"
                            : out.size() >= max_sessions   ? "is one session too many"
                                                           : nullptr;
        if (wrong) throw std::invalid_argument("line " + std::to_string(number) + " " + wrong);
        out.push_back(std::move(s));
    }
    return out;
}

std::string read_state_file(std::string const& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        throw system_error("cannot open", path);
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            throw system_error("cannot read", path);
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

void write_state_file(std::string const& path, std::string const& text) {
    std::string const temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw system_error("cannot create", temp);
    // A temporary file left by an earlier run may have had another mode.
    bool ok = ::fchmod(fd, 0600) == 0;
    for (std::size_t at = 0; ok && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) at += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    int const saved = errno;
    ::close(fd);
    errno = saved;
    if (!ok) {
        auto e = system_error("cannot write", temp);
        ::unlink(temp.c_str());
        throw e;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        auto e = system_error("cannot rename " + temp + " to", path);
        ::unlink(temp.c_str());
        throw e;
    }
}

} // namespace relay

#include "rulo/exception.h"

#include <cerrno>
#include <cstring>

namespace rulo {

char const* const packet_parse_e = "error parsing packet";
char const* const packet_number_too_big_e = "number too big to be stored in native variable";
char const* const connect_timeout_e = "Connect attempt timed out";
char const* const receive_timeout_e = "Receive timed out";
char const* const find_transport_e = "Could not find any working transport";
char const* const httpt_connect_e = "HTTP tunnel connection failed";

exception::exception() : m_text(":") {}
exception::exception(char const* text) : m_text(text ? text : "") {}
exception::exception(std::string const& text) : m_text(text) {}
exception::exception(exception const& other) : std::exception(other), m_text(other.description()) {}

exception& exception::operator=(exception const& other) {
    if (this != &other) {
        std::string text = other.description();
        delete m_extra;
        m_extra = nullptr;
        m_text = std::move(text);
    }
    return *this;
}

exception::~exception() {
    delete m_extra;
}

exception exception::function(char const* name) {
    exception e;
    e.stream() << "Error in '" << name << "'";
    return e;
}

exception exception::system_error(char const* function, char const* callee) {
    int err = errno;
    exception e;
    e.stream() << "Error " << err << " from '" << callee << "' (called in '" << function
               << "'): " << safe_strerror(err);
    return e;
}

exception exception::fileline(char const* file, int line, char const* function) {
    std::string base = file ? file : "";
    auto cut = [&base](char sep) {
        auto pos = base.rfind(sep);
        if (pos != std::string::npos) base.erase(0, pos + 1);
    };
    cut('\\');
    cut('/');
    exception e;
    e.stream() << "Error in " << base << ":" << line << ":" << function;
    return e;
}

std::ostream& exception::stream() {
    if (!m_extra) m_extra = new std::stringstream;
    return *m_extra;
}

void exception::fold() const {
    if (m_extra) {
        m_text += m_extra->str();
        delete m_extra;
        m_extra = nullptr;
    }
}

std::string const& exception::description() const {
    fold();
    return m_text;
}

char const* exception::what() const noexcept {
    return description().c_str();
}

std::string safe_strerror(int errnum) {
    char buf[256];
    buf[0] = 0;
    // GNU strerror_r may return a static string instead of filling buf.
    char const* text = strerror_r(errnum, buf, sizeof buf);
    return text ? std::string(text) : std::string();
}

std::string system_error_string() {
    return safe_strerror(errno);
}

} // namespace rulo

char const* const get_procid_e = "Error parsing <address:ports...> parameter";
char const* const plugin_e = "error during plugin initialization";

namespace xstd {

format::format(std::string t) : text(std::move(t)) {}

std::string format::get(bool) const {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '$') {
            out += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '$') {
            out += '$';
            ++i;
            continue;
        }
        size_t close = text.find('$', i + 1);
        if (close == std::string::npos) continue; // a lone '$' is dropped
        int n = std::atoi(text.substr(i + 1, close - i - 1).c_str());
        auto it = args.find(n);
        if (it != args.end()) out += it->second;
        i = close;
    }
    return out;
}

exception_wrap::exception_wrap(std::string f, int l, std::string fn)
    : file(std::move(f)), line(l), function(std::move(fn)) {}

void exception_wrap::thr(std::string const& path, std::string const& message) const {
    throw rulo::exception(path + ":" + format(message).get());
}

} // namespace xstd

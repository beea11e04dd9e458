// The one exception type of the framework and its error texts.
//
// Every failure in the framework is thrown as rulo::exception. Its text is
// assembled lazily: the factory forms write into an extra stream that is
// folded into the text the first time somebody reads it, so throwing stays
// cheap and the thrower may append detail after construction.
#pragma once

#include <exception>
#include <map>
#include <sstream>
#include <string>

namespace rulo {

class exception : public std::exception {
public:
    exception(); // text ":"
    explicit exception(char const* text);
    explicit exception(std::string const& text);
    exception(exception const& other);
    exception& operator=(exception const& other);
    ~exception() override;

    // "Error in '<name>'" behind the default colon.
    static exception function(char const* name);
    // "Error <errno> from '<callee>' (called in '<function>'): <system text>".
    static exception system_error(char const* function, char const* callee);
    // "Error in <last path component>:<line>:<function>".
    static exception fileline(char const* file, int line, char const* function);

    // Detail stream, created on first use; folded into the text on the next read.
    std::ostream& stream();
    std::string const& description() const;
    std::string const& full() const { return description(); }
    char const* what() const noexcept override;

private:
    void fold() const;
    mutable std::string m_text;
    mutable std::stringstream* m_extra = nullptr;
};

// Named error texts that callers across the program recognise.
extern char const* const packet_parse_e;
extern char const* const packet_number_too_big_e;
extern char const* const connect_timeout_e;
extern char const* const receive_timeout_e;
extern char const* const find_transport_e;
extern char const* const httpt_connect_e;

// The system's text for an error number, or "" when it has none. Thread-safe.
std::string safe_strerror(int errnum);
std::string system_error_string();

} // namespace rulo

extern char const* const get_procid_e;
extern char const* const plugin_e;

namespace xstd {

// Expands "$N$" placeholders from its argument map; "$$" is one dollar sign.
struct format {
    explicit format(std::string text);
    std::string get(bool = true) const;

    std::string text;
    int next = 1;
    std::map<int, std::string> args;
};

// The thrower of the xstd/xnet parsers: the text is "<path>:<message>".
struct exception_wrap {
    exception_wrap(std::string file, int line, std::string function);
    [[noreturn]] void thr(std::string const& path, std::string const& message) const;

    std::string file;
    int line;
    std::string function;
};

} // namespace xstd

#define XSTD_EXCEPTION(function) ::xstd::exception_wrap(__FILE__, __LINE__, function)

#include "rulo/charset.h"

#include "rulo/exception.h"

#include <algorithm>
#include <cerrno>
#include <memory>

namespace xstd {

namespace {

// Bytes one conversion round may produce.
constexpr std::size_t area_bytes = 65536;

// Closes the conversion when a failure leaves early; the normal path closes
// it itself so that a failing close can be reported.
struct iconv_guard {
    iconv_t cd;
    ~iconv_guard() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
};

// Runs the conversion of in_bytes bytes (in units of in_unit bytes) and hands
// every produced piece to emit(char const*, size_t). The output area is made of
// Unit so that wide results are properly aligned.
template <class Unit, class Emit>
void run(iconv_function fn, char const* in, std::size_t in_bytes, std::size_t in_unit, char const* to_code,
         char const* from_code, Emit emit) {
    iconv_guard guard{iconv_open(to_code, from_code)};
    if (guard.cd == reinterpret_cast<iconv_t>(-1)) throw rulo::exception::function("convert");

    std::unique_ptr<Unit[]> area(new Unit[area_bytes / sizeof(Unit)]);
    char* const area_begin = reinterpret_cast<char*>(area.get());
    // iconv takes a non-const input pointer but does not write through it.
    char* inp = const_cast<char*>(in);
    std::size_t left = in_bytes;

    while (left > 0) {
        char* outp = area_begin;
        std::size_t room = area_bytes;
        char* const in_before = inp;
        std::size_t r = fn(guard.cd, &inp, &left, &outp, &room);
        int const err = errno;
        emit(area_begin, static_cast<std::size_t>(outp - area_begin));
        if (r == static_cast<std::size_t>(-1)) {
            if (err == EINVAL) break; // an incomplete sequence at the end: drop it
            if (err == EILSEQ) {
                std::size_t skip = std::min(in_unit, left);
                inp += skip;
                left -= skip;
                continue;
            }
            if (err != E2BIG) throw rulo::exception::function("convert");
        }
        // A round that moved nothing would be repeated for ever.
        if (inp == in_before && outp == area_begin) throw rulo::exception::function("convert");
    }

    // Let a stateful output code set write its closing sequence.
    char* outp = area_begin;
    std::size_t room = area_bytes;
    if (fn(guard.cd, nullptr, nullptr, &outp, &room) == static_cast<std::size_t>(-1))
        throw rulo::exception::function("convert");
    emit(area_begin, static_cast<std::size_t>(outp - area_begin));

    iconv_t cd = guard.cd;
    guard.cd = reinterpret_cast<iconv_t>(-1);
    if (iconv_close(cd) != 0) throw rulo::exception::function("convert");
}

} // namespace

void convert(iconv_function fn, std::string& output, std::string const& input, char const* to_code,
             char const* from_code) {
    run<char>(fn, input.data(), input.size(), 1, to_code, from_code,
              [&](char const* p, std::size_t n) { output.append(p, n); });
}

void convert(iconv_function fn, std::wstring& output, std::string const& input, char const* to_code,
             char const* from_code) {
    // iconv writes whole characters, so every round ends on a unit boundary;
    // a stray tail byte could only come from a broken converter and is dropped.
    run<wchar_t>(fn, input.data(), input.size(), 1, to_code, from_code, [&](char const* p, std::size_t n) {
        output.append(reinterpret_cast<wchar_t const*>(p), n / sizeof(wchar_t));
    });
}

void convert(iconv_function fn, std::string& output, std::wstring const& input, char const* to_code,
             char const* from_code) {
    run<char>(fn, reinterpret_cast<char const*>(input.data()), input.size() * sizeof(wchar_t),
              sizeof(wchar_t), to_code, from_code,
              [&](char const* p, std::size_t n) { output.append(p, n); });
}

std::wstring to_wide(char const* from_code, std::string const& text) {
    std::wstring out;
    convert(::iconv, out, text, "wchar_t", from_code);
    return out;
}

std::wstring wide(std::string const& text) {
    return to_wide("UTF-8", text);
}

std::string from_wide(char const* to_code, std::wstring const& text) {
    std::string out;
    convert(::iconv, out, text, to_code, "wchar_t");
    return out;
}

std::string to_utf16le(std::string const& text) {
    return from_wide("UTF-16LE", wide(text));
}

std::string utf8(std::string const& text) {
    return text;
}

} // namespace xstd

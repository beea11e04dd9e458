// The one decoder of LZMA-alone streams, shared by the framework's archive
// extractor and the launcher (which links nothing of the framework, so this
// is a header over liblzma alone).
//
// Stream layout:
//   | props (1) | dictionary size (u32 LE) | unpacked size (u64 LE) | range-coded data |
//   props = (pb * 5 + lp) * 9 + lc, at most 224; liblzma also wants lc + lp <= 4.
//   The unpacked size must be stated (not all ones) and below 4 GiB.
//
// Decoding streams: the input is read in steps and the output is handed to a
// sink in pieces as it is produced; nothing ever holds the whole output. What
// the decoder holds is its dictionary: the stated size, raised to 4 KiB at
// least (as xz does) and lowered to the unpacked size at most (a longer
// history is never referred to). A stream that refers back further than its
// stated dictionary is refused, as xz refuses it.
//
// Everything here is pure computation on the bytes given plus liblzma's own
// allocations; no I/O, no globals. Any thread, one decoder per thread.
#pragma once

#include <lzma.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

namespace rulo::lzma_alone {

inline constexpr std::size_t header_size = 13;
inline constexpr unsigned max_properties = 224;
inline constexpr std::uint32_t min_dictionary = 4096;

// Why a stream was refused. Each has one text (describe).
enum class fault {
    none,
    too_short,              // fewer than 13 bytes
    bad_properties,         // properties byte above 224, or lc + lp above 4
    unknown_size,           // the size field is all ones: the length is not stated
    too_large,              // a stated size of 4 GiB or more
    out_of_memory,          // the dictionary or a buffer could not be allocated
    corrupt,                // the data do not decode
    dictionary_understated, // the data refer back further than the stated dictionary
    truncated,              // the data end before the stated size is reached
    longer,                 // the data go on past the stated size
    trailing,               // bytes behind the end of the data (where they are refused)
    sink,                   // the receiver of the output refused it
};

inline char const* describe(fault f) {
    switch (f) {
    case fault::none:
        return "no error";
    case fault::too_short:
        return "shorter than its 13-byte header";
    case fault::bad_properties:
        return "unsupported properties byte";
    case fault::unknown_size:
        return "unpacked size not stated";
    case fault::too_large:
        return "unpacked size of 4 GiB or more";
    case fault::out_of_memory:
        return "out of memory";
    case fault::corrupt:
        return "corrupt data";
    case fault::dictionary_understated:
        return "data refer back further than the stated dictionary";
    case fault::truncated:
        return "data end before the stated size";
    case fault::longer:
        return "data go on past the stated size";
    case fault::trailing:
        return "bytes behind the end of the data";
    case fault::sink:
        return "output refused";
    }
    return "unknown fault";
}

struct header {
    unsigned lc = 0, lp = 0, pb = 0;
    std::uint32_t stated_dictionary = 0;
    std::uint32_t unpacked_size = 0;

    // What the decoder allocates: the stated size within [4 KiB, unpacked size].
    std::uint32_t dictionary() const {
        return std::clamp(stated_dictionary, min_dictionary, std::max(unpacked_size, min_dictionary));
    }
};

inline std::uint32_t load_u32(unsigned char const* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline fault parse_header(std::string_view stream, header& out) {
    if (stream.size() < header_size) return fault::too_short;
    auto const* p = reinterpret_cast<unsigned char const*>(stream.data());
    unsigned const props = p[0];
    if (props > max_properties) return fault::bad_properties;
    std::uint32_t const low = load_u32(p + 5), high = load_u32(p + 9);
    if (low == 0xffffffffu && high == 0xffffffffu) return fault::unknown_size;
    if (high != 0) return fault::too_large;
    out.lc = props % 9;
    out.lp = props / 9 % 5;
    out.pb = props / 45;
    if (out.lc + out.lp > LZMA_LCLP_MAX) return fault::bad_properties;
    out.stated_dictionary = load_u32(p + 1);
    out.unpacked_size = low;
    return fault::none;
}

// One stream's decoding state: liblzma's raw LZMA1 decoder told the size (an
// end marker right after it is taken too, as encoders that did not know the
// size write one). Not copyable; one thread at a time.
class decoder {
public:
    // allocator: liblzma's allocation hooks, or null for malloc.
    explicit decoder(lzma_allocator const* allocator = nullptr) { m_z.allocator = allocator; }
    ~decoder() { lzma_end(&m_z); }
    decoder(decoder const&) = delete;
    decoder& operator=(decoder const&) = delete;

    // Sets up for a stream with header h and the given dictionary size.
    fault begin(header const& h, std::uint32_t dictionary) {
        m_options = lzma_options_lzma{};
        m_options.dict_size = dictionary;
        m_options.lc = h.lc;
        m_options.lp = h.lp;
        m_options.pb = h.pb;
        m_options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        m_options.ext_size_low = h.unpacked_size;
        m_options.ext_size_high = 0;
        lzma_filter const filters[] = {{LZMA_FILTER_LZMA1EXT, &m_options}, {LZMA_VLI_UNKNOWN, nullptr}};
        m_done = false;
        switch (lzma_raw_decoder(&m_z, filters)) {
        case LZMA_OK:
            return fault::none;
        case LZMA_MEM_ERROR:
            return fault::out_of_memory;
        default:
            return fault::bad_properties;
        }
    }

    // Decodes from [in, in + in_left) into [out, out + out_left), advancing
    // both. none while more input or output room is wanted or once done().
    fault step(std::uint8_t const*& in, std::size_t& in_left, std::uint8_t*& out, std::size_t& out_left) {
        m_z.next_in = in;
        m_z.avail_in = in_left;
        m_z.next_out = out;
        m_z.avail_out = out_left;
        lzma_ret const r = m_done ? LZMA_STREAM_END : lzma_code(&m_z, LZMA_RUN);
        in = m_z.next_in;
        in_left = m_z.avail_in;
        out = m_z.next_out;
        out_left = m_z.avail_out;
        switch (r) {
        case LZMA_OK:
        case LZMA_BUF_ERROR:
            return fault::none; // no progress possible: the caller sees it
        case LZMA_STREAM_END:
            m_done = true;
            return fault::none;
        case LZMA_MEM_ERROR:
            return fault::out_of_memory;
        default:
            return fault::corrupt;
        }
    }

    bool done() const { return m_done; }
    std::uint64_t produced() const { return m_z.total_out; }

private:
    lzma_stream m_z = LZMA_STREAM_INIT;
    lzma_options_lzma m_options{};
    bool m_done = false;
};

struct options {
    bool allow_trailing = false;          // accept bytes behind the end of the data
    std::size_t input_step = 1u << 20;    // input handed to the decoder at once
    std::size_t output_step = 256u << 10; // the most output handed to the sink at once
    lzma_allocator const* allocator = nullptr;
};

namespace detail {

// After a data error: would a dictionary as long as the output so far (what
// the stated one is raised to at most) have got past the failing point? Then
// the stream understated its dictionary. Decodes again, output discarded.
inline bool needs_longer_dictionary(std::string_view stream, header const& h, std::uint64_t failed_at,
                                    options const& opt) {
    std::uint32_t const longest = std::max(h.unpacked_size, min_dictionary);
    if (h.dictionary() >= longest || failed_at <= h.dictionary()) return false;
    decoder probe(opt.allocator);
    if (probe.begin(h, longest) != fault::none) return false;
    std::unique_ptr<std::uint8_t[]> scratch(new (std::nothrow) std::uint8_t[opt.output_step]);
    if (!scratch) return false;
    auto const* in = reinterpret_cast<std::uint8_t const*>(stream.data()) + header_size;
    std::size_t left = stream.size() - header_size;
    while (!probe.done() && probe.produced() <= failed_at + opt.output_step) {
        std::uint8_t* out = scratch.get();
        std::size_t room = opt.output_step;
        std::size_t const before = left;
        if (probe.step(in, left, out, room) != fault::none) return false;
        if (left == before && room == opt.output_step) return false; // no progress
    }
    return true;
}

} // namespace detail

// Decodes a whole stream held in memory. Output goes to
// sink(std::uint8_t const* data, std::size_t size) -> bool in order, in pieces
// of at most opt.output_step bytes, exactly the stated size in all; the piece
// is valid only during the call. consumed(std::size_t offset) is called as the
// input up to offset (from the stream's start) has been read, so a caller
// that maps the stream may let those pages go. Returns the first fault; the
// sink may have taken output before it.
struct no_progress {
    void operator()(std::size_t) const {}
};

template <class Sink, class Consumed = no_progress>
fault decode(std::string_view stream, Sink&& sink, options const& opt = {}, Consumed&& consumed = {}) {
    header h;
    if (fault f = parse_header(stream, h); f != fault::none) return f;
    decoder d(opt.allocator);
    if (fault f = d.begin(h, h.dictionary()); f != fault::none) return f;
    std::size_t const step_out = std::max<std::size_t>(opt.output_step, 1);
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[step_out]);
    if (!buffer) return fault::out_of_memory;

    auto const* in = reinterpret_cast<std::uint8_t const*>(stream.data()) + header_size;
    std::size_t left = stream.size() - header_size;
    while (!d.done()) {
        std::size_t const offered = std::min(left, std::max<std::size_t>(opt.input_step, 1));
        std::size_t rest = offered;
        std::uint8_t* out = buffer.get();
        std::size_t room = step_out;
        fault const f = d.step(in, rest, out, room);
        std::size_t const used = offered - rest;
        left -= used;
        std::size_t const made = step_out - room;
        if (made > 0 && !sink(static_cast<std::uint8_t const*>(buffer.get()), made)) return fault::sink;
        if (used > 0) consumed(stream.size() - left);
        if (f == fault::corrupt) {
            std::uint64_t const at = d.produced();
            if (at == h.unpacked_size) return fault::longer;
            return detail::needs_longer_dictionary(stream, h, at, opt) ? fault::dictionary_understated
                                                                       : fault::corrupt;
        }
        if (f != fault::none) return f;
        if (!d.done() && used == 0 && made == 0) return left == 0 ? fault::truncated : fault::corrupt;
    }
    if (left != 0 && !opt.allow_trailing) return fault::trailing;
    return fault::none;
}

} // namespace rulo::lzma_alone

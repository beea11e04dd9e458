#include "tools/packer/lzma_alone.h"

#include "launcher/appendix_format.h"
#include "tools/packer/pack_error.h"

#include <lzma.h>

#include <algorithm>

namespace packer {

namespace {

// The smallest power of two (at least liblzma's minimum) that holds the whole
// input, capped at the preset's own size: a bigger dictionary buys nothing and
// costs a streaming decoder memory.
std::uint32_t dictionary_for(std::size_t size, std::uint32_t preset_dict) {
    std::uint32_t dict = LZMA_DICT_SIZE_MIN;
    while (dict < size && dict < preset_dict) dict <<= 1;
    return std::min(dict, preset_dict);
}

struct stream_guard {
    lzma_stream strm = LZMA_STREAM_INIT;
    ~stream_guard() { lzma_end(&strm); }
};

} // namespace

std::string lzma_alone_compress(std::string_view data, std::uint32_t level) {
    if (data.size() > UINT32_MAX)
        throw pack_error("archive of 4 GiB or more cannot be compressed for the launcher");
    lzma_options_lzma opt{};
    if (lzma_lzma_preset(&opt, level)) throw pack_error("unknown LZMA preset " + std::to_string(level));
    opt.dict_size = dictionary_for(data.size(), opt.dict_size);
    opt.ext_flags = 0; // no end marker: the header states the size
    lzma_set_ext_size(opt, data.size());

    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    stream_guard g;
    lzma_ret ret = lzma_raw_encoder(&g.strm, filters);
    if (ret != LZMA_OK)
        throw pack_error("liblzma refused the encoder set-up (code " + std::to_string(ret) + ")");

    std::string out;
    launcher::append_lzma_header(out, launcher::lzma_properties_byte(opt.lc, opt.lp, opt.pb), opt.dict_size,
                                 static_cast<std::uint32_t>(data.size()));
    out.resize(out.size() + data.size() + data.size() / 16 + 4096);
    std::size_t used = launcher::lzma_header_size;
    g.strm.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
    g.strm.avail_in = data.size();
    for (;;) {
        if (used == out.size()) out.resize(out.size() * 2);
        g.strm.next_out = reinterpret_cast<std::uint8_t*>(out.data()) + used;
        g.strm.avail_out = out.size() - used;
        ret = lzma_code(&g.strm, LZMA_FINISH);
        used = out.size() - g.strm.avail_out;
        if (ret == LZMA_STREAM_END) break;
        if (ret != LZMA_OK) throw pack_error("liblzma failed to compress (code " + std::to_string(ret) + ")");
    }
    out.resize(used);
    return out;
}

} // namespace packer

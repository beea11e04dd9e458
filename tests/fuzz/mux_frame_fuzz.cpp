// Relay frames from hostile bytes: cut into pieces they give the same frames
// and the same failure as when fed whole; no frame is larger than the limit;
// every frame taken packs back to a frame that reads the same.
//
// The first input byte picks the piece size; the rest is the stream.
#include "rulo-rpt/mux/mux_frame.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using fuzz::check;
using fuzz::error_of;

namespace {

struct outcome {
    std::vector<std::pair<long long, std::string>> frames;
    std::string error;
    std::size_t left = 0;
};

outcome feed(std::string const& stream, std::size_t step) {
    outcome result;
    netbuf input;
    result.error = error_of([&] {
        for (std::size_t at = 0; at < stream.size(); at += step) {
            input.append(stream.data() + at, static_cast<int>(std::min(step, stream.size() - at)));
            long long id = 0;
            netbuf payload;
            while (rulo::mux_unpack_frame(input, id, payload))
                result.frames.emplace_back(id, payload.to_string());
        }
    });
    result.left = static_cast<std::size_t>(input.size());
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t const step = data[0] % 32 + 1;
    std::string const stream = fuzz::bytes(data + 1, size - 1);

    outcome const whole = feed(stream, stream.size() + 1);
    outcome const pieces = feed(stream, step);
    check(whole.frames == pieces.frames && whole.error == pieces.error);
    if (whole.error.empty()) check(whole.left == pieces.left);
    if (!whole.error.empty()) check(whole.error == fuzz::function_error("unpack_pkt"));

    for (auto const& f : whole.frames) {
        check(f.second.size() < rulo::mux_max_frame);
        netbuf packed = rulo::mux_pack_frame(f.first, netbuf::from_string(f.second));
        long long id = 0;
        netbuf payload;
        check(rulo::mux_unpack_frame(packed, id, payload) && packed.empty());
        check(id == f.first && payload.to_string() == f.second);
    }
    return 0;
}

#include "rulo-rpt/xstd-text-b64.h"

#include "rulo/exception.h"

#include <climits>
#include <cstdint>

namespace xstd {

netbuf encode_base64(char const* data, int length, char const* alphabet) {
    netbuf out;
    if (length < 1) return out;
    std::size_t const coded = rulo::base64_encoded_size(static_cast<std::size_t>(length));
    if (coded > static_cast<std::size_t>(INT_MAX)) throw rulo::exception::function("encode_base64");
    rulo::base64_encode(out.allocate_back(static_cast<int>(coded)), data, static_cast<std::size_t>(length),
                        alphabet);
    return out;
}

netbuf encode_base64(std::string const& text, char const* alphabet) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) throw rulo::exception::function("encode_base64");
    return encode_base64(text.data(), static_cast<int>(text.size()), alphabet);
}

void decode_base64(std::string& text, char const* alphabet) {
    // Decoded aside, so that a failure leaves the caller's text as it was.
    text = rulo::base64_decode(text, alphabet);
}

} // namespace xstd

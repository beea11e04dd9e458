// LZMA-alone streams as the launcher reads them: a 13-byte header (properties
// byte, dictionary size, 64-bit unpacked size) and the range-coded data.
//
// The header always carries the real unpacked size and the data carries no end
// marker, so a decoder that trusts the size (as the launcher does) and one that
// reads to the end (xz --format=lzma) both see the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace packer {

// Compresses `data` into one LZMA-alone stream (liblzma, preset `level` 0..9).
// Copies the whole input; throws pack_error when liblzma fails or the input is
// 4 GiB or more (the launcher reads only the low 32 bits of the size).
std::string lzma_alone_compress(std::string_view data, std::uint32_t level = 6);

} // namespace packer

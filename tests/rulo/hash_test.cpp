// MD4, MD5 and SHA-512 against the published test suites and the openssl tool.
#include "rulo/hash.h"
#include "rulo/text.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string sha512_hex(std::string const& text) {
    xstd::sha512 h;
    h.update(text.data(), text.size());
    return xstd::hexcode(h.finish());
}

TEST(hash, md4_and_md5_rfc_test_suites) {
    // RFC 1320 and RFC 1321, appendix A.5: the same inputs for both.
    struct row {
        std::string input;
        char const *md4, *md5;
    };
    row const table[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "d9130a8164549fe818874806e1c7014b", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9",
         "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536", "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (auto const& r : table) {
        EXPECT_EQ(xstd::hexcode(xstd::get_md4(r.input)), r.md4) << '"' << r.input << '"';
        EXPECT_EQ(xstd::hexcode(rulo::get_md5(r.input)), r.md5) << '"' << r.input << '"';
    }
}

TEST(hash, sha512_fips180_2_examples_fed_in_pieces) {
    // FIPS 180-2, appendix C.1 and C.2.
    std::string const abc = "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
    std::string const two_blocks =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnop"
        "qklmnopqrlmnopqrsmnopqrstnopqrstu";
    std::string const two_blocks_hex = "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
                                       "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909";
    EXPECT_EQ(sha512_hex("abc"), abc);
    EXPECT_EQ(sha512_hex(two_blocks), two_blocks_hex);

    // Any split gives the digest of the whole, pieces across the 128-byte block boundary included.
    for (size_t step : {1, 17, 111, 127}) {
        xstd::sha512 h;
        for (size_t at = 0; at < two_blocks.size(); at += step)
            h.update(two_blocks.data() + at, std::min(step, two_blocks.size() - at));
        EXPECT_EQ(xstd::hexcode(h.finish()), two_blocks_hex) << "step " << step;
    }
    // clear() drops what was fed; a finished object starts over.
    xstd::sha512 h;
    h.update("garbage", 7);
    h.clear();
    h.update("abc", 3);
    EXPECT_EQ(xstd::hexcode(h.finish()), abc);
    h.update("abc", 3);
    EXPECT_EQ(xstd::hexcode(h.finish()), abc);
}

TEST(hash, random_data_against_openssl_dgst) {
    test_support::scratch_dir dir;
    std::string const path = dir.file("input.bin");
    // The hex digest openssl prints for the file, or "" when it cannot.
    auto openssl_hex = [&](std::string const& options) {
        auto r = test_support::run_command("openssl dgst " + options + " -r " + path);
        return r.status == 0 ? r.out.substr(0, r.out.find(' ')) : "";
    };
    // MD4 lives in openssl's legacy provider, which may be missing; the RFC suite covers it then.
    std::string const md4 = "-md4 -provider legacy -provider default";
    test_support::write_file(path, "abc");
    bool const have_md4 = openssl_hex(md4) == "a448017aaf21d8525fc10ae87aa6729d";

    std::mt19937 gen(20240611);
    // Sizes around the 64- and 128-byte blocks and their padding.
    for (size_t size : {0, 55, 56, 63, 64, 111, 112, 127, 128, 129, 65537}) {
        std::string in(size, '\0');
        for (char& c : in) c = char(gen());
        test_support::write_file(path, in);
        SCOPED_TRACE("size " + std::to_string(size));
        EXPECT_EQ(xstd::hexcode(xstd::get_md5(in)), openssl_hex("-md5"));
        EXPECT_EQ(sha512_hex(in), openssl_hex("-sha512"));
        if (have_md4) {
            EXPECT_EQ(xstd::hexcode(xstd::get_md4(in)), openssl_hex(md4));
        }
    }
}

} // namespace

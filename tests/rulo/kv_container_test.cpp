// Key/value containers signed by the openssl tool over their canonical text.
#include "rulo/kv_container.h"
#include "rulo/text.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using keys_t = std::map<std::string, std::string>;
using test_support::run_command;

std::string with_count(std::string const& number) {
    return std::string{char(number.size() >> 8), char(number.size() & 0xff)} + number;
}

// A 1024-bit key from openssl genrsa, its public blob (see verify_rsa.h), and
// a container whose signature openssl made: SHA-512 of the sorted key lines,
// a NUL and the payload, signed raw with type-1 padding, Base64 coded.
struct signed_container {
    test_support::scratch_dir dir;
    std::string blob, file = dir.file("package"), payload = std::string("\0\x01LZMA\xff\0", 8);

    signed_container() {
        std::string const key = dir.file("key.pem");
        run_command("openssl genrsa -F4 -out " + key + " 1024");
        std::string hex = run_command("openssl rsa -in " + key + " -noout -modulus").out; // "Modulus=HEX\n"
        hex = hex.substr(hex.find('=') + 1, hex.find('\n') - hex.find('=') - 1);
        xstd::dehexcode(hex);
        blob = with_count(hex) + with_count(std::string("\x01\x00\x01", 3));

        std::string const canonical = "name=demo\nversion=3\n" + std::string(1, '\0') + payload;
        std::string const signature = test_support::filter_command(
            "(openssl dgst -sha512 -binary | openssl pkeyutl -sign -pkeyopt rsa_padding_mode:pkcs1 -inkey " +
                key + " | openssl base64 -A)",
            canonical);
        // Stored in another order and spacing than the signed form.
        test_support::write_file(file, "version = 3\r\nsignature=" + signature + "\nname=demo\n" +
                                           std::string(1, '\0') + payload);
    }
};

TEST(KvContainer, VerifiesTheCanonicalFormAndRefusesChanges) {
    signed_container c;
    keys_t keys;
    std::string payload;
    rulo::kv_load_file(c.file, keys, &payload);
    ASSERT_EQ(payload, c.payload);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_TRUE(rulo::kv_verify(c.blob, keys, &payload));

    std::pair<char const*, std::function<void(keys_t&, std::string&)>> const changes[] = {
        {"changed value", [](keys_t& k, std::string&) { k["version"] = "4"; }},
        {"added key", [](keys_t& k, std::string&) { k["extra"] = "1"; }},
        {"payload byte", [](keys_t&, std::string& p) { p[3] ^= 1; }},
        {"payload cut", [](keys_t&, std::string& p) { p.pop_back(); }},
        {"missing signature", [](keys_t& k, std::string&) { k.erase("signature"); }},
        {"signature not Base64", [](keys_t& k, std::string&) { k["signature"] = "!!!!"; }},
    };
    for (auto const& [what, change] : changes) {
        keys_t k = keys;
        std::string p = payload;
        change(k, p);
        EXPECT_FALSE(rulo::kv_verify(c.blob, k, &p)) << what;
    }
    EXPECT_FALSE(rulo::kv_verify(c.blob, keys, nullptr)) << "payload left out";
}

TEST(KvContainer, LoadingFailures) {
    keys_t keys;
    std::string payload;
    EXPECT_THROW(rulo::kv_load_content("a=1\n", keys, &payload), rulo::exception);
    rulo::kv_load_content("a=1\n", keys, nullptr); // no payload asked, no NUL needed
    EXPECT_EQ(keys, (keys_t{{"a", "1"}}));

    test_support::scratch_dir dir;
    test_support::write_file(dir.file("empty"), "");
    EXPECT_THROW(rulo::kv_load_file(dir.file("empty"), keys, nullptr), rulo::exception);
    EXPECT_THROW(rulo::kv_load_file(dir.file("missing"), keys, nullptr), rulo::exception);
    // Too large is refused before anything is read (the file is sparse).
    std::string const huge = dir.file("huge");
    test_support::write_file(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), off_t(rulo::kv_max_file_size) + 1), 0);
    std::map<std::string, keys_t> sections;
    EXPECT_THROW(rulo::kvs_load_file(huge, sections), rulo::exception);
}

// A file rewritten in place while it is being loaded (another process saving
// its settings) gives some version of it or an error, never a crash.
TEST(KvContainer, LoadsAFileRewrittenMeanwhile) {
    test_support::scratch_dir dir;
    std::string const path = dir.file("settings");
    std::string const content = "[s]\nk=v\n" + std::string(1 << 20, 'x') + "=y\n";
    test_support::write_file(path, content);

    pid_t const writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (int i = 0; i < 300; ++i) {
            int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
            if (fd < 0 || ::write(fd, content.data(), content.size()) != ssize_t(content.size())) ::_exit(1);
            ::close(fd);
        }
        ::_exit(0);
    }
    int status = 0, loads = 0;
    while (::waitpid(writer, &status, WNOHANG) == 0 || loads == 0) {
        keys_t keys;
        std::map<std::string, keys_t> sections;
        try {
            rulo::kvs_load_file(path, sections);
        } catch (rulo::exception const&) {
        }
        try {
            rulo::kv_load_file(path, keys, nullptr);
        } catch (rulo::exception const&) {
        }
        ++loads;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace

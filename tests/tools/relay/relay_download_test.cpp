// Files served on the PLUGINS channel: whole, resumed, missing, cancelled.
#include "tests/support/shell.h"
#include "tests/tools/relay/relay_helpers.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

using namespace relay_test;
using test_support::relay_process;

namespace {

std::string sha256_hex(std::string const& data) {
    unsigned char d[32];
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), d, &n, EVP_sha256(), nullptr);
    static char const hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) out += {hex[d[i] >> 4], hex[d[i] & 15]};
    return out;
}

struct result {
    std::string data;
    std::string end;  // "complete" or "error"
    std::string text; // the error's text
    std::size_t largest_chunk = 0;
};

void request(mux_client& c, std::string const& command, std::string const& name,
             unsigned long long offset = 0) {
    std::string p;
    if (command == "download")
        xstd::packet_push(p, command, name, offset);
    else
        xstd::packet_push(p, command, name);
    c.send_frame(2, p);
}

// Reads pkt frames for name until its complete or error.
result collect(mux_client& c, std::string const& name) {
    result r;
    while (true) {
        auto f = c.next_frame(30s);
        if (!f) throw std::runtime_error("download of " + name + " did not end");
        std::string b = f->payload, command, n;
        rulo_packet_pop(b, command);
        rulo_packet_pop(b, n);
        if (n != name) continue;
        if (command == "pkt") {
            std::string chunk = pop_blob(b);
            r.largest_chunk = std::max(r.largest_chunk, chunk.size());
            r.data += chunk;
        } else {
            r.end = command;
            if (command == "error") rulo_packet_pop(b, r.text);
            return r;
        }
    }
}

} // namespace

TEST(RelayDownload, FilesArriveWholeResumedOrWithAnError) {
    test_support::scratch_dir files;
    std::string content(5 * 1024 * 1024 + 123, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 2654435761u) >> 13);
    test_support::write_file(files.file("big.bin"), content);
    test_support::write_file(files.file("empty.bin"), "");
    auto sum = test_support::run_command("sha256sum " + files.file("big.bin"));
    ASSERT_EQ(sum.status, 0);
    std::string const expected = sum.out.substr(0, 64);

    relay_process relay({"--files", files.path()});
    mux_client c(relay.port());
    c.handshake();
    c.open(2, "PLUGINS", false, false);

    request(c, "download", "big.bin");
    result whole = collect(c, "big.bin");
    EXPECT_EQ(whole.end, "complete");
    EXPECT_EQ(sha256_hex(whole.data), expected);
    EXPECT_LE(whole.largest_chunk, 65536u);

    unsigned long long const offset = 3 * 1024 * 1024 + 17;
    request(c, "download", "big.bin", offset);
    result rest = collect(c, "big.bin");
    EXPECT_EQ(rest.end, "complete");
    EXPECT_TRUE(rest.data == content.substr(offset));

    request(c, "download", "big.bin", content.size());
    EXPECT_EQ(collect(c, "big.bin").data, "");
    request(c, "download", "empty.bin");
    EXPECT_EQ(collect(c, "empty.bin").end, "complete");

    struct {
        char const* name;
        unsigned long long offset;
        char const* text;
    } const errors[] = {
        {"missing.bin", 0, "File not found"},
        {"../big.bin", 0, "Invalid file name"},
        {"..", 0, "Invalid file name"},
        {"big.bin", 6 * 1024 * 1024, "Offset beyond the end of the file"},
    };
    for (auto const& e : errors) {
        SCOPED_TRACE(e.name);
        request(c, "download", e.name, e.offset);
        result r = collect(c, e.name);
        EXPECT_EQ(r.end, "error");
        EXPECT_EQ(r.text, e.text);
    }
}

TEST(RelayDownload, CancelStopsTheFileAndOthersGoOn) {
    test_support::scratch_dir files;
    // Larger than what the relay queues ahead and the socket buffers hold.
    std::string huge(64 * 1024 * 1024, 'h');
    test_support::write_file(files.file("huge.bin"), huge);
    test_support::write_file(files.file("small.bin"), "small file");
    relay_process relay({"--files", files.path()});
    mux_client c(relay.port());
    c.handshake();
    c.open(2, "PLUGINS", false, false);
    request(c, "download", "huge.bin");
    request(c, "cancel", "huge.bin");
    request(c, "download", "small.bin");
    std::size_t huge_bytes = 0;
    bool huge_ended = false;
    while (true) {
        auto f = c.next_frame(30s);
        ASSERT_TRUE(f);
        std::string b = f->payload, command, name;
        rulo_packet_pop(b, command);
        rulo_packet_pop(b, name);
        if (name == "huge.bin") {
            if (command == "pkt")
                huge_bytes += pop_blob(b).size();
            else
                huge_ended = true;
        } else if (command == "complete") {
            break;
        }
    }
    EXPECT_FALSE(huge_ended);
    EXPECT_LT(huge_bytes, huge.size());
    EXPECT_NE(relay.wait_log({"\"cancel\"", "\"name\":\"huge.bin\"", "\"pending\":true"}), "");
    EXPECT_EQ(relay.stop(), 0);
}

// Faults a test asks for, per ticket: set on the command line or by the admin.
TEST(RelayDownload, FaultsAskedForPerTicket) {
    test_support::scratch_dir files;
    std::string content(300000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 2654435761u) >> 13);
    test_support::write_file(files.file("f.bin"), content);
    relay_process relay({"--files", files.path(), "--download-fault", "f.bin corrupt"});
    mux_client c(relay.port());
    c.handshake();
    c.open(2, "PLUGINS", false, false);

    std::string flipped = content;
    flipped.back() ^= 1;
    struct row {
        char const* fault; // "" keeps the one given on the command line
        std::string data;
        char const* end;
        char const* text;
    } const rows[] = {
        {"", flipped, "complete", ""},
        {"short", content.substr(0, content.size() - 1), "complete", ""},
        {"long", content + std::string(1, '\0'), "complete", ""},
        {"error no such luck", "", "error", "no such luck"},
        {"none", content, "complete", ""},
    };
    for (auto const& r : rows) {
        SCOPED_TRACE(r.fault);
        if (*r.fault) {
            EXPECT_EQ(relay.admin(std::string("download-fault f.bin ") + r.fault), "");
        }
        request(c, "download", "f.bin");
        result got = collect(c, "f.bin");
        EXPECT_EQ(got.end, r.end);
        EXPECT_EQ(got.text, r.text);
        EXPECT_TRUE(got.data == r.data);
    }
    EXPECT_NE(relay.wait_log({"\"download-fault\"", "\"fault\":\"corrupt\"", "\"sent\":300000"}), "");

    // A slow delivery comes in small pieces.
    EXPECT_EQ(relay.admin("download-fault f.bin rate 1000000"), "");
    request(c, "download", "f.bin");
    result slow = collect(c, "f.bin");
    EXPECT_TRUE(slow.data == content);
    EXPECT_LE(slow.largest_chunk, 100000u);

    // A break drops the connection once, after the bytes asked for.
    EXPECT_EQ(relay.admin("download-fault f.bin break 70000"), "");
    request(c, "download", "f.bin");
    std::size_t received = 0;
    while (auto f = c.next_frame(30s)) {
        std::string b = f->payload, command, name;
        rulo_packet_pop(b, command);
        rulo_packet_pop(b, name);
        ASSERT_EQ(command, "pkt");
        received += pop_blob(b).size();
    }
    EXPECT_EQ(received, 70000u);
    EXPECT_NE(relay.wait_log({"\"download-fault\"", "\"fault\":\"break\"", "\"sent\":70000"}), "");
    mux_client again(relay.port());
    again.handshake();
    again.open(2, "PLUGINS", false, false);
    request(again, "download", "f.bin", 70000);
    EXPECT_TRUE(collect(again, "f.bin").data == content.substr(70000));
}

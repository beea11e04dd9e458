// Downloads against a server end written here from the command table: a file
// of several MiB checked with sha256sum, resume, wrong sizes, cancel and a
// broken link.
#include "rulo-rpt/rpc/SRDownloader.h"
#include "rulo/lock.h"
#include "rulo/packet.h"
#include "tests/support/framework_env.h"
#include "tests/support/memory_transport.h"
#include "tests/support/recording_sink.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

using test_support::memory_transport_pair;
using test_support::thrown;

bool has(std::string const& text, std::string const& part) {
    return text.find(part) != std::string::npos;
}

// The server end of the download channel: reads "download" and "cancel",
// answers a download with "pkt" packets of at most 64 KiB from the offset
// on and then "complete" (or "error" for a name it does not have), and
// records every command it read. With serve off it only records. Runs on the
// pair's delivery thread (or inline) with the framework lock held.
class file_server : public rptTransportSink {
public:
    static constexpr int chunk = 64 * 1024;

    explicit file_server(rulo::object<rptTransport> out) : m_out(std::move(out)) {}

    std::map<std::string, std::string> files;
    bool serve = true;

    void received(netbuf const& data) override {
        netbuf p(data);
        std::string command, name;
        xstd::packet_pop(p, command, name);
        if (command == "download") {
            unsigned long long offset = 0;
            rulo_packet_pop(p, offset);
            log.push_back("download " + name + " " + std::to_string(offset));
            if (serve) send_file(name, offset);
        } else {
            log.push_back(command + " " + name);
        }
    }
    void broken() override {}
    void queue_empty() override {}

    void send(std::string const& command, std::string const& name, netbuf const* data = nullptr,
              std::string const* text = nullptr) {
        netbuf p;
        if (data) rulo_packet_push(p, *data);
        if (text) rulo_packet_push(p, *text);
        xstd::packet_push(p, command, name);
        m_out->send(p);
    }

    std::vector<std::string> commands() {
        rulo::rulo_lock_guard lock;
        return log;
    }

private:
    void send_file(std::string const& name, unsigned long long offset) {
        auto it = files.find(name);
        if (it == files.end()) {
            std::string const text = "No such file";
            send("error", name, nullptr, &text);
            return;
        }
        for (std::size_t at = offset; at < it->second.size(); at += chunk) {
            netbuf piece = netbuf::from_string(it->second.substr(at, chunk));
            send("pkt", name, &piece);
        }
        send("complete", name);
    }

    rulo::object<rptTransport> m_out;
    std::vector<std::string> log;
};

// The client's sink: the bytes and the events of each name. Called with the
// framework lock held on the delivery thread; the test thread waits.
class download_sink : public rulo::SRDownloaderSink {
public:
    void download_packet(std::string name, netbuf const& data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_data[name] += data.to_string();
    }
    void download_error(std::string name, std::string text) override { event("error " + name + ": " + text); }
    void download_cancelled(std::string name) override { event("cancelled " + name); }
    void download_complete(std::string name) override { event("complete " + name); }

    std::string data(std::string const& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_data[name];
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    bool wait_for_events(std::size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_events.size() >= n; });
    }

private:
    void event(std::string const& text) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(text);
        }
        m_changed.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::string> m_data;
    std::vector<std::string> m_events;
};

struct download_stand {
    explicit download_stand(memory_transport_pair::options const& o = {})
        : pair(o), server(new file_server(pair.b)), sink(new download_sink),
          downloader(new rulo::SRDownloader) {
        pair.b->set_sink(server);
        pair.a->set_sink(downloader);
        downloader->init(sink, pair.a);
    }
    ~download_stand() { pair.a->disconnect(); }
    memory_transport_pair pair;
    rulo::object<file_server> server;
    rulo::object<download_sink> sink;
    rulo::object<rulo::SRDownloader> downloader;
};

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out) c = char(gen());
    return out;
}

std::string sha256_hex(std::string const& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<unsigned char const*>(bytes.data()), bytes.size(), digest);
    std::string out;
    char hex[3];
    for (unsigned char c : digest) {
        std::snprintf(hex, sizeof hex, "%02x", c);
        out += hex;
    }
    return out;
}

std::string hex(std::string const& bytes) {
    static char const digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The request bytes a server reads: each value ends in its length or count
// byte, and the command, pushed last, is read first.
TEST(SRDownloader, RequestsHaveTheseBytes) {
    memory_transport_pair pair;
    rulo::object<test_support::recording_sink> wire(new test_support::recording_sink);
    pair.b->set_sink(wire);
    rulo::object<rulo::SRDownloader> downloader(new rulo::SRDownloader);
    pair.a->set_sink(downloader);
    downloader->init(rulo::object<rulo::SRDownloaderSink>(new download_sink), pair.a);
    downloader->download("a", 1000, 300);
    std::string const cancel = "61 01 01 63 61 6E 63 65 6C 06 01";                  // "a", "cancel"
    std::string const download = "2C 01 02 61 01 01 64 6F 77 6E 6C 6F 61 64 08 01"; // 300, "a", "download"
    EXPECT_EQ(hex(wire->bytes()), cancel + " " + download);
    pair.a->disconnect();
}

TEST(SRDownloader, AFileOfSeveralMiBArrivesWithTheDigestSha256sumGives) {
    test_support::scratch_dir dir;
    std::string const path = dir.file("plugin.bin");
    test_support::write_file(path, random_bytes(5 * 1024 * 1024 + 123, 1));
    test_support::command_output const reference =
        test_support::run_command("sha256sum " + test_support::shell_quote(path));
    ASSERT_EQ(reference.status, 0);
    std::string const expected = reference.out.substr(0, 64);

    memory_transport_pair::options threaded;
    threaded.threaded = true;
    download_stand stand(threaded);
    std::string const content = test_support::read_file(path);
    stand.server->files["plugin.bin"] = content;
    stand.server->files["empty"] = "";
    unsigned long long const size = content.size(), resume = 1024 * 1024 + 7;

    stand.downloader->download("plugin.bin", size, 0);
    ASSERT_TRUE(stand.sink->wait_for_events(1));
    EXPECT_EQ(sha256_hex(stand.sink->data("plugin.bin")), expected);

    // Resumed from an offset: the rest, and together the whole file.
    stand.downloader->download("plugin.bin", size, resume);
    stand.downloader->download("empty", 0, 0);
    stand.downloader->download("missing", 10, 0);
    ASSERT_TRUE(stand.sink->wait_for_events(4));
    EXPECT_EQ(stand.sink->events(),
              (std::vector<std::string>{"complete plugin.bin", "complete plugin.bin", "complete empty",
                                        "error missing: No such file"}));
    std::string const both = stand.sink->data("plugin.bin");
    EXPECT_EQ(both.size(), size + size - resume);
    EXPECT_EQ(sha256_hex(content.substr(0, resume) + both.substr(size)), expected);
    EXPECT_EQ(stand.downloader->pending_count(), 0u);
    EXPECT_EQ(stand.server->commands(),
              (std::vector<std::string>{"cancel plugin.bin", "download plugin.bin 0", "cancel plugin.bin",
                                        "download plugin.bin 1048583", "cancel empty", "download empty 0",
                                        "cancel missing", "download missing 0"}));
}

TEST(SRDownloader, FilesShorterOrLongerThanAnnouncedGiveIncorrectFileSize) {
    struct row {
        std::string what;
        std::size_t file, announced, offset;
        std::vector<std::string> events;
        std::vector<std::string> commands;
    };
    std::size_t const k = 200 * 1024; // four chunks
    row const rows[] = {
        {"exact", k, k, 0, {"complete f"}, {"cancel f", "download f 0"}},
        {"one byte short", k - 1, k, 0, {"error f: Incorrect file size"}, {"cancel f", "download f 0"}},
        {"one byte long",
         k + 1,
         k,
         0,
         {"error f: Incorrect file size"},
         {"cancel f", "download f 0", "cancel f"}},
        {"long after an offset",
         k,
         k - 1,
         5,
         {"error f: Incorrect file size"},
         {"cancel f", "download f 5", "cancel f"}},
        {"offset at the end", k, k, k, {"complete f"}, {"cancel f", "download f 204800"}},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        download_stand stand;
        stand.server->files["f"] = std::string(r.file, 'x');
        stand.downloader->download("f", r.announced, r.offset);
        EXPECT_EQ(stand.sink->events(), r.events);
        EXPECT_EQ(stand.server->commands(), r.commands);
        EXPECT_EQ(stand.downloader->pending_count(), 0u);
        // The sink never sees more than was announced.
        EXPECT_LE(stand.sink->data("f").size(), r.announced - r.offset);
    }
    download_stand stand;
    EXPECT_TRUE(has(thrown([&] { stand.downloader->download("f", 10, 11); }), "Error in 'download'"));
    EXPECT_TRUE(stand.server->commands().empty());
}

TEST(SRDownloader, CancelForgetsTheNameAndStrayDataIsRefused) {
    download_stand stand;
    stand.server->serve = false;
    stand.downloader->download("a", 100, 0);
    stand.downloader->download("b", 100, 0);
    stand.downloader->cancel("a");
    stand.downloader->download("b", 100, 40); // restarts b: cancelled first
    stand.downloader->cancel("never");
    EXPECT_EQ(stand.sink->events(), (std::vector<std::string>{"cancelled a", "cancelled b"}));

    netbuf const piece = netbuf::from_string("data");
    stand.server->send("pkt", "a", &piece); // a is no longer pending
    stand.server->send("complete", "a");    // ignored
    stand.server->send("pkt", "b", &piece); // b is
    std::string const text = "disk on fire";
    stand.server->send("error", "b", nullptr, &text);
    stand.server->send("error", "b", nullptr, &text); // no longer pending: ignored
    stand.server->send("unknown", "b");
    EXPECT_EQ(stand.sink->data("a"), "");
    EXPECT_EQ(stand.sink->data("b"), "data");
    EXPECT_EQ(stand.sink->events(),
              (std::vector<std::string>{"cancelled a", "cancelled b", "error b: disk on fire"}));
    EXPECT_EQ(stand.server->commands(),
              (std::vector<std::string>{"cancel a", "download a 0", "cancel b", "download b 0", "cancel a",
                                        "cancel b", "download b 40", "cancel never", "cancel a"}));
}

TEST(SRDownloader, ABrokenLinkReportsEachPendingNameOnce) {
    struct row {
        std::string what;
        std::function<void(download_stand&)> end;
    };
    row const rows[] = {
        {"link breaks", [](download_stand& s) { s.pair.break_link(); }},
        {"server hangs up", [](download_stand& s) { s.pair.b->disconnect(); }},
        {"unreadable packet", [](download_stand& s) { s.pair.b->send(netbuf::from_string("\x07")); }},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        download_stand stand;
        stand.server->serve = false;
        for (std::string name : {"x", "y", "z"}) stand.downloader->download(name, 10, 0);
        r.end(stand);
        ASSERT_TRUE(stand.pair.wait_delivered());
        std::vector<std::string> events = stand.sink->events();
        std::sort(events.begin(), events.end());
        EXPECT_EQ(events,
                  (std::vector<std::string>{"error x: Connection broken", "error y: Connection broken",
                                            "error z: Connection broken"}));
        EXPECT_EQ(stand.downloader->pending_count(), 0u);
        EXPECT_TRUE(has(thrown([&] { stand.downloader->download("x", 10, 0); }), "Error in 'download'"));
        stand.pair.break_link();
        ASSERT_TRUE(stand.pair.wait_delivered());
        EXPECT_EQ(stand.sink->events().size(), 3u);
    }
}

} // namespace

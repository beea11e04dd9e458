#include "tests/rulo-rpt/channel/soak.h"

#include "rulo/clock.h"
#include "tests/rulo-rpt/channel/safe_channel_kit.h"

#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

namespace safe_kit {

namespace {

constexpr int stream_indexes[3] = {1, 2, 3};

class sha256 {
public:
    sha256() : m_ctx(EVP_MD_CTX_new()) { EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr); }
    ~sha256() { EVP_MD_CTX_free(m_ctx); }
    sha256(sha256 const&) = delete;
    sha256& operator=(sha256 const&) = delete;
    void update(char const* data, std::size_t n) { EVP_DigestUpdate(m_ctx, data, n); }
    std::string finish() {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_DigestFinal_ex(m_ctx, out, &n);
        return std::string(reinterpret_cast<char*>(out), n);
    }

private:
    EVP_MD_CTX* m_ctx;
};

// What one end received, checked as it arrives (on the delivery threads,
// with the framework lock held; the mutex is for the test thread's reads).
struct receiver {
    std::mutex m;
    std::condition_variable cv;
    uint64_t next[3] = {0, 0, 0};
    std::array<std::unique_ptr<sha256>, 3> digest{std::make_unique<sha256>(), std::make_unique<sha256>(),
                                                  std::make_unique<sha256>()};
    uint64_t bytes = 0;
    uint64_t packets = 0;
    std::string failure;
};

struct sender_record {
    uint64_t count[3] = {0, 0, 0};
    std::string digest[3];
};

int slot_of(int index) {
    for (int i = 0; i < 3; ++i)
        if (stream_indexes[i] == index) return i;
    return -1;
}

void receive(receiver& r, int index, netbuf const& data) {
    std::string const bytes = data.to_string();
    std::lock_guard<std::mutex> lock(r.m);
    int const slot = slot_of(index);
    uint64_t seq = 0;
    if (slot < 0 || bytes.size() < 8) {
        if (r.failure.empty()) r.failure = "packet on index " + std::to_string(index);
    } else {
        std::memcpy(&seq, bytes.data(), 8);
        if (seq != r.next[slot] && r.failure.empty())
            r.failure = "index " + std::to_string(index) + ": packet " + std::to_string(seq) + " where " +
                        std::to_string(r.next[slot]) + " was due";
        r.next[slot] = seq + 1;
        r.digest[slot]->update(bytes.data(), bytes.size());
    }
    r.bytes += bytes.size();
    ++r.packets;
    r.cv.notify_all();
}

// Streams packets until the target; keeps the channel's queue short.
void stream(rulo::rptSafeChannel& channel, uint64_t target, unsigned seed, sender_record& out,
            std::atomic<bool> const& give_up) {
    std::mt19937_64 gen(seed);
    sha256 digest[3];
    uint64_t sent = 0;
    std::string packet;
    while (sent < target && !give_up) {
        if (channel.queued() > 256) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(200)); // flow control, not a wait for an event
            continue;
        }
        int const slot = int(gen() % 3);
        // Mostly small, now and then large enough for dozens of fragments.
        std::size_t size = gen() % 16 == 0 ? 8 + gen() % 60000 : 8 + gen() % 3000;
        packet.resize(size);
        uint64_t const seq = out.count[slot]++;
        std::memcpy(&packet[0], &seq, 8);
        for (std::size_t i = 8; i < size; i += 8) {
            uint64_t v = gen();
            std::memcpy(&packet[i], &v, std::min<std::size_t>(8, size - i));
        }
        digest[slot].update(packet.data(), packet.size());
        channel.send(stream_indexes[slot], netbuf::from_string(packet));
        sent += size;
    }
    for (int i = 0; i < 3; ++i) out.digest[i] = digest[i].finish();
}

class twin_soak_link : public soak_link {
public:
    explicit twin_soak_link(std::shared_ptr<twin_link> link) : m_link(std::move(link)) {}
    rulo::object<rulo::rptChannelFactory> factory(int side) override { return m_link->factory(side); }
    void break_link(unsigned pick) override { m_link->break_link(pick % 2 == 0); }
    std::size_t connections() override { return m_link->connections(); }
    void shutdown() override { m_link->shutdown(); }

private:
    std::shared_ptr<twin_link> m_link;
};

struct soak_closer {
    soak_link& link;
    ~soak_closer() { link.shutdown(); }
};

} // namespace

soak_result run_soak(soak_options const& o) {
    twin_soak_link link(twin_link::make(o.seed, o.pieces_every));
    return run_soak(o, link);
}

soak_result run_soak(soak_options const& o, soak_link& link, int64_t reconnect_pause_ms) {
    soak_result result;
    int64_t const started = rulo::relative_time();
    int64_t const deadline = started + o.limit_ms;
    receiver got[2]; // what end 0 (client) and end 1 (desk) received
    sender_record sent[2];
    std::atomic<bool> give_up{false};
    {
        end ends[2];
        soak_closer closer{link};
        for (int side = 0; side < 2; ++side) {
            ends[side].host->keep_packets = false;
            ends[side].host->auto_reconnect = true;
            receiver* r = &got[side];
            ends[side].host->on_packet = [r](int index, netbuf const& data) { receive(*r, index, data); };
            if (reconnect_pause_ms >= 0) {
                rulo::rptSafeChannel::timing t;
                t.reconnect_pause_ms = reconnect_pause_ms;
                ends[side].channel->set_timing(t);
            }
        }
        ends[0].channel->start(link.factory(0), true, initial_index, netbuf());
        ends[1].channel->start(link.factory(1), false, initial_index, netbuf());

        std::thread senders[2];
        for (int side = 0; side < 2; ++side)
            senders[side] =
                std::thread(stream, std::ref(*ends[side].channel.get()), o.bytes_each_way,
                            o.seed * 2 + unsigned(side), std::ref(sent[side]), std::cref(give_up));

        // Breaks at even steps of what has arrived, both ways together.
        uint64_t const total = 2 * o.bytes_each_way;
        auto delivered = [&] {
            uint64_t n = 0;
            for (auto& r : got) {
                std::lock_guard<std::mutex> lock(r.m);
                n += r.bytes;
            }
            return n;
        };
        std::mt19937 gen(o.seed);
        for (int k = 1; k <= o.breaks && rulo::relative_time() < deadline; ++k) {
            uint64_t const at = total * uint64_t(k) / uint64_t(o.breaks + 1);
            // Progress is watched, not waited for with a sleep: the limit bounds it.
            while (delivered() < at && rulo::relative_time() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            link.break_link(unsigned(gen()));
            ++result.breaks;
        }
        for (auto& s : senders) {
            if (rulo::relative_time() >= deadline) give_up = true;
            s.join();
        }
        // Everything sent must arrive.
        result.completed = true;
        for (int side = 0; side < 2; ++side) {
            receiver& r = got[1 - side];
            std::unique_lock<std::mutex> lock(r.m);
            bool const done = r.cv.wait_for(
                lock, std::chrono::milliseconds(std::max<int64_t>(0, deadline - rulo::relative_time())), [&] {
                    for (int i = 0; i < 3; ++i)
                        if (r.next[i] < sent[side].count[i]) return false;
                    return !r.failure.empty() || true;
                });
            if (!done) result.completed = false;
        }
        result.connections = link.connections();
    }
    for (int side = 0; side < 2; ++side) {
        receiver& r = got[1 - side];
        std::lock_guard<std::mutex> lock(r.m);
        if (result.failure.empty() && !r.failure.empty()) result.failure = r.failure;
        for (int i = 0; i < 3 && result.failure.empty() && result.completed; ++i) {
            if (r.next[i] != sent[side].count[i])
                result.failure = "index " + std::to_string(stream_indexes[i]) + ": " +
                                 std::to_string(r.next[i]) + " packets of " +
                                 std::to_string(sent[side].count[i]);
            else if (r.digest[i]->finish() != sent[side].digest[i])
                result.failure = "index " + std::to_string(stream_indexes[i]) + ": SHA-256 differs";
        }
        result.bytes += r.bytes;
        result.packets += r.packets;
    }
    result.seconds = double(rulo::relative_time() - started) / 1000.0;
    return result;
}

} // namespace safe_kit

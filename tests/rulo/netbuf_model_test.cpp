// Random operations on buffers that copy and cut each other keep exactly the bytes of a
// std::string model, and once every buffer is gone the live counters are back where they were.
#include "rulo/netbuf.h"
#include "tests/rulo/netbuf_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

// Caller memory handed over with a release callback, which frees it (ASan tells a later read).
struct attachment {
    char* memory;
    int releases = 0;
    static void release(void* p) {
        ++static_cast<attachment*>(p)->releases;
        delete[] static_cast<attachment*>(p)->memory;
    }
};

struct model_run {
    std::mt19937 rng;
    std::deque<attachment> attachments; // stable addresses; outlive the buffers
    std::vector<netbuf> bufs = std::vector<netbuf>(6);
    std::vector<std::string> models = std::vector<std::string>(6);
    unsigned last = 0; // the last operation

    explicit model_run(unsigned seed) : rng(seed) {}
    unsigned pick(unsigned n) { return unsigned(rng() % n); }
    bool coin() { return pick(2) == 0; }
    int length() { // mostly short, now and then past the largest size class, sometimes below 1
        unsigned const r = pick(100);
        if (r < 5) return -int(pick(3));
        return r < 99 ? int(pick(r < 70 ? 24 : r < 92 ? 700 : 9000)) : 65000 + int(pick(6000));
    }
    std::string random_bytes(int n) {
        std::string s;
        while (int(s.size()) < n) s += char(pick(256));
        return s;
    }
    void step();
};

void model_run::step() {
    size_t const i = pick(unsigned(bufs.size())), j = pick(unsigned(bufs.size())); // j may be i
    netbuf& b = bufs[i];
    std::string& m = models[i];
    bool const back = coin();
    auto cut = [&](int n) { // as many as there are
        if (n > 0) back ? m.erase(m.size() - std::min(size_t(n), m.size())) : m.erase(0, size_t(n));
    };
    int const n = length(), some = coin() ? n : int(pick(unsigned(m.size()) + 2));
    std::string add = random_bytes(n);
    char* p = nullptr;
    char const* data;
    int len = 0, max = coin() ? n : netbuf::whole_length;
    switch (last = pick(11)) { // 0 to 4 grow by add
    case 0:
        back ? b.append(add.data(), n) : b.prepend(add.data(), n);
        break;
    case 1: // a buffer, maybe this one
        add = models[j];
        back ? b.append(bufs[j]) : b.prepend(bufs[j]);
        break;
    case 2: // an adopted array
        p = coin() ? netbuf::allocate_raw(n) : (n > 0 ? new char[size_t(n)] : nullptr);
        if (n > 0) std::memcpy(p, add.data(), add.size());
        back ? b.append_raw(p, n) : b.prepend_raw(p, n);
        break;
    case 3: { // attached memory, writable or not
        attachment& a = attachments.emplace_back();
        std::memcpy(a.memory = new char[add.size() + 1], add.data(), add.size());
        back ? b.append_raw(a.memory, n, coin(), &attachment::release, &a)
             : b.prepend_raw(a.memory, n, coin(), &attachment::release, &a);
        break;
    }
    case 4:
        p = back ? b.allocate_back(n) : b.allocate_front(n);
        EXPECT_EQ(p == nullptr, n < 1);
        if (p) std::memcpy(p, add.data(), add.size());
        break;
    case 5: // wish_allocate, then erase what is not needed, as callers do
        back ? b.wish_allocate_back(n, p, len) : b.wish_allocate_front(n, p, len);
        EXPECT_EQ(len == 0, n < 1);
        add = random_bytes(len);
        if (len > 0) std::memcpy(p, add.data(), add.size());
        m = back ? m + add : add + m;
        len = int(pick(unsigned(len) + 1));
        back ? b.erase_back(len) : b.erase_front(len);
        cut(len);
        break;
    case 6: { // erase, take or copy, writing no further than there are bytes
        unsigned const how = pick(3);
        std::string out(size_t(std::max(some, 0)) + 8, 'Z');
        if (how == 0) back ? b.erase_back(some) : b.erase_front(some);
        if (how == 1) back ? b.take_back(out.data(), some) : b.take_front(out.data(), some);
        if (how == 2) back ? b.copy_back(out.data(), some) : b.copy_front(out.data(), some);
        size_t const k = how == 0 || some < 1 ? 0 : std::min(size_t(some), m.size());
        EXPECT_EQ(out, (back ? m.substr(m.size() - k) : m.substr(0, k)) + std::string(out.size() - k, 'Z'));
        if (how < 2) cut(some);
        break;
    }
    case 7: // also onto itself
        b = bufs[j];
        m = models[j];
        break;
    case 8: { // a sub-range, offsets and lengths out of range included
        int const size = int(models[j].size()), offset = int(pick(unsigned(size) + 3)) - 1;
        int64_t const from = std::max(offset, 0), to = std::min<int64_t>(int64_t(offset) + max, size);
        bufs[i] = netbuf(bufs[j], offset, max);
        m = from < to ? models[j].substr(size_t(from), size_t(to - from)) : "";
        break;
    }
    case 9: { // reads: front or whole, find, and compare with a prefix changed or lengthened at random
        (max == netbuf::whole_length && coin()) ? b.whole(data, len) : b.front(data, len, max);
        EXPECT_EQ(std::string(data ? data : "", size_t(len)), m.substr(0, size_t(len)));
        EXPECT_TRUE(len > 0 ? max < int(m.size()) || size_t(len) == m.size() : m.empty());
        char const c = m.empty() || coin() ? char(pick(256)) : m[pick(unsigned(m.size()))];
        size_t const at = m.find(c);
        EXPECT_EQ(b.find(c, max), max < 1 || at == std::string::npos || at >= size_t(max) ? -1 : int(at));
        std::string text = m.substr(0, pick(unsigned(m.size()) + 1));
        if (!text.empty() && coin()) text[pick(unsigned(text.size()))] = char(pick(256));
        if (coin()) text += random_bytes(int(pick(3)));
        int const got = b.compare(text.data(), int(text.size())), want = m.compare(text);
        EXPECT_EQ((got > 0) - (got < 0), (want > 0) - (want < 0));
        break;
    }
    default: // a new handle takes the implementation object over
        b = netbuf(b.detach_ptr(), false);
    }
    if (last < 5) m = back ? m + add : add + m;
    if (m.size() > 100000) { // keep the buffers to a size a check per step can afford
        bufs[i].erase_front(int(m.size()) - 1000);
        m.erase(0, m.size() - 1000);
    }
}

TEST(NetbufModel, RandomOperationsMatchTheStringModel) {
    for (unsigned seed : {1u, 2u, 3u}) {
        auto const before = netbuf_probe::live();
        model_run run(seed);
        for (int n = 0; n < 4000; ++n) {
            run.step();
            for (size_t k = 0; k < run.bufs.size(); ++k) {
                EXPECT_EQ(run.bufs[k].size(), int(run.models[k].size()));
                EXPECT_EQ(netbuf_probe::bytes(run.bufs[k]), run.models[k]);
            }
            if (HasFailure()) return ADD_FAILURE() << "seed " << seed << " step " << n << " op " << run.last;
        }
        run.bufs.clear();
        EXPECT_EQ(netbuf_probe::live(), before);
        for (attachment const& a : run.attachments) ASSERT_EQ(a.releases, 1);
    }
}

} // namespace

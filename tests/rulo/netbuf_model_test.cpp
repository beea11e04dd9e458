// The chunked buffer against std::string as its model: random sequences of
// every operation on a handful of buffers, with copies and cuts of each other
// kept alive at random, must hold exactly the model's bytes, and once every
// buffer is gone the live counters return to where they were.
#include "rulo/netbuf.h"
#include "tests/rulo/netbuf_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using netbuf_probe::bytes;
using netbuf_probe::live;

// Caller memory handed over with a release callback: counts its releases.
struct attachment {
    char* memory = nullptr;
    int releases = 0;
    static void release(void* p) {
        auto* a = static_cast<attachment*>(p);
        ++a->releases;
        delete[] a->memory;
    }
};

struct slot {
    std::unique_ptr<netbuf> buf = std::make_unique<netbuf>();
    std::string model;
};

class model_run {
public:
    explicit model_run(unsigned seed) : m_rng(seed), m_slots(6) {}

    void step();
    void check(size_t i) {
        slot const& s = m_slots[i];
        ASSERT_EQ(s.buf->size(), int(s.model.size())) << "after " << m_last;
        ASSERT_EQ(s.buf->empty(), s.model.empty());
        ASSERT_EQ(bytes(*s.buf), s.model) << "after " << m_last;
    }
    size_t slots() const { return m_slots.size(); }
    void drop_all() { m_slots.clear(); }
    std::deque<attachment> const& attachments() const { return m_attachments; }
    char const* last() const { return m_last; }

private:
    unsigned pick(unsigned n) { return unsigned(m_rng() % n); }
    bool coin() { return pick(2) == 0; }
    // Mostly short, sometimes long, now and then past the largest size class,
    // and sometimes zero or negative.
    int length() {
        unsigned r = pick(100);
        if (r < 5) return -int(pick(3));
        if (r < 70) return int(pick(24));
        if (r < 92) return int(pick(700));
        if (r < 99) return int(pick(9000));
        return 65000 + int(pick(6000));
    }
    std::string random_bytes(int n) {
        std::string s(size_t(std::max(n, 0)), '\0');
        for (auto& c : s) c = char(pick(256));
        return s;
    }
    static void put(std::string& model, std::string const& add, bool back) {
        model = back ? model + add : add + model;
    }
    static void cut(std::string& model, int n, bool back) {
        if (n < 1) return;
        size_t k = std::min(size_t(n), model.size());
        back ? model.erase(model.size() - k) : model.erase(0, k);
    }

    std::mt19937 m_rng;
    // Stable addresses for the callbacks; made before the buffers, so that
    // they outlive them.
    std::deque<attachment> m_attachments;
    std::vector<slot> m_slots;
    char const* m_last = "";
};

void model_run::step() {
    size_t const i = pick(unsigned(m_slots.size()));
    size_t const j = pick(unsigned(m_slots.size())); // may be i
    slot& s = m_slots[i];
    slot& o = m_slots[j];
    netbuf& b = *s.buf;
    bool const back = coin();
    unsigned const op = pick(25);
    switch (op) {
    case 0: {
        m_last = "bytes";
        std::string add = random_bytes(length());
        back ? b.append(add.data(), int(add.size())) : b.prepend(add.data(), int(add.size()));
        put(s.model, add, back);
        break;
    }
    case 1: {
        m_last = "string";
        std::string add = random_bytes(length());
        back ? b.append(add) : b.prepend(add);
        put(s.model, add, back);
        break;
    }
    case 2:
    case 3: {
        m_last = "buffer";
        std::string const add = o.model; // o may be s itself
        back ? b.append(*o.buf) : b.prepend(*o.buf);
        put(s.model, add, back);
        break;
    }
    case 4: {
        m_last = "adopt";
        int n = length();
        std::string add = random_bytes(n);
        char* array = coin() ? netbuf::allocate_raw(n) : (n > 0 ? new char[size_t(n)] : nullptr);
        if (n > 0) std::memcpy(array, add.data(), add.size());
        back ? b.append_raw(array, n) : b.prepend_raw(array, n);
        put(s.model, add, back);
        break;
    }
    case 5: {
        m_last = "attach";
        int n = length();
        std::string add = random_bytes(n);
        attachment& a = m_attachments.emplace_back();
        a.memory = new char[add.size() + 1];
        std::memcpy(a.memory, add.data(), add.size());
        bool const writable = coin();
        back ? b.append_raw(a.memory, n, writable, &attachment::release, &a)
             : b.prepend_raw(a.memory, n, writable, &attachment::release, &a);
        put(s.model, add, back);
        break;
    }
    case 6: {
        m_last = "allocate";
        int n = length();
        char* p = back ? b.allocate_back(n) : b.allocate_front(n);
        ASSERT_EQ(p == nullptr, n < 1);
        std::string add = random_bytes(n);
        if (p) std::memcpy(p, add.data(), add.size());
        put(s.model, add, back);
        break;
    }
    case 7: {
        m_last = "wish_allocate";
        int n = length();
        char* p;
        int granted;
        back ? b.wish_allocate_back(n, p, granted) : b.wish_allocate_front(n, p, granted);
        ASSERT_EQ(p == nullptr, n < 1);
        ASSERT_EQ(granted == 0, n < 1);
        std::string add = random_bytes(granted);
        if (p) std::memcpy(p, add.data(), add.size());
        put(s.model, add, back);
        // Keep part of it, as callers do with what they did not need.
        int unused = granted > 0 ? int(pick(unsigned(granted) + 1)) : 0;
        back ? b.erase_back(unused) : b.erase_front(unused);
        cut(s.model, unused, back);
        break;
    }
    case 8: {
        m_last = "erase";
        int n = coin() ? length() : int(pick(unsigned(s.model.size()) + 2));
        back ? b.erase_back(n) : b.erase_front(n);
        cut(s.model, n, back);
        break;
    }
    case 9: {
        m_last = "clear";
        if (pick(4) == 0) {
            b.clear();
            s.model.clear();
        }
        break;
    }
    case 10:
    case 11: {
        bool const take = op == 11;
        m_last = take ? "take" : "copy";
        int n = coin() ? length() : int(pick(unsigned(s.model.size()) + 2));
        std::string out(size_t(std::max(n, 0)) + 8, '\x5a');
        if (take)
            back ? b.take_back(out.data(), n) : b.take_front(out.data(), n);
        else
            back ? b.copy_back(out.data(), n) : b.copy_front(out.data(), n);
        size_t k = n < 1 ? 0 : std::min(size_t(n), s.model.size());
        std::string want = back ? s.model.substr(s.model.size() - k) : s.model.substr(0, k);
        ASSERT_EQ(out.substr(0, k), want);
        ASSERT_EQ(out.substr(k), std::string(out.size() - k, '\x5a')) << "wrote past what there was";
        if (take) cut(s.model, int(k), back);
        break;
    }
    case 12: {
        m_last = "sub";
        int const size = int(o.model.size());
        int offset = int(pick(unsigned(size) + 3)) - 1;
        int len = coin() ? length() : netbuf::whole_length;
        auto made = std::make_unique<netbuf>(*o.buf, offset, len);
        int64_t from = std::max(offset, 0), to = std::min<int64_t>(int64_t(offset) + len, size);
        std::string model = from < to && len > 0 ? o.model.substr(size_t(from), size_t(to - from)) : "";
        s.buf = std::move(made);
        s.model = model;
        break;
    }
    case 13: {
        m_last = "assign";
        *s.buf = *o.buf; // also onto itself
        s.model = o.model;
        break;
    }
    case 14: {
        m_last = "copy construct";
        s.buf = std::make_unique<netbuf>(*o.buf);
        s.model = o.model;
        break;
    }
    case 15: {
        m_last = "front";
        int max = coin() ? length() : netbuf::whole_length;
        char const* data;
        int len;
        b.front(data, len, max);
        if (s.model.empty()) {
            ASSERT_EQ(data, nullptr);
            ASSERT_EQ(len, 0);
        } else {
            ASSERT_GE(len, 1);
            ASSERT_LE(size_t(len), s.model.size());
            if (max >= int(s.model.size())) {
                ASSERT_EQ(size_t(len), s.model.size());
            }
            ASSERT_EQ(std::string(data, size_t(len)), s.model.substr(0, size_t(len)));
        }
        break;
    }
    case 16: {
        m_last = "find";
        char c = s.model.empty() || coin() ? char(pick(256)) : s.model[pick(unsigned(s.model.size()))];
        int max = coin() ? length() : netbuf::whole_length;
        size_t at = s.model.find(c);
        int want = max < 1 || at == std::string::npos || at >= size_t(max) ? -1 : int(at);
        ASSERT_EQ(b.find(c, max), want);
        break;
    }
    case 17: {
        m_last = "compare";
        std::string text = s.model.substr(0, pick(unsigned(s.model.size()) + 1));
        if (!text.empty() && coin()) text[pick(unsigned(text.size()))] = char(pick(256));
        if (coin()) text += random_bytes(int(pick(3)));
        int got = b.compare(text.data(), int(text.size()));
        int want = s.model.compare(text);
        ASSERT_EQ((got > 0) - (got < 0), (want > 0) - (want < 0)) << "text of " << text.size();
        break;
    }
    case 18: {
        m_last = "iterators";
        netbuf::iterator it(b);
        std::string seen;
        std::unique_ptr<netbuf::iterator> mark;
        size_t marked_at = 0;
        for (; it.valid(); it.next()) {
            if (!mark && coin()) {
                mark = std::make_unique<netbuf::iterator>(it);
                marked_at = seen.size();
            }
            char const* data;
            int len;
            ASSERT_EQ(it.get(data, len), len);
            ASSERT_GE(len, 1);
            seen.append(data, size_t(len));
        }
        ASSERT_EQ(seen, s.model);
        if (mark) {
            netbuf::iterator again(b);
            again = *mark;
            std::string rest;
            for (; again.valid(); again.next()) {
                char const* data;
                int len;
                again.get(data, len);
                rest.append(data, size_t(len));
            }
            ASSERT_EQ(rest, s.model.substr(marked_at));
        }
        break;
    }
    case 19: {
        m_last = "swap";
        s.buf->swap(*o.buf);
        std::swap(s.model, o.model);
        break;
    }
    case 20: {
        m_last = "detach";
        void* impl = b.detach_ptr();
        if (coin()) {
            s.buf = std::make_unique<netbuf>(impl, false);
        } else {
            s.buf = std::make_unique<netbuf>(impl, true);
            netbuf dropped(impl, false);
        }
        break;
    }
    case 21: {
        m_last = "to_string";
        ASSERT_EQ(b.to_string(), s.model);
        break;
    }
    case 22: {
        m_last = "from";
        std::string text = random_bytes(length());
        text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
        s.buf =
            std::make_unique<netbuf>(coin() ? netbuf::from_string(text) : netbuf::from_string(text.c_str()));
        s.model = text;
        break;
    }
    case 23: {
        m_last = "drop";
        s.buf = std::make_unique<netbuf>();
        s.model.clear();
        break;
    }
    default: {
        m_last = "whole";
        char const* data;
        int len;
        b.whole(data, len);
        ASSERT_EQ(std::string(data ? data : "", size_t(len)), s.model);
        break;
    }
    }
    // Keep the buffers to a size that a check per step can afford.
    if (s.model.size() > 200000) {
        b.erase_front(int(s.model.size()) - 1000);
        s.model.erase(0, s.model.size() - 1000);
    }
    check(i);
    check(j);
}

TEST(NetbufModel, RandomOperationsMatchTheStringModel) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        live const before = live::now();
        model_run run(seed);
        for (int n = 0; n < 5000; ++n) {
            run.step();
            if (::testing::Test::HasFatalFailure()) {
                ADD_FAILURE() << "step " << n << " (" << run.last() << ")";
                return;
            }
            for (size_t i = 0; i < run.slots(); ++i) run.check(i);
            if (::testing::Test::HasFatalFailure()) return;
        }
        run.drop_all();
        EXPECT_EQ(live::now(), before);
        for (attachment const& a : run.attachments()) ASSERT_EQ(a.releases, 1);
    }
}

} // namespace

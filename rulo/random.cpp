#include "rulo/random.h"

#include "rulo/exception.h"
#include "rulo/hooks.h"
#include "rulo/lock.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

namespace rulo {

namespace {

// The sum the framework seeds its generators with; each call takes it afresh.
uint32_t clock_seed() {
    return uint32_t((unsigned long)time(nullptr) + (unsigned long)clock() + (unsigned long)pthread_self() +
                    (unsigned long)getpid());
}

// MT19937 renewed one word per draw rather than 624 at a time: three cursors
// walk the state (the word to replace, the next one, and the one 397 ahead).
// Process-wide, created on first use and never freed, so threads still
// drawing while the process exits find it intact. Every access holds mutex.
struct twister {
    static constexpr int size = 624;
    static constexpr int shift = 397;

    rec_mutex mutex;
    uint32_t words[size] = {};
    int first = -1; // -1: not seeded yet
    int second = 0;
    int ahead = 0;

    void seed(uint32_t s) {
        words[0] = s;
        for (int i = 1; i < size; ++i) {
            uint32_t w = words[i - 1];
            words[i] = 1812433253u * (w ^ (w >> 30)) + uint32_t(i);
        }
        first = 0;
        second = 1;
        ahead = shift;
    }

    uint32_t next() {
        if (first < 0) seed(5489);
        uint32_t a = words[first], b = words[second], m = words[ahead];
        uint32_t y = ((a & 0x80000000u) | (b & 0x7fffffffu)) >> 1;
        if (b & 1) y ^= 0x9908b0dfu;
        y ^= m;
        words[first] = y;
        first = second;
        second = second + 1 == size ? 0 : second + 1;
        ahead = ahead + 1 == size ? 0 : ahead + 1;
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= y >> 18;
        return y;
    }
};

twister& generator() {
    static twister* g = new twister;
    return *g;
}

} // namespace

void init_rand() {
    seed_rand(clock_seed());
}

void seed_rand(uint32_t seed) {
    twister& g = generator();
    rec_lock held(g.mutex);
    g.seed(seed);
}

unsigned rand() {
    if (x_rand) return x_rand();
    twister& g = generator();
    rec_lock held(g.mutex);
    return g.next() >> 1;
}

void init_random() {
    srand(clock_seed());
    srandom(clock_seed());
}

} // namespace rulo

namespace xstd {

std::string get_random_bytes(int n) {
    if (n < 1) return {};
    std::string out(size_t(n), '\0');
    size_t done = 0;
    while (done < out.size()) {
        ssize_t got = getrandom(out.data() + done, out.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw rulo::exception::system_error("get_random_bytes", "getrandom");
        }
        done += size_t(got);
    }
    return out;
}

// The TLS random source is the library's own generator: seeded from the
// system, locked inside, and reseeded by a forked child before its first draw.
void init_crypto() {
    if (RAND_status() != 1) {
        rulo::exception e = rulo::exception::function("init_crypto");
        e.stream() << ": the library's generator is not seeded";
        ERR_clear_error();
        throw e;
    }
}

int rnd_f(void*, unsigned char* out, size_t length) {
    // The library takes an int count: hand it over in pieces.
    while (length > 0) {
        int piece = int(std::min<size_t>(length, 1 << 20));
        if (RAND_bytes(out, piece) != 1) {
            unsigned long code = ERR_get_error();
            ERR_clear_error();
            return code ? -int(code & 0x7FFFFFFF) : -1;
        }
        out += piece;
        length -= size_t(piece);
    }
    return 0;
}

} // namespace xstd

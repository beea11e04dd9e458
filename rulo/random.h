// Random numbers: the framework's pseudo-random sequence, secret bytes from
// the operating system, the C library's generators and the TLS random source.
//
// rulo::rand is a Mersenne Twister (MT19937) shared by the whole process and,
// through the API table, by every plugin copy: it is for spreading and picking,
// never for secrets. Anything an attacker must not guess (session secrets,
// challenges, nonces) comes from xstd::get_random_bytes, which reads the
// operating system's generator. All functions here may be called from any
// thread; each holds its generator's mutex for one step only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rulo {

// Start-up: makes the generator's mutex and seeds it from the time, the
// processor clock, the thread id and the process id.
void init_rand();
// Restarts the sequence from the given seed (standard MT19937 seeding).
void seed_rand(uint32_t seed);
// The next value of the sequence shifted right by one: 0 to 2147483647.
// In a plugin copy: the host's generator (all 32 bits of its result).
// Seeds itself with 5489 when nothing seeded it yet.
unsigned rand();

// Seeds the C library's srand and srandom from the time, the processor
// clock, the thread id and the process id.
void init_random();

} // namespace rulo

namespace xstd {

// n bytes from the operating system's generator; n below 1 gives "".
// Blocks only while the system has not yet gathered its boot entropy.
// Throws the system-call exception when the generator cannot be read.
std::string get_random_bytes(int n);

// Start-up: makes sure the TLS random source (the crypto library's own
// generator over the system's entropy) is seeded. Throws the function
// exception "init_crypto" when it cannot be.
void init_crypto();
// Fills out with length bytes from the TLS random source; the first argument
// is unused. Returns 0, or the library's negative error code when the source
// cannot deliver.
int rnd_f(void* unused, unsigned char* out, size_t length);

} // namespace xstd

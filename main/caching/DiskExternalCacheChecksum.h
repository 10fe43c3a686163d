// The checksum of the disk store's integrity record: XXH3, 64 bits, seed 0,
// of a value's bytes, with the fastest vector unit the machine has.
//
// Library-internal. Thread rules: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether this build has the AVX2 variant (GCC on x86-64; other compilers and
// machines use the system's libxxhash alone).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KELCACHE_CHECKSUM_HAS_AVX2 1
#else
#define KELCACHE_CHECKSUM_HAS_AVX2 0
#endif

namespace kelvra::caching {

// XXH3_64bits(bytes, length), the same value whichever unit computes it.
uint64_t DiskValueChecksum(const void* bytes, size_t length);

#if KELCACHE_CHECKSUM_HAS_AVX2
// The same, compiled for AVX2: call only where the machine has it.
uint64_t DiskValueChecksumAvx2(const void* bytes, size_t length);
#endif

}  // namespace kelvra::caching

// XXH3-64 compiled for AVX2, for the disk store's integrity record
// (DiskValueChecksum, DiskExternalCacheChecksum.cpp, calls it only on
// machines that have AVX2).
//
// The system's libxxhash runs XXH3 with SSE2 on x86-64: 62 us for 1 MiB on
// the benchmark machine, almost as long as the read of the value itself.
// This build of the same function takes 22 us. (The library's own
// run-time dispatching functions are as fast, but leave the vector unit in a
// state that made the SSE2 code running after them on the thread four times
// slower; code built here ends with vzeroupper, as GCC emits for AVX code.)
//
// Everything in this file is compiled for AVX2, so it holds nothing that
// another file could share: xxHash's functions are all static here
// (XXH_INLINE_ALL) and the intrinsics are static inline; no C++ header whose
// inline functions could be merged with other files' copies is included.
#include "main/caching/DiskExternalCacheChecksum.h"

#if KELCACHE_CHECKSUM_HAS_AVX2

#pragma GCC target("avx2")

#include <immintrin.h>

#define XXH_INLINE_ALL
#define XXH_VECTOR 2  // XXH_AVX2: the pragma does not define __AVX2__ for the header's own choice
#include <xxhash.h>

namespace kelvra::caching {

uint64_t DiskValueChecksumAvx2(const void* bytes, size_t length) {
  return XXH3_64bits(bytes, length);
}

}  // namespace kelvra::caching

#endif

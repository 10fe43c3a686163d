#include "main/caching/DiskExternalCacheChecksum.h"

#include <xxhash.h>

namespace kelvra::caching {

uint64_t DiskValueChecksum(const void* bytes, size_t length) {
#if KELCACHE_CHECKSUM_HAS_AVX2
  // Asked once; the answer never changes while the process runs.
  static const bool s_avx2 = __builtin_cpu_supports("avx2");
  if (s_avx2) return DiskValueChecksumAvx2(bytes, length);
#endif
  return XXH3_64bits(bytes, length);
}

}  // namespace kelvra::caching

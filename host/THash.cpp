#include "host/THash.h"

#include <xxhash.h>

uint32_t THash32(const void* data, size_t length, unsigned seed) {
  // XXH32 accepts a null pointer only with a zero length.
  static const char kEmpty = 0;
  return XXH32(length == 0 ? &kEmpty : data, length, seed);
}

// THash32: the host's 32-bit hash of a byte range.
//
// It is XXH32 from the xxHash library with the given seed. The disk store
// names its entry folders after THash32 of the key's UTF-16 bytes seeded with
// 0xDEADBEEF, so this choice is part of the on-disk format and must not
// change. Thread-safe: a pure function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/Export.h"

KELCACHE_EXPORT uint32_t THash32(const void* data, size_t length, unsigned seed);

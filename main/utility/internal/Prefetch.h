// Prefetch: asks for a cache line that will be written soon, without waiting.
// Internal to the in-memory caches; not part of the library's interface.
//
// The lookups of the in-memory caches follow chains of pointers into memory
// that is cold on a large population (an id's slot, the stored entry, the
// cached object whose reference count the lookup changes). Where the address
// of a later link is known early (the tables keep each entry's object beside
// the entry's address), asking for it first lets the two misses overlap
// instead of following each other. A prefetch never faults and has no effect
// on what the program computes, so a stale address costs nothing but the
// memory traffic.
#pragma once

namespace CacheHelpers::internal {

inline void PrefetchForWrite(const void* address) {
  __builtin_prefetch(address, 1);
}

}  // namespace CacheHelpers::internal

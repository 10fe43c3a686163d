// EntryScratch: a reusable buffer of entry copies for the length of one call.
// Internal to the in-memory caches; not part of the library's interface.
//
// The synchronized caches copy entries out under their lock (candidates of a
// lookup, a snapshot to visit) and look at them after releasing it. Building a
// new container for that on every call costs allocations; an EntryScratch
// borrows a vector from a pool that belongs to the calling thread instead, and
// the vector keeps its capacity from one call to the next.
//
// Re-entrant: a predicate judged over the copies may call back into a cache
// on the same thread, which borrows again while the outer buffer is in use.
// The pool therefore holds one vector per nesting depth (each allocated on
// its own, so that adding a deeper one never moves the vectors in use), and
// each EntryScratch takes the vector of the depth it is created at.
//
// Ownership: the copies hold references to the cached objects. The
// destructor clears the vector, so no reference outlives the call that made
// it (an exception included); a vector that grew large is released as well,
// so that one scan of a big cache does not pin its size in every thread.
//
// Thread rules: each thread has its own pool; an EntryScratch must be
// destroyed on the thread that created it, in reverse order of creation
// (which scoping guarantees).
#pragma once

#include <vector>

#include "main/utility/CacheEntry.h"

namespace CacheHelpers::internal {

struct ScratchPool;

class EntryScratch {
 public:
  EntryScratch();
  ~EntryScratch();
  EntryScratch(const EntryScratch&) = delete;
  EntryScratch& operator=(const EntryScratch&) = delete;

  // Empty when borrowed; the caller fills and reads it.
  std::vector<Entry>& Entries() { return m_entries; }

 private:
  ScratchPool* m_pool;  // the creating thread's
  std::vector<Entry>& m_entries;
};

}  // namespace CacheHelpers::internal

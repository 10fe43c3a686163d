// EntryScratch: a reusable buffer of entry copies for the length of one call.
// Internal to the in-memory caches; not part of the library's interface.
//
// The synchronized caches copy entries out under their lock (candidates of a
// lookup, a snapshot to visit) and look at them after releasing it. Building a
// new container for that on every call costs allocations. An EntryScratch
// keeps up to kInline copies in itself, on the caller's stack, which is what
// an indexed lookup with a short hint list needs; more go into a vector
// borrowed from a pool that belongs to the calling thread, and that vector
// keeps its capacity from one call to the next. Either way nothing is
// allocated once the thread's pool is warm.
//
// Re-entrant: a predicate judged over the copies may call back into a cache
// on the same thread, which copies again while the outer buffer is in use.
// The inline copies belong to each object; the pool holds one vector per
// nesting depth (each allocated on its own, so that adding a deeper one never
// moves the vectors in use), and an EntryScratch that needs one takes the
// vector of the depth it is at.
//
// Ownership: the copies hold references to the cached objects. The
// destructor drops them all, so no reference outlives the call that made it
// (an exception included); a vector that grew large is released as well, so
// that one scan of a big cache does not pin its size in every thread.
//
// Thread rules: each thread has its own pool; an EntryScratch must be
// destroyed on the thread that created it, in reverse order of creation
// (which scoping guarantees).
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "main/utility/CacheEntry.h"

namespace CacheHelpers::internal {

struct ScratchPool;

class EntryScratch {
 public:
  static constexpr size_t kInline = 4;

  EntryScratch() = default;
  ~EntryScratch() { Release(); }
  EntryScratch(const EntryScratch&) = delete;
  EntryScratch& operator=(const EntryScratch&) = delete;

  // Prepares for `count` copies: a count beyond kInline borrows the vector
  // at once, instead of at the first copy that does not fit.
  void Reserve(size_t count) {
    if (count > kInline) Spill()->reserve(count);
  }
  void Add(const Entry& entry) {
    if (m_spill == nullptr && m_size < kInline) {
      new (InlineAt(m_size)) Entry(entry);
      ++m_size;
    } else {
      Spill()->push_back(entry);
    }
  }

  const Entry* begin() const { return m_spill != nullptr ? m_spill->data() : InlineAt(0); }
  const Entry* end() const { return begin() + size(); }
  Entry* begin() { return const_cast<Entry*>(std::as_const(*this).begin()); }
  Entry* end() { return begin() + size(); }
  size_t size() const { return m_spill != nullptr ? m_spill->size() : m_size; }

 private:
  Entry* InlineAt(size_t i) { return std::launder(reinterpret_cast<Entry*>(m_inline) + i); }
  const Entry* InlineAt(size_t i) const { return std::launder(reinterpret_cast<const Entry*>(m_inline) + i); }
  // The borrowed vector, holding the inline copies made so far.
  std::vector<Entry>* Spill();
  void DestroyInline();
  // Drops every copy and gives the vector back.
  void Release();

  alignas(Entry) unsigned char m_inline[kInline * sizeof(Entry)];
  size_t m_size = 0;                      // inline copies, when m_spill is null
  ScratchPool* m_pool = nullptr;          // the creating thread's, once borrowed from
  std::vector<Entry>* m_spill = nullptr;  // the borrowed vector (or m_own's), or null
  // A vector of this object's own, used only once the thread's pool is gone
  // (thread-local objects destroyed late in the thread's exit).
  std::unique_ptr<std::vector<Entry>> m_own;
};

}  // namespace CacheHelpers::internal

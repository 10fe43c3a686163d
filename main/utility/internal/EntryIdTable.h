// EntryIdTable: the entries of one IndexedCache by id, in one flat array.
// Internal to the in-memory caches; not part of the library's interface.
//
// Why: an EntrySet is node-based. Finding an id in it reads the bucket array,
// then the node before the bucket's first node, then the node itself: on a
// large population two or three cache misses, one after the other. This table
// keeps, for each id, the address of the entry inside its EntrySet node and
// the address of the entry's object, with open addressing and linear probing
// in one array of 24-byte slots: a lookup usually reads one cache line before
// it reaches the entry, and can ask for the entry's and the object's lines at
// once (Prefetch.h). The address of an element of an unordered container
// stays valid until the element is erased, whatever rehashing the container
// does, and an entry never changes its object.
//
// Invariant (kept by IndexedCache after every operation): the table holds
// exactly the ids of the EntrySet it mirrors, each with the address of that
// set's element. Deletion moves the later members of a probe run back into
// the freed slot (no tombstones), so no lookup walks over deleted slots and the
// table never needs cleaning.
//
// Id 0 is a valid id after the id counter wraps; an empty slot is recognised
// by its null entry address, never by its id.
//
// Thread rules: a plain value, not synchronized; the owner's lock guards it,
// except for PrefetchUnlocked, which any thread may call at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "main/utility/CacheEntry.h"

namespace CacheHelpers::internal {

class EntryIdTable {
 public:
  EntryIdTable() = default;
  EntryIdTable(EntryIdTable&& other) noexcept { *this = std::move(other); }
  EntryIdTable& operator=(EntryIdTable&& other) noexcept {
    m_slots = std::move(other.m_slots);
    m_mask = std::exchange(other.m_mask, 0);
    m_shift = std::exchange(other.m_shift, 64);
    m_size = std::exchange(other.m_size, 0);
    Publish();
    other.Publish();
    return *this;
  }

  // What the table keeps of one stored entry.
  struct Stored {
    const Entry* entry = nullptr;        // null: the slot is free
    const RefCntObject* data = nullptr;  // entry->GetData().get()
    unsigned id = 0;
  };

  // The stored entry with this id, or null.
  const Stored* Find(unsigned id) const {
    if (m_size == 0) return nullptr;
    for (size_t i = Home(id);; i = (i + 1) & m_mask) {
      const Stored& slot = m_slots[i];
      if (slot.entry == nullptr) return nullptr;
      if (slot.id == id) return &slot;
    }
  }

  // Asks for the cache line where a lookup of the id starts (Prefetch.h).
  void Prefetch(unsigned id) const {
    if (m_size != 0) __builtin_prefetch(&m_slots[Home(id)]);
  }

  // The same, without the owner's lock, so that a caller can ask for the
  // line before it waits for the lock and finds it there once it holds it.
  // The array's address and size are read from relaxed atomic copies that
  // the table keeps; a copy that is out of date (the table grew meanwhile)
  // only asks for a line that is not needed: a prefetch never faults.
  void PrefetchUnlocked(unsigned id) const {
    const Stored* slots = m_publishedSlots.load(std::memory_order_relaxed);
    if (slots == nullptr) return;
    const unsigned shift = m_publishedShift.load(std::memory_order_relaxed);
    // Nothing orders the two copies: a reader may see the first array with
    // the empty table's shift (64), by which a 64-bit shift is undefined.
    if (shift >= 64) return;
    __builtin_prefetch(slots + ((static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> shift));
  }

  // Makes room for one more id, so that the next Insert cannot fail.
  void ReserveOneMore() {
    if ((m_size + 1) * 4 > m_slots.size() * 3) Grow();
  }

  // Lists the entry under its id, replacing what was listed under that id.
  void Insert(const Entry& entry) {
    ReserveOneMore();
    Place(Stored{&entry, entry.GetData().get(), entry.GetID()});
  }

  // Forgets the id; no effect when it is absent.
  void Erase(unsigned id) {
    if (m_size == 0) return;
    size_t hole = Home(id);
    while (m_slots[hole].entry != nullptr && m_slots[hole].id != id) hole = (hole + 1) & m_mask;
    if (m_slots[hole].entry == nullptr) return;
    // Backward shift: a later slot of the run moves into the hole unless its
    // home lies cyclically after the hole (it would then be found before it).
    for (size_t next = (hole + 1) & m_mask; m_slots[next].entry != nullptr; next = (next + 1) & m_mask) {
      const size_t home = Home(m_slots[next].id);
      if (((next - home) & m_mask) >= ((next - hole) & m_mask)) {
        m_slots[hole] = m_slots[next];
        hole = next;
      }
    }
    m_slots[hole] = Stored{};
    --m_size;
  }

  void Clear() {
    m_slots.clear();
    m_mask = 0;
    m_shift = 64;
    m_size = 0;
    Publish();
  }

  size_t Size() const { return m_size; }

 private:
  // There is a free slot.
  void Place(const Stored& stored) {
    for (size_t i = Home(stored.id);; i = (i + 1) & m_mask) {
      Stored& slot = m_slots[i];
      if (slot.entry == nullptr) {
        slot = stored;
        ++m_size;
        return;
      }
      if (slot.id == stored.id) {
        slot = stored;
        return;
      }
    }
  }

  // Fibonacci hashing: ids are consecutive, so their low bits alone would
  // fill runs of neighbouring slots; the multiplication spreads them.
  size_t Home(unsigned id) const {
    return static_cast<size_t>((static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> m_shift);
  }

  // Doubles the array (16 slots at first) and lists every entry again; the
  // load stays at most three quarters.
  void Grow() {
    std::vector<Stored> old(m_slots.size() < 16 ? 16 : m_slots.size() * 2);
    old.swap(m_slots);
    m_mask = m_slots.size() - 1;
    m_shift = 64;
    for (size_t n = m_slots.size(); n > 1; n >>= 1) --m_shift;
    m_size = 0;
    for (const Stored& slot : old) {
      if (slot.entry != nullptr) Place(slot);
    }
    Publish();
  }

  // Updates the copies that PrefetchUnlocked reads.
  void Publish() {
    m_publishedShift.store(m_shift, std::memory_order_relaxed);
    m_publishedSlots.store(m_slots.empty() ? nullptr : m_slots.data(), std::memory_order_relaxed);
  }

  std::vector<Stored> m_slots;  // a power of two in size, or empty
  size_t m_mask = 0;            // m_slots.size() - 1
  unsigned m_shift = 64;        // 64 - log2(m_slots.size())
  size_t m_size = 0;            // occupied slots
  // m_slots.data() (null when empty) and m_shift, for PrefetchUnlocked.
  std::atomic<const Stored*> m_publishedSlots{nullptr};
  std::atomic<unsigned> m_publishedShift{64};
};

}  // namespace CacheHelpers::internal

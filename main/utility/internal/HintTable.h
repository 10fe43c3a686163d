// HintTable: the hints of one IndexedCache by qualified key, in one flat array.
// Internal to the in-memory caches; not part of the library's interface.
//
// IndexedCacheData::m_indexedEntries maps each qualified key "<index>|<key>"
// to a std::set of ids. Answering a predicate through that map alone takes a
// new string for the qualified key, its hash, a walk down a node chain, and
// for every listed id a tree step and a probe of the entry set. This table
// mirrors m_indexedEntries for lookups: one record per qualified key, found
// by a hash of the key text computed from the index name and the key where
// they lie (QualifiedKey; no text is assembled), holding the address of the
// key's element of m_indexedEntries (so the public set of ids is reached
// without hashing again) and of that key's text, and the first listed id
// with its stored entry and the entry's object. An indexed lookup judges the
// first listed entry first and usually stops there, reading nothing of the
// table beyond the record; the other ids are read from the public set. (A
// copy of the whole list here would cost an allocation per key and its
// reallocations as the list grows, and those scatter the entries' own memory
// on the heap, which slows every scan of the entries.)
//
// Invariant (kept by IndexedCache after every operation): the table holds one
// record per key of m_indexedEntries and no other; a record's first hint is
// the smallest id of its key's set, with the address of the stored entry of
// that id and of its object. Element addresses of the unordered containers
// stay valid until the element is erased, whatever rehashing the containers
// do.
//
// Records live in the array itself, one cache line each (open addressing,
// linear probing, deletion by backward shift). A lookup reads the record,
// asks for the first hint's entry and object (Prefetch.h) and only then
// compares the key text, so that the comparison's miss and the entry's
// overlap. Records move when the table grows or shifts, so nothing points at
// a record across a change of the table.
//
// Thread rules: plain values, not synchronized; the owner's lock guards them,
// except for PrefetchUnlocked, which any thread may call at any time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/TString.h"
#include "main/utility/CacheEntry.h"
#include "main/utility/internal/Prefetch.h"

namespace CacheHelpers::internal {

// A listed id with its stored entry and the entry's object (which an entry
// never changes), so that a reader can ask for both cache lines at once.
struct Hint {
  const Entry* entry = nullptr;
  const RefCntObject* data = nullptr;
  unsigned id = 0;
};

// The hash of qualified key texts in the hint table (not the hash of the
// public maps, which is the host's hash of TString): FNV-1a over the UTF-16
// code units, so that it can run over the pieces of a text as well as over
// the whole, then a final mix, because the table uses the low bits.
class QualifiedKeyHash {
 public:
  void Add(std::u16string_view text) {
    for (char16_t unit : text) m_state = (m_state ^ unit) * 0x100000001B3ull;
  }
  uint32_t Value() const {
    uint64_t h = m_state;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return static_cast<uint32_t>(h);
  }

 private:
  uint64_t m_state = 0xCBF29CE484222325ull;
};

inline uint32_t HashQualifiedKey(std::u16string_view text) {
  QualifiedKeyHash hash;
  hash.Add(text);
  return hash.Value();
}

// Code unit for code unit equality. Keys and index names are short: a few
// word compares inline beat both char_traits<char16_t>'s loop and a call of
// memcmp.
inline bool SameText(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  const char* left = reinterpret_cast<const char*>(a.data());
  const char* right = reinterpret_cast<const char*>(b.data());
  const size_t bytes = a.size() * sizeof(char16_t);
  auto same = [&](size_t at, auto word) {
    decltype(word) x;
    decltype(word) y;
    std::memcpy(&x, left + at, sizeof(x));
    std::memcpy(&y, right + at, sizeof(y));
    return x == y;
  };
  if (bytes >= 8) {
    // Whole words, then the last word again (it may overlap the one before).
    for (size_t at = 0; at + 8 < bytes; at += 8) {
      if (!same(at, uint64_t{})) return false;
    }
    return same(bytes - 8, uint64_t{});
  }
  if (bytes >= 4) return same(0, uint32_t{}) && same(bytes - 4, uint32_t{});
  return bytes == 0 || same(0, uint16_t{});
}

// The qualified key "<index>|<key>" of an index name and a key (nothing
// escaped), hashed and compared where the two texts lie: a lookup assembles
// no text. Refers to the two strings, which must outlive it.
class QualifiedKey {
 public:
  QualifiedKey(const TString& indexName, const TString& key) : m_name(indexName.u16()), m_key(key.u16()) {
    QualifiedKeyHash hash;
    hash.Add(m_name);
    hash.Add(u"|");
    hash.Add(m_key);
    m_hash = hash.Value();
  }

  uint32_t Hash() const { return m_hash; }
  // Whether the text is this qualified key.
  bool Is(std::u16string_view text) const {
    const size_t nameLength = m_name.size();
    return text.size() == nameLength + 1 + m_key.size() && text[nameLength] == u'|' &&
           SameText(text.substr(0, nameLength), m_name) && SameText(text.substr(nameLength + 1), m_key);
  }
  TString ToString() const {
    std::u16string text;
    text.reserve(m_name.size() + 1 + m_key.size());
    text.append(m_name).append(1, u'|').append(m_key);
    return TString(std::move(text));
  }

 private:
  std::u16string_view m_name;
  std::u16string_view m_key;
  uint32_t m_hash = 0;
};

// An element of IndexedCacheData::m_indexedEntries.
using Listing = std::pair<const TString, std::set<unsigned>>;

// The lookup record of one qualified key, one cache line. A lookup of a
// short key (up to kInlineUnits code units, "<index>|<key>") and of a key
// listed once reads nothing but this line before it reaches the entry: the
// text is kept here as well as in the listing, and so is the number of ids.
struct alignas(64) HintRecord {
  static constexpr uint32_t kInlineUnits = 10;

  Listing* listing = nullptr;  // the key's element of m_indexedEntries; null: free slot
  Hint first;                  // the smallest id of listing->second
  uint32_t hash = 0;           // HashQualifiedKey of the key
  uint32_t keyLength = 0;      // listing->first's length in code units
  uint32_t count = 0;          // listing->second.size(), kept by the indexed cache
  char16_t inlineKey[kInlineUnits] = {};  // listing->first when it is this short

  std::u16string_view Key() const {
    return keyLength <= kInlineUnits ? std::u16string_view(inlineKey, keyLength) : listing->first.u16();
  }
};
static_assert(sizeof(HintRecord) == 64, "a hint record fills one cache line");

class HintTable {
 public:
  HintTable() = default;
  HintTable(HintTable&& other) noexcept { *this = std::move(other); }
  HintTable& operator=(HintTable&& other) noexcept {
    m_records = std::move(other.m_records);
    m_mask = std::exchange(other.m_mask, 0);
    m_size = std::exchange(other.m_size, 0);
    Publish();
    other.Publish();
    return *this;
  }

  // Asks for the record where a lookup of the hash starts, without the
  // owner's lock: the array's address and mask are read from relaxed atomic
  // copies, and a copy that is out of date (the table grew meanwhile) only
  // asks for a line that is not needed, since a prefetch never faults.
  void PrefetchUnlocked(uint32_t hash) const {
    const HintRecord* records = m_publishedRecords.load(std::memory_order_relaxed);
    if (records == nullptr) return;
    __builtin_prefetch(records + (hash & m_publishedMask.load(std::memory_order_relaxed)));
  }

  // The record of a qualified key, or null.
  const HintRecord* Find(const QualifiedKey& key) const {
    return FindIf(key.Hash(), [&](std::u16string_view text) { return key.Is(text); });
  }
  HintRecord* Find(const QualifiedKey& key) {
    return const_cast<HintRecord*>(std::as_const(*this).Find(key));
  }
  // The record of a qualified key text, or null.
  HintRecord* Find(std::u16string_view key) {
    return const_cast<HintRecord*>(
        FindIf(HashQualifiedKey(key), [&](std::u16string_view text) { return SameText(text, key); }));
  }

  // Makes room for one more record, so that the next Insert cannot fail.
  void ReserveOneMore() {
    if ((m_size + 1) * 4 > m_records.size() * 3) Grow();
  }

  // A new, empty record for a key of m_indexedEntries that has none. The
  // reference is valid until the table changes.
  HintRecord& Insert(Listing& listing, uint32_t hash) {
    ReserveOneMore();
    size_t i = hash & m_mask;
    while (m_records[i].listing != nullptr) i = (i + 1) & m_mask;
    HintRecord& record = m_records[i];
    const std::u16string_view text = listing.first.u16();
    record.listing = &listing;
    record.keyLength = static_cast<uint32_t>(text.size());
    if (text.size() <= HintRecord::kInlineUnits) text.copy(record.inlineKey, text.size());
    record.hash = hash;
    record.first = Hint{};
    record.count = 0;
    ++m_size;
    return record;
  }

  // Drops a record of this table (found by Find, the table unchanged since).
  void Erase(HintRecord& found) {
    size_t hole = static_cast<size_t>(&found - m_records.data());
    // Backward shift, as in EntryIdTable.
    for (size_t next = (hole + 1) & m_mask; m_records[next].listing != nullptr; next = (next + 1) & m_mask) {
      const size_t home = m_records[next].hash & m_mask;
      if (((next - home) & m_mask) >= ((next - hole) & m_mask)) {
        m_records[hole] = std::move(m_records[next]);
        hole = next;
      }
    }
    m_records[hole] = HintRecord{};
    --m_size;
  }

  size_t Size() const { return m_size; }

 private:
  template <class Equal>
  const HintRecord* FindIf(uint32_t hash, Equal&& equal) const {
    if (m_size == 0) return nullptr;
    for (size_t i = hash & m_mask;; i = (i + 1) & m_mask) {
      const HintRecord& record = m_records[i];
      if (record.listing == nullptr) return nullptr;
      if (record.hash != hash) continue;
      // Nearly always the key's record, whose first hint is read next: ask
      // for its lines before the text comparison waits for the key's.
      PrefetchForWrite(record.first.data);
      __builtin_prefetch(record.first.entry);
      if (equal(record.Key())) return &record;
    }
  }

  // Doubles the array (16 records at first) and moves every record to its
  // new place; the load stays at most three quarters.
  void Grow() {
    std::vector<HintRecord> old(m_records.size() < 16 ? 16 : m_records.size() * 2);
    old.swap(m_records);
    m_mask = m_records.size() - 1;
    for (HintRecord& record : old) {
      if (record.listing == nullptr) continue;
      size_t i = record.hash & m_mask;
      while (m_records[i].listing != nullptr) i = (i + 1) & m_mask;
      m_records[i] = std::move(record);
    }
    Publish();
  }

  // Updates the copies that PrefetchUnlocked reads.
  void Publish() {
    m_publishedMask.store(m_mask, std::memory_order_relaxed);
    m_publishedRecords.store(m_records.empty() ? nullptr : m_records.data(), std::memory_order_relaxed);
  }

  std::vector<HintRecord> m_records;  // a power of two in size, or empty
  size_t m_mask = 0;
  size_t m_size = 0;
  // m_records.data() (null when empty) and m_mask, for PrefetchUnlocked.
  std::atomic<const HintRecord*> m_publishedRecords{nullptr};
  std::atomic<size_t> m_publishedMask{0};
};

}  // namespace CacheHelpers::internal

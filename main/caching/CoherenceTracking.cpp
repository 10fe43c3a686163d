#include "main/caching/CoherenceTracking.h"

#include <algorithm>
#include <new>
#include <unordered_map>

#include "host/Errors.h"
#include "host/KelvraCounters.h"
#include "host/TLog.h"

namespace kelvra::caching {

namespace {

constexpr const char* kSource = "main/caching/RedisPubsub";

TString CacheText(const void* cache) { return TString::pointer(cache); }

bool IsRecordOf(const CacheEntryInfo& record, const CoherenceTrackingTable::GuidAndCache& key) {
  return record.guid == key.first && record.cache == key.second;
}

void LogTableError(uint32_t code, const char16_t* text, const CacheEntryInfo& record) {
  LogMessage(TLog::Error, TString(text),
             std::unordered_map<TString, TString>{{TString(u"CacheGuid"), TString::number(record.guid)},
                                                  {TString(u"Cache"), CacheText(record.cache)}},
             KelvraError::MakeError(code, KelvraError::AutoGenName(u"LogSite_AutoGen_", code)));
}

}  // namespace

const std::vector<CacheEntryInfo>* CoherenceTrackingTable::Find(const Hash& keyHash) const {
  auto found = m_keyhashToCacheEntries.find(keyHash);
  return found == m_keyhashToCacheEntries.end() ? nullptr : &found->second;
}

bool CoherenceTrackingTable::Track(const Hash& keyHash, const CacheEntryInfo& record) {
  // Room first, so that a failed allocation (no memory) changes no table and
  // the record, once listed, goes in without one.
  auto slot = m_keyhashToCacheEntries.try_emplace(keyHash).first;
  std::vector<CacheEntryInfo>& entries = slot->second;
  const bool first = entries.empty();
  try {
    if (entries.size() == entries.capacity()) entries.reserve(std::max<size_t>(4, 2 * entries.size()));
    m_guidAndCacheToKeyHash[{record.guid, record.cache}] = keyHash;
  } catch (...) {
    if (first) m_keyhashToCacheEntries.erase(slot);
    throw;
  }
  entries.push_back(record);
  return first;
}

void CoherenceTrackingTable::Forget(const Hash& keyHash, size_t index) {
  std::vector<CacheEntryInfo>& entries = m_keyhashToCacheEntries.at(keyHash);
  const CacheEntryInfo record = entries.at(index);
  const GuidAndCache key{record.guid, record.cache};
  if (record.evictedAt != CacheEntryInfo::kLive) {
    auto [first, last] = m_evictedEntries.equal_range(record.evictedAt);
    auto found = std::find_if(first, last, [&](const auto& element) { return IsRecordOf(element.second, key); });
    if (found == last) {
      ThrowLogicException(kSource, 377,
                          "entry in m_keyhashToCacheEntries is evicted but not found in m_evictedEntries");
    }
    m_evictedEntries.erase(found);
    m_evictedGuidAndCache.erase(key);
  }
  m_guidAndCacheToKeyHash.erase(key);
  entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(index));
}

bool CoherenceTrackingTable::ForgetRecord(const Hash& keyHash, const GuidAndCache& key, size_t* index) {
  auto found = m_keyhashToCacheEntries.find(keyHash);
  if (found == m_keyhashToCacheEntries.end()) return false;
  const std::vector<CacheEntryInfo>& entries = found->second;
  auto isKey = [&key](const CacheEntryInfo& record) { return IsRecordOf(record, key); };
  if (*index >= entries.size() || !isKey(entries[*index])) {
    auto record = std::find_if(entries.begin(), entries.end(), isKey);
    if (record == entries.end()) return false;
    *index = static_cast<size_t>(record - entries.begin());
  }
  Forget(keyHash, *index);
  return true;
}

void CoherenceTrackingTable::DropIfEmpty(const Hash& keyHash) {
  auto found = m_keyhashToCacheEntries.find(keyHash);
  if (found != m_keyhashToCacheEntries.end() && found->second.empty()) m_keyhashToCacheEntries.erase(found);
}

std::vector<CoherenceTrackingTable::GuidAndCache> CoherenceTrackingTable::RecordKeys() const {
  std::vector<GuidAndCache> keys;
  for (const auto& [keyHash, entries] : m_keyhashToCacheEntries) {
    for (const CacheEntryInfo& record : entries) keys.emplace_back(record.guid, record.cache);
  }
  return keys;
}

std::optional<CacheEntryInfo> CoherenceTrackingTable::TakeRecord(const GuidAndCache& key) {
  auto tracked = m_guidAndCacheToKeyHash.find(key);
  if (tracked == m_guidAndCacheToKeyHash.end()) return std::nullopt;
  const Hash keyHash = tracked->second;
  const std::vector<CacheEntryInfo>* entries = Find(keyHash);
  if (entries == nullptr) return std::nullopt;
  auto record = std::find_if(entries->begin(), entries->end(),
                             [&](const CacheEntryInfo& candidate) { return IsRecordOf(candidate, key); });
  if (record == entries->end()) return std::nullopt;
  const CacheEntryInfo taken = *record;
  Forget(keyHash, static_cast<size_t>(record - entries->begin()));
  DropIfEmpty(keyHash);
  return taken;
}

CoherenceTrackingTable::Eviction CoherenceTrackingTable::Evict(const GuidAndCache& key, int64_t now) {
  auto tracked = m_guidAndCacheToKeyHash.find(key);
  if (tracked == m_guidAndCacheToKeyHash.end()) return Eviction::NotTracked;
  if (!m_evictedGuidAndCache.insert(key).second) return Eviction::AlreadyEvicted;
  auto entries = m_keyhashToCacheEntries.find(tracked->second);
  if (entries == m_keyhashToCacheEntries.end()) {
    ThrowLogicException(kSource, 688,
                        "RedisPubsub::OnRemoved - inconsistency between m_guidAndCacheToKeyHash and "
                        "m_keyhashToCacheEntries!");
  }
  for (CacheEntryInfo& record : entries->second) {
    if (IsRecordOf(record, key)) {
      // The copy first: a record is marked evicted only with its copy kept.
      CacheEntryInfo copy = record;
      copy.evictedAt = now;
      try {
        m_evictedEntries.emplace(now, copy);
      } catch (...) {
        m_evictedGuidAndCache.erase(key);
        throw;
      }
      record.evictedAt = now;
    }
  }
  return Eviction::Evicted;
}

bool CoherenceTrackingTable::RemovePlaceholder(const GuidAndCache& key) {
  return m_removeBeforeAddPlaceholders.erase(key) != 0;
}

bool CoherenceTrackingTable::AddPlaceholder(const GuidAndCache& key, size_t limit) {
  if (m_removeBeforeAddPlaceholders.find(key) != m_removeBeforeAddPlaceholders.end()) {
    ThrowLogicException(kSource, 646,
                        "m_removeBeforeAddPlaceholders.find({guid, cache.get()}) == "
                        "m_removeBeforeAddPlaceholders.end()");
  }
  m_removeBeforeAddPlaceholders.insert(key);
  return m_removeBeforeAddPlaceholders.size() > limit;
}

std::vector<CoherenceTrackingTable::GuidAndCache> CoherenceTrackingTable::FlushPlaceholders(size_t listed) {
  std::vector<GuidAndCache> first;
  for (auto it = m_removeBeforeAddPlaceholders.begin();
       it != m_removeBeforeAddPlaceholders.end() && first.size() < listed; ++it) {
    first.push_back(*it);
  }
  m_removeBeforeAddPlaceholders.clear();
  return first;
}

std::vector<unsigned> CoherenceTrackingTable::Withdraw(const ICoherentCache* cache) {
  // Room for the ids first: a withdrawal must finish (the cache is about to
  // go), so nothing below may fail halfway. Without that room the cache is
  // still withdrawn whole, and the failure is raised at the end.
  std::vector<unsigned> ids;
  bool listIds = true;
  try {
    ids.reserve(m_guidAndCacheToKeyHash.size());
  } catch (const std::bad_alloc&) {
    listIds = false;
  }
  for (auto it = m_keyhashToCacheEntries.begin(); it != m_keyhashToCacheEntries.end();) {
    std::vector<CacheEntryInfo>& entries = it->second;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const CacheEntryInfo& record) { return record.cache == cache; }),
                  entries.end());
    it = entries.empty() ? m_keyhashToCacheEntries.erase(it) : std::next(it);
  }
  for (auto it = m_guidAndCacheToKeyHash.begin(); it != m_guidAndCacheToKeyHash.end();) {
    if (it->first.second == cache) {
      if (listIds) ids.push_back(it->first.first);
      it = m_guidAndCacheToKeyHash.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = m_evictedEntries.begin(); it != m_evictedEntries.end();) {
    if (it->second.cache == cache) {
      m_evictedGuidAndCache.erase({it->second.guid, cache});
      it = m_evictedEntries.erase(it);
    } else {
      ++it;
    }
  }
  if (!listIds) throw std::bad_alloc();
  return ids;
}

void CoherenceTrackingTable::PruneOldestWhile(const std::function<bool()>& keepGoing, PrunedIds& pruned) {
  while (!m_evictedEntries.empty() && keepGoing()) {
    auto oldest = m_evictedEntries.begin();
    const CacheEntryInfo& evicted = oldest->second;
    const GuidAndCache key{evicted.guid, evicted.cache};
    pruned[evicted.cache].push_back(evicted.guid);
    if (m_evictedGuidAndCache.erase(key) == 0) {
      LogTableError(0x8C3ACE23,
                    u"RedisPubsub::PruneEvictedEntriesHelperNoLock - evicted entry does not exist in "
                    u"m_evictedGuidAndCache",
                    evicted);
    }
    auto tracked = m_guidAndCacheToKeyHash.find(key);
    if (tracked == m_guidAndCacheToKeyHash.end()) {
      LogTableError(0xB01A293C,
                    u"RedisPubsub::PruneEvictedEntriesHelperNoLock - evicted entry does not exist in "
                    u"m_guidAndCacheToKeyHash",
                    evicted);
    } else {
      const Hash keyHash = tracked->second;
      m_guidAndCacheToKeyHash.erase(tracked);
      auto entries = m_keyhashToCacheEntries.find(keyHash);
      if (entries == m_keyhashToCacheEntries.end()) {
        ThrowLogicException(kSource, 766,
                            "RedisPubsub::OnRemoved - inconsistency between m_guidAndCacheToKeyHash and "
                            "m_keyhashToCacheEntries!");
      }
      std::vector<CacheEntryInfo>& records = entries->second;
      records.erase(std::remove_if(records.begin(), records.end(),
                                   [&](const CacheEntryInfo& record) { return IsRecordOf(record, key); }),
                    records.end());
      if (records.empty()) {
        m_keyhashToCacheEntries.erase(entries);
        ++KelvraCounters::RedisPubsubSavedMessages;
      }
    }
    m_evictedEntries.erase(oldest);
  }
}

std::string CoherenceTrackingTable::CheckConsistency() const {
  std::string problems;
  auto report = [&](const std::string& text, const CacheEntryInfo& record) {
    problems += text + " (guid " + std::to_string(record.guid) + ")\n";
  };
  size_t records = 0;
  std::set<GuidAndCache> evictedInRecords;
  for (const auto& [keyHash, entries] : m_keyhashToCacheEntries) {
    if (entries.empty()) problems += "an empty vector is kept\n";
    for (const CacheEntryInfo& record : entries) {
      ++records;
      auto tracked = m_guidAndCacheToKeyHash.find({record.guid, record.cache});
      if (tracked == m_guidAndCacheToKeyHash.end() || tracked->second != keyHash) {
        report("a record without its key hash in m_guidAndCacheToKeyHash", record);
      }
      if (record.evictedAt != CacheEntryInfo::kLive) {
        evictedInRecords.insert({record.guid, record.cache});
        auto [first, last] = m_evictedEntries.equal_range(record.evictedAt);
        const GuidAndCache key{record.guid, record.cache};
        if (std::none_of(first, last, [&](const auto& element) { return IsRecordOf(element.second, key); })) {
          report("an evicted record without its copy in m_evictedEntries", record);
        }
      }
    }
  }
  if (records != m_guidAndCacheToKeyHash.size()) problems += "m_guidAndCacheToKeyHash holds other entries\n";
  if (evictedInRecords != m_evictedGuidAndCache) {
    problems += "m_evictedGuidAndCache differs from the evicted records\n";
  }
  if (m_evictedEntries.size() != m_evictedGuidAndCache.size()) {
    problems += "m_evictedEntries and m_evictedGuidAndCache differ in size\n";
  }
  return problems;
}

}  // namespace kelvra::caching

// Entries of the in-memory caches.
#include "main/utility/CacheEntry.h"

#include "main/utility/KelCacheData.h"

KelCacheData::~KelCacheData() = default;

namespace CacheHelpers {

std::atomic<unsigned int> Entry::s_guid{0};

// Unsigned arithmetic: when the counter returns 0xFFFFFFFF the id is 0.
Entry::Entry(RefCntPtr<RefCntObject> data, uint64_t clock)
    : m_id(s_guid.fetch_add(1, std::memory_order_seq_cst) + 1u), m_data(std::move(data)), m_clock(clock) {}

}  // namespace CacheHelpers

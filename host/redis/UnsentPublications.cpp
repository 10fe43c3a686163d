#include "host/redis/UnsentPublications.h"

#include <iterator>
#include <utility>

namespace kelvra::caching {

bool UnsentPublications::Keep(Publication publication) {
  TMutexLock lock(m_mutex);
  m_kept.push_back(std::move(publication));
  const bool room = m_kept.size() <= kCapacity;
  DropOldestBeyondCapacityLocked();
  return room;
}

std::deque<UnsentPublications::Publication> UnsentPublications::TakeAll() {
  std::deque<Publication> taken;
  TMutexLock lock(m_mutex);
  taken.swap(m_kept);
  m_size.store(0, std::memory_order_relaxed);
  return taken;
}

void UnsentPublications::PutBack(std::deque<Publication> unsent) {
  if (unsent.empty()) return;
  TMutexLock lock(m_mutex);
  m_kept.insert(m_kept.begin(), std::make_move_iterator(unsent.begin()), std::make_move_iterator(unsent.end()));
  DropOldestBeyondCapacityLocked();
}

void UnsentPublications::DropOldestBeyondCapacityLocked() {
  while (m_kept.size() > kCapacity) m_kept.pop_front();
  m_size.store(m_kept.size(), std::memory_order_relaxed);
}

}  // namespace kelvra::caching

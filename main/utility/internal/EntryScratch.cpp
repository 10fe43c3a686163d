#include "main/utility/internal/EntryScratch.h"

#include <memory>
#include <utility>

namespace CacheHelpers::internal {

// The calling thread's buffers, one per nesting depth.
struct ScratchPool {
  // Vectors that grew past this many entries are released after use.
  static constexpr size_t kKeptCapacity = 1024;

  // Each vector on its own, so that adding a deeper one never moves those
  // in use.
  std::vector<std::unique_ptr<std::vector<Entry>>> buffers;
  size_t depth = 0;  // buffers [0, depth) are borrowed

  std::vector<Entry>& Borrow() {
    if (depth == buffers.size()) buffers.push_back(std::make_unique<std::vector<Entry>>());
    return *buffers[depth++];
  }
  // Clearing may free cached objects, whose destructors may use a cache on
  // this thread again: the buffer stays counted as borrowed until it is
  // empty, so such a use borrows a deeper one.
  void GiveBack(std::vector<Entry>& buffer) {
    if (buffer.capacity() > kKeptCapacity) {
      std::vector<Entry>().swap(buffer);
    } else {
      buffer.clear();
    }
    --depth;
  }
};

namespace {

// The pool is reached through a plain pointer, which needs no initialisation
// check on each access (a thread_local object with a constructor does); its
// owner, touched once per thread, frees it when the thread ends.
thread_local ScratchPool* t_pool = nullptr;
// Set once the owner has freed the pool. A thread-local object destroyed
// after it (one made earlier in the thread) may still use a cache; its
// buffers are then its own, so nothing is made that no one would free.
thread_local bool t_poolGone = false;

struct PoolOwner {
  ~PoolOwner() {
    pool.reset();
    t_pool = nullptr;
    t_poolGone = true;
  }
  std::unique_ptr<ScratchPool> pool;
};
thread_local PoolOwner t_poolOwner;

ScratchPool& ThisThreadsPool() {
  if (t_pool == nullptr) {
    // The first use of the owner registers its destructor for this thread.
    t_poolOwner.pool = std::make_unique<ScratchPool>();
    t_pool = t_poolOwner.pool.get();
  }
  return *t_pool;
}

}  // namespace

std::vector<Entry>* EntryScratch::Spill() {
  if (m_spill == nullptr) {
    if (t_poolGone) {
      m_own = std::make_unique<std::vector<Entry>>();
      m_spill = m_own.get();
    } else {
      m_pool = &ThisThreadsPool();
      m_spill = &m_pool->Borrow();
    }
    // From here the destructor gives the vector back; the inline copies stay
    // counted until they have moved, which cannot fail once there is room.
    m_spill->reserve(2 * kInline);
    for (size_t i = 0; i < m_size; ++i) m_spill->push_back(std::move(*InlineAt(i)));
    DestroyInline();
  }
  return m_spill;
}

void EntryScratch::DestroyInline() {
  for (size_t i = 0; i < m_size; ++i) InlineAt(i)->~Entry();
  m_size = 0;
}

void EntryScratch::Release() {
  DestroyInline();
  if (m_spill == nullptr) return;
  std::vector<Entry>* spill = std::exchange(m_spill, nullptr);
  if (m_pool != nullptr) {
    m_pool->GiveBack(*spill);
  } else {
    // Cleared before it goes, for the reason GiveBack gives.
    spill->clear();
    m_own.reset();
  }
}

}  // namespace CacheHelpers::internal

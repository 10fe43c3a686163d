#include "host/InitOnce.h"

#include <memory>

#include "host/Errors.h"
#include "host/TConditionVariable.h"

namespace {

constexpr int kEmpty = 0;
constexpr int kCreating = 1;
constexpr int kDone = 2;

// One kept result. Nodes form a list that only grows, so keeping a result
// needs no allocation under the lock (and cannot fail there).
struct KeptResult {
  boost::any m_held;
  KeptResult* m_next = nullptr;
};

// Process-wide state of InitOnce. Thread-safe: m_mutex guards every slot's
// m_state and m_creator and the m_kept list; m_changed is signalled whenever a
// slot leaves kCreating. Creation functions run without m_mutex.
//
// Never destroyed, so the kept objects live until the process ends and
// nothing depends on the order in which static objects go at exit.
struct InitOnceRegistry {
  TMutex m_mutex;
  TConditionVariable m_changed;
  KeptResult* m_kept KELCACHE_GUARDED_BY(m_mutex) = nullptr;
};

InitOnceRegistry& Registry() {
  static InitOnceRegistry* const s_registry = new InitOnceRegistry();
  return *s_registry;
}

// Names the calling thread (see m_creator).
thread_local const char t_threadMarker = 0;

}  // namespace

void* InitOnce(InitOnceSlot& slot, boost::any (*create)(void* context), void* context,
               void* (*extract)(boost::any& held)) {
  if (void* ready = slot.m_pointer.load(std::memory_order_acquire)) return ready;
  if (create == nullptr) ThrowLogicException("host/InitOnce", __LINE__, "create");
  if (extract == nullptr) ThrowLogicException("host/InitOnce", __LINE__, "extract");

  InitOnceRegistry& registry = Registry();
  {
    TMutexLock lock(registry.m_mutex);
    while (slot.m_state == kCreating) {
      if (slot.m_creator == &t_threadMarker) {
        lock.Unlock();
        ThrowLogicException("host/InitOnce", __LINE__, "slot.m_creator != this thread");
      }
      registry.m_changed.Wait(lock);
    }
    if (slot.m_state == kDone) return slot.m_pointer.load(std::memory_order_acquire);
    slot.m_state = kCreating;
    slot.m_creator = &t_threadMarker;
  }

  // Create outside the lock: creation may be slow and may use other slots.
  std::unique_ptr<KeptResult> kept;
  void* pointer = nullptr;
  try {
    kept = std::make_unique<KeptResult>();
    kept->m_held = create(context);
    // The node is on the heap and is never moved, so addresses inside the any
    // stay valid.
    pointer = extract(kept->m_held);
  } catch (...) {
    {
      TMutexLock lock(registry.m_mutex);
      slot.m_state = kEmpty;
      slot.m_creator = nullptr;
    }
    registry.m_changed.NotifyAll();
    // The failed result (if any) is destroyed here, outside the lock.
    throw;
  }

  {
    TMutexLock lock(registry.m_mutex);
    kept->m_next = registry.m_kept;
    registry.m_kept = kept.release();
    slot.m_pointer.store(pointer, std::memory_order_release);
    slot.m_state = kDone;
    slot.m_creator = nullptr;
  }
  registry.m_changed.NotifyAll();
  return pointer;
}

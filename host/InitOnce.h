// InitOnce: once-only creation of process-wide objects (singletons).
//
// A slot (InitOnceSlot, usually a function-local or namespace static) names
// one object. The first call of InitOnce for a slot runs the creation function
// on the context; the boost::any that it returns (normally holding a
// std::shared_ptr to the object) is kept for the rest of the process and never
// destroyed, so the object outlives every static destructor at exit. The slot
// then remembers the pointer that the extraction function takes out of the
// kept any, and every later call returns that pointer.
//
//   static InitOnceSlot s_slot;
//   Widget* widget = InitOnceShared<Widget>(s_slot, [] { return std::make_shared<Widget>(); });
//
// Rules:
//   - Thread-safe. When several threads ask for one slot at once, one runs the
//     creation function and the others wait for it; all get the same pointer.
//   - If the creation (or extraction) function throws, the exception reaches
//     the caller that ran it, nothing is kept, and the next call (also one
//     that was waiting) tries again.
//   - After creation a call costs one acquire load.
//   - The creation function runs without any InitOnce lock held, so it may
//     use InitOnce for other slots. Asking for the same slot again from
//     inside its own creation is misuse and raises LogicException.
//   - A slot is used with one kind of extraction: InitOnceShared stores the
//     object's address, InitOnceSharedPtr the address of the kept shared_ptr.
#pragma once

#include <atomic>
#include <boost/any.hpp>
#include <memory>
#include <type_traits>
#include <utility>

#include "host/Export.h"

// The state of one once-only object. Constant-initialised, so a static slot
// is ready before any code runs. Its members belong to InitOnce.
struct InitOnceSlot {
  constexpr InitOnceSlot() = default;
  InitOnceSlot(const InitOnceSlot&) = delete;
  InitOnceSlot& operator=(const InitOnceSlot&) = delete;

  // The extracted pointer, published with release once creation is done.
  std::atomic<void*> m_pointer{nullptr};
  // Guarded by InitOnce's process-wide mutex: 0 empty, 1 creating, 2 done.
  int m_state = 0;
  // The thread that is creating (a per-thread marker), to catch recursion.
  const void* m_creator = nullptr;
};

// Runs create(context) once for the slot (see above) and returns the pointer
// that extract(kept any) gave. The any passed to extract is the kept one and
// never moves, so extract may return an address inside it. A null create or
// extract is refused with a logic exception ("create", "extract") before
// the slot is claimed.
KELCACHE_EXPORT void* InitOnce(InitOnceSlot& slot, boost::any (*create)(void* context), void* context,
                               void* (*extract)(boost::any& held));

namespace initonce_detail {

template <class T, class F>
boost::any CreateShared(void* context) {
  auto& make = *static_cast<std::remove_reference_t<F>*>(context);
  return boost::any(std::shared_ptr<T>(make()));
}

template <class T>
void* ExtractObject(boost::any& held) {
  return boost::any_cast<std::shared_ptr<T>&>(held).get();
}

template <class T>
void* ExtractSharedPtr(boost::any& held) {
  return &boost::any_cast<std::shared_ptr<T>&>(held);
}

template <class F>
void* AsContext(F& make) {
  return const_cast<void*>(static_cast<const void*>(std::addressof(make)));
}

}  // namespace initonce_detail

// The object of the slot, made on the first call by makeSharedPtr() (which
// returns a std::shared_ptr<T> or one convertible to it).
template <class T, class F>
T* InitOnceShared(InitOnceSlot& slot, F&& makeSharedPtr) {
  if (void* ready = slot.m_pointer.load(std::memory_order_acquire)) return static_cast<T*>(ready);
  return static_cast<T*>(InitOnce(slot, &initonce_detail::CreateShared<T, F>,
                                  initonce_detail::AsContext(makeSharedPtr),
                                  &initonce_detail::ExtractObject<T>));
}

// As InitOnceShared, but gives the kept shared_ptr itself, for callers that
// hand out shared or weak references to the object.
template <class T, class F>
const std::shared_ptr<T>& InitOnceSharedPtr(InitOnceSlot& slot, F&& makeSharedPtr) {
  void* ready = slot.m_pointer.load(std::memory_order_acquire);
  if (ready == nullptr) {
    ready = InitOnce(slot, &initonce_detail::CreateShared<T, F>, initonce_detail::AsContext(makeSharedPtr),
                     &initonce_detail::ExtractSharedPtr<T>);
  }
  return *static_cast<const std::shared_ptr<T>*>(ready);
}

// RefCntObject and RefCntPtr: intrusive, atomic reference counting.
//
// RefCntObject is the base of every reference-counted object. AddReference and
// RemoveReference change the count atomically; RemoveReference destroys the
// object when the last reference goes. Objects start with a count of 0: the
// first RefCntPtr that takes them holds the first reference.
//
// RefCntPtr<T> holds one reference to a T (null means no object). It is
// boost::intrusive_ptr over RefCntObject's count: copying adds a reference,
// destruction releases one; boost::dynamic_pointer_cast and
// boost::static_pointer_cast convert between types. The second template
// argument names the counting base and is RefCntObject for every type here.
//
// Thread rules: the count is atomic, so references to one object may be taken
// and released on any threads at once. A RefCntPtr variable itself is a plain
// value (one writer at a time). The object's own state is its own business.
#pragma once

#include <atomic>
#include <boost/intrusive_ptr.hpp>
#include <cstdint>

#include "host/Export.h"

class KELCACHE_EXPORT RefCntObject {
 public:
  RefCntObject() = default;
  // A copy is a new object: it starts without references.
  RefCntObject(const RefCntObject&) {}
  RefCntObject& operator=(const RefCntObject&) { return *this; }

  void AddReference() const { m_refCount.fetch_add(1, std::memory_order_relaxed); }
  // Releases one reference and destroys the object when it was the last.
  // Returns the references left at that moment (0: the object is gone); the
  // count may change at once on other threads, so it is for diagnostics.
  int64_t RemoveReference() const {
    const int64_t left = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  // For diagnostics and tests only: the count may change at any moment.
  int64_t GetReferenceCount() const { return m_refCount.load(std::memory_order_acquire); }

 protected:
  virtual ~RefCntObject();

 private:
  mutable std::atomic<int64_t> m_refCount{0};
};

inline void intrusive_ptr_add_ref(const RefCntObject* object) {
  object->AddReference();
}
inline void intrusive_ptr_release(const RefCntObject* object) {
  object->RemoveReference();
}

template <class T, class CountingBase = RefCntObject>
using RefCntPtr = boost::intrusive_ptr<T>;

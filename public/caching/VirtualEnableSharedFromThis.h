// A shared-from-this base for classes with several interfaces.
//
// std::enable_shared_from_this works for one base only. Every interface that
// derives from virtual_enable_shared_from_this<I> shares one virtual base,
// virtual_enable_shared_from_this_base, and with it one weak self-reference:
// an object owned by a std::shared_ptr can hand out shared pointers to itself
// from any of its interfaces. shared_from_this() takes the self-reference and
// casts it dynamically to the wanted type; it raises std::bad_weak_ptr when no
// std::shared_ptr owns the object (any more).
//
// Thread rules: those of std::enable_shared_from_this.
#pragma once

#include <memory>

#include "host/Export.h"

namespace kelvra::caching {

struct KELCACHE_EXPORT virtual_enable_shared_from_this_base
    : std::enable_shared_from_this<virtual_enable_shared_from_this_base> {
  virtual ~virtual_enable_shared_from_this_base() = default;
};

template <class T>
struct virtual_enable_shared_from_this : virtual virtual_enable_shared_from_this_base {
  std::shared_ptr<T> shared_from_this() {
    return std::dynamic_pointer_cast<T>(virtual_enable_shared_from_this_base::shared_from_this());
  }
  std::shared_ptr<const T> shared_from_this() const {
    return std::dynamic_pointer_cast<const T>(virtual_enable_shared_from_this_base::shared_from_this());
  }
};

}  // namespace kelvra::caching

// RedisValuePool: byte buffers for the values that Redis replies carry,
// recycled instead of freed.
//
// With pipelining one thread reads the replies of many callers, so the
// buffers of loaded values are allocated by one thread and freed by others.
// glibc gives a large freed buffer back to the allocating thread's heap and,
// once more than 128 KiB lie free at its top, returns the memory to the
// system (madvise), so a burst of large values means page faults and TLB
// shootdowns on every burst: 64 KiB loads by eight callers ran several times
// slower than by one. Recycling the buffers of large values avoids that.
//
// A value comes as the std::shared_ptr<std::vector<uint8_t>> the connections
// return; its deleter puts the vector (emptied, its capacity kept) back into
// the pool, from whatever thread lets go of it last. A buffer is reused only
// for a value of at least half its capacity, since hosts keep values and
// count them by their size. Small values (below
// kPooledMin) are plain allocations, which the allocator serves well, and so
// are values above kMaxBufferBytes. The pool keeps at most kMaxPoolBytes of
// buffers; beyond that its oldest buffers are freed to make room.
//
// Lifetime: one process-wide pool, created on first use and never destroyed,
// so a value may outlive everything else.
//
// Thread rules: thread-safe; one mutex (in the .cpp) guards the idle buffers
// and their byte count, and is a leaf lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/Export.h"

namespace kelvra::caching {

class KELCACHE_EXPORT RedisValuePool {
 public:
  static constexpr size_t kPooledMin = 16 * 1024;
  static constexpr size_t kMaxBufferBytes = 1024 * 1024;
  static constexpr size_t kMaxPoolBytes = 16 * 1024 * 1024;

  // A value holding a copy of `size` bytes at `data`.
  static std::shared_ptr<std::vector<uint8_t>> MakeValue(const char* data, size_t size);
  // How many buffers wait in the pool now (for tests).
  static size_t IdleBuffers();
};

}  // namespace kelvra::caching

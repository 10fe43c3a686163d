// ValueBufferPool: byte buffers for loaded values (Redis replies, disk
// entries), recycled instead of freed.
//
// Why recycle. With pipelining one thread reads the replies of many callers,
// and a disk load runs on a worker thread, so the buffers of loaded values
// are allocated by one thread and freed by others. glibc gives a large freed
// buffer back to the allocating thread's heap and, once more than 128 KiB lie
// free at its top, returns the memory to the system (madvise), so a burst of
// large values means page faults and TLB shootdowns on every burst: 64 KiB
// Redis loads by eight callers ran several times slower than by one. And a
// std::vector<uint8_t> made at its size is filled with zeros first, which a
// value about to be read into it does not need: a recycled buffer keeps its
// size, so a buffer of a value of the same size or smaller is handed out
// without being written at all (at 1 MiB the zeros cost about a fifth of a
// read).
//
// A value comes as the std::shared_ptr<std::vector<uint8_t>> the stores
// return; its deleter puts the vector (its size and capacity kept) back into
// the pool, from whatever thread lets go of it last. A buffer is reused only
// for a value of at least half its capacity, since hosts keep values and
// count them by their size. Small values (below kPooledMin) are plain
// allocations, which the allocator serves well, and so are values above
// kMaxBufferBytes. A buffer its holder emptied or shrank below kPooledMin
// (a value moved out of its vector, say) is freed, not kept. The pool keeps
// at most kMaxPoolBytes of buffers; beyond that its oldest buffers are freed
// to make room.
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

class KELCACHE_EXPORT ValueBufferPool {
 public:
  static constexpr size_t kPooledMin = 16 * 1024;
  static constexpr size_t kMaxBufferBytes = 1024 * 1024;
  static constexpr size_t kMaxPoolBytes = 16 * 1024 * 1024;

  // A value holding a copy of `size` bytes at `data`.
  static std::shared_ptr<std::vector<uint8_t>> MakeValue(const char* data, size_t size);
  // A value of `size` bytes that the caller is to overwrite: their contents
  // are unspecified (a recycled buffer's old bytes, or zeros). It may shrink
  // it afterwards (resize), as for a read that came up short.
  static std::shared_ptr<std::vector<uint8_t>> MakeBuffer(size_t size);
  // How many buffers wait in the pool now (for tests).
  static size_t IdleBuffers();
};

#include "host/ValueBufferPool.h"

#include <algorithm>
#include <new>

#include "host/ThreadAnnotations.h"
#include "host/TMutex.h"

namespace {

using Buffer = std::vector<uint8_t>;

// Buffers tried per request: the most recently returned ones, since the
// values of one workload mostly have similar sizes.
constexpr size_t kSearched = 8;

class Pool {
 public:
  std::unique_ptr<Buffer> Take(size_t size) {
    TMutexLock lock(m_mutex);
    size_t searched = 0;
    for (size_t i = m_idle.size(); i-- > 0 && searched++ < kSearched;) {
      const size_t capacity = m_idle[i]->capacity();
      // A value holds at most twice its bytes: the host keeps values, and
      // counts them by their size.
      if (capacity >= size && capacity / 2 <= size) {
        std::unique_ptr<Buffer> buffer = std::move(m_idle[i]);
        m_idle.erase(m_idle.begin() + static_cast<std::ptrdiff_t>(i));
        m_bytes -= buffer->capacity();
        return buffer;
      }
    }
    return nullptr;
  }

  // Keeps `buffer` for reuse, or frees it (outside the lock) when no request
  // could take it: too large, or emptied or shrunk below the pooled sizes by
  // its holder (a value moved out of its vector leaves no capacity at all,
  // and such buffers, kept, would fill the searched end of the pool). A full
  // pool makes room by letting its oldest buffers go: buffers serve only
  // values of at least half their capacity, so ones that no value of the
  // present workload fits must not hold the pool's room for good.
  void Give(Buffer* buffer) noexcept {
    std::unique_ptr<Buffer> owned(buffer);
    const size_t capacity = owned->capacity();
    // Its size stays: a later MakeBuffer of that size or less writes nothing.
    if (capacity < ValueBufferPool::kPooledMin || capacity > ValueBufferPool::kMaxBufferBytes) return;
    std::vector<std::unique_ptr<Buffer>> evicted;  // freed after the lock
    TMutexLock lock(m_mutex);
    try {
      size_t oldest = 0;
      size_t freed = 0;
      while (m_bytes - freed + capacity > ValueBufferPool::kMaxPoolBytes && oldest < m_idle.size()) {
        freed += m_idle[oldest++]->capacity();
      }
      evicted.reserve(oldest);
      m_idle.push_back(std::move(owned));
      for (size_t i = 0; i < oldest; ++i) evicted.push_back(std::move(m_idle[i]));
      m_idle.erase(m_idle.begin(), m_idle.begin() + static_cast<std::ptrdiff_t>(oldest));
      m_bytes = m_bytes - freed + capacity;
    } catch (const std::bad_alloc&) {
      // No room to keep it: it is freed (`owned`, if it was not moved).
    }
  }

  size_t Idle() const {
    TMutexLock lock(m_mutex);
    return m_idle.size();
  }

 private:
  mutable TMutex m_mutex;
  std::vector<std::unique_ptr<Buffer>> m_idle KELCACHE_GUARDED_BY(m_mutex);  // most recent last
  size_t m_bytes KELCACHE_GUARDED_BY(m_mutex) = 0;                           // their capacities
};

// Never destroyed: values returned to it may outlive every static.
Pool& ThePool() {
  static Pool* s_pool = new Pool();
  return *s_pool;
}

// A buffer for a value of `size` bytes: recycled when one fits, else new
// (its capacity exactly `size`). Its size is left as it was.
std::unique_ptr<Buffer> TakeBuffer(size_t size) {
  std::unique_ptr<Buffer> buffer = ThePool().Take(size);
  if (!buffer) {
    buffer = std::make_unique<Buffer>();
    buffer->reserve(size);
  }
  return buffer;
}

std::shared_ptr<Buffer> Pooled(std::unique_ptr<Buffer> buffer) {
  return std::shared_ptr<Buffer>(buffer.release(), [](Buffer* returned) { ThePool().Give(returned); });
}

bool IsPooledSize(size_t size) {
  return size >= ValueBufferPool::kPooledMin && size <= ValueBufferPool::kMaxBufferBytes;
}

}  // namespace

std::shared_ptr<std::vector<uint8_t>> ValueBufferPool::MakeValue(const char* data, size_t size) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  if (!IsPooledSize(size)) return std::make_shared<Buffer>(bytes, bytes + size);
  std::unique_ptr<Buffer> buffer = TakeBuffer(size);
  buffer->assign(bytes, bytes + size);
  return Pooled(std::move(buffer));
}

std::shared_ptr<std::vector<uint8_t>> ValueBufferPool::MakeBuffer(size_t size) {
  if (!IsPooledSize(size)) return std::make_shared<Buffer>(size);
  std::unique_ptr<Buffer> buffer = TakeBuffer(size);
  buffer->resize(size);  // writes only past the recycled buffer's old size
  return Pooled(std::move(buffer));
}

size_t ValueBufferPool::IdleBuffers() {
  return ThePool().Idle();
}

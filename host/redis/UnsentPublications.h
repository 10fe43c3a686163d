// UnsentPublications: publications that failed, kept to be sent again.
//
// A coherence message that never reaches the server leaves the other
// processes' entries of its key stale, and nothing else would tell them: when
// no subscriber lost its connection (a server that paused its writes for a
// moment, a user who may not publish, a PUBLISH that timed out on a slow
// server), no reconnect flush follows either. So a publication that failed
// is kept (the newest kCapacity of them) and sent again, oldest first, after
// the next publication that succeeds (or when the subscriber's server
// answers a PING). Sending a coherence message late, or twice, is harmless:
// a receiver judges it by its value's time stamp, and a message of an older
// value leaves newer entries alone.
//
// Thread rules: thread-safe; m_mutex guards m_kept and is a leaf lock;
// m_size mirrors m_kept's size for Empty().
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <string>

#include "host/TMutex.h"
#include "host/ThreadAnnotations.h"

namespace kelvra::caching {

class UnsentPublications {
 public:
  static constexpr size_t kCapacity = 1024;

  struct Publication {
    std::string channel;
    std::string message;
  };

  // Keeps a publication that failed. False when the oldest kept one had to
  // go to make room (it is lost).
  bool Keep(Publication publication);
  // Whether nothing is kept: a read without the lock, for the publications
  // that succeed, which would otherwise take and give back an empty list
  // each time. One kept meanwhile waits for the next success.
  bool Empty() const { return m_size.load(std::memory_order_relaxed) == 0; }
  // Takes every kept publication, oldest first.
  std::deque<Publication> TakeAll();
  // Gives back, oldest first, what TakeAll took and could not be sent; it
  // goes before what was kept meanwhile (the oldest go when there is no
  // room).
  void PutBack(std::deque<Publication> unsent);

 private:
  // Drops the oldest kept publications beyond kCapacity, and updates
  // m_size, which every change of m_kept ends with.
  void DropOldestBeyondCapacityLocked() KELCACHE_REQUIRES(m_mutex);

  TMutex m_mutex;
  std::deque<Publication> m_kept KELCACHE_GUARDED_BY(m_mutex);
  std::atomic<size_t> m_size{0};  // m_kept.size(), written under m_mutex
};

}  // namespace kelvra::caching

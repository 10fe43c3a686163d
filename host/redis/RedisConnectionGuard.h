// RedisConnectionGuard: exclusive use of one pooled Redis connection for as
// long as the guard lives; destroying the guard gives the connection back to
// its pool (or drops it when it broke, so a later request builds a new one).
//
//   if (auto guard = RedisConnectionPool::FindAndLockPooledConnection(key)) {
//     auto value = guard->GetConnection().Get(physicalKey);
//   }  // the connection goes back here
//
// Thread rules: a guard and its connection are used by one thread at a time
// (they may move between threads). A guard keeps its server's pool alive, so
// it may outlive a RedisConnectionPool::Reset; its connection then returns to
// the retired pool and is closed with it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "host/Export.h"
#include "host/redis/RedisConnection.h"

namespace kelvra::caching {

// What a guard gives its connection back to: the pool of one server
// (RedisServerPool) or of a cluster (RedisClusterPool).
class KELCACHE_EXPORT IRedisConnectionOwner {
 public:
  virtual ~IRedisConnectionOwner();
  // Takes a connection back; never raises.
  virtual void Release(std::unique_ptr<RedisConnection> connection) noexcept = 0;
};

// Sets *whyNot, when given, to why a pool gave no connection: `reason` is
// the text, or a function that makes it (called only when it is wanted).
// Never raises (the pools never do): a reason that cannot be made is left
// empty.
template <class Reason>
void SayWhyNoConnection(std::string* whyNot, const Reason& reason) noexcept {
  if (whyNot == nullptr) return;
  try {
    if constexpr (std::is_invocable_v<const Reason&>) {
      *whyNot = reason();
    } else {
      whyNot->assign(std::string_view(reason));
    }
  } catch (...) {
    whyNot->clear();
  }
}

class KELCACHE_EXPORT RedisConnectionGuard {
 public:
  // Made by the pool. Takes the connection; gives it back to `pool` on
  // destruction. A null pool or connection is refused with a logic
  // exception ("pool", "connection").
  RedisConnectionGuard(std::shared_ptr<IRedisConnectionOwner> pool, std::unique_ptr<RedisConnection> connection);
  ~RedisConnectionGuard();
  RedisConnectionGuard(const RedisConnectionGuard&) = delete;
  RedisConnectionGuard& operator=(const RedisConnectionGuard&) = delete;

  // The guarded connection, usable until the guard is destroyed.
  RedisConnection& GetConnection() { return *m_connection; }

 private:
  std::shared_ptr<IRedisConnectionOwner> m_pool;
  std::unique_ptr<RedisConnection> m_connection;
};

}  // namespace kelvra::caching

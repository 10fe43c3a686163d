// SessionActorInfo: the site and the user for whom the current thread works,
// as their luids (TString; empty when the thread has none).
//
//   SessionActorInfo actor = SessionActorInfo::GetSessionActorInfoFromThread();
//   actor.GetSiteLuid(); actor.GetUserLuid();
//
// The host sets the actor of a thread with ScopedThreadActor for the time the
// thread serves one request; the earlier actor comes back when it ends.
//
// Thread rules: the actor is per thread (thread-local); a thread sees only
// the actor it set itself. A SessionActorInfo is a plain value. A
// ScopedThreadActor must be destroyed on the thread that made it, in reverse
// order of creation.
#pragma once

#include <boost/core/noncopyable.hpp>

#include "host/Export.h"
#include "host/TString.h"

class KELCACHE_EXPORT SessionActorInfo {
 public:
  SessionActorInfo() = default;
  SessionActorInfo(TString siteLuid, TString userLuid)
      : m_siteLuid(std::move(siteLuid)), m_userLuid(std::move(userLuid)) {}

  const TString& GetSiteLuid() const { return m_siteLuid; }
  const TString& GetUserLuid() const { return m_userLuid; }

  // A copy of the current thread's actor; both luids empty when none is set.
  static SessionActorInfo GetSessionActorInfoFromThread();

  // Makes (siteLuid, userLuid) the current thread's actor until destroyed.
  class ScopedThreadActor;

 private:
  TString m_siteLuid;
  TString m_userLuid;
};

class KELCACHE_EXPORT SessionActorInfo::ScopedThreadActor : boost::noncopyable {
 public:
  ScopedThreadActor(TString siteLuid, TString userLuid);
  ~ScopedThreadActor();

 private:
  SessionActorInfo m_previous;
};

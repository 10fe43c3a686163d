#include "host/SessionActorInfo.h"

namespace {

// The current thread's actor; empty until a ScopedThreadActor sets one.
thread_local SessionActorInfo t_actor;

}  // namespace

SessionActorInfo SessionActorInfo::GetSessionActorInfoFromThread() {
  return t_actor;
}

SessionActorInfo::ScopedThreadActor::ScopedThreadActor(TString siteLuid, TString userLuid)
    : m_previous(std::move(t_actor)) {
  t_actor = SessionActorInfo(std::move(siteLuid), std::move(userLuid));
}

SessionActorInfo::ScopedThreadActor::~ScopedThreadActor() {
  t_actor = std::move(m_previous);
}

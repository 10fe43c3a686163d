#include "public/caching/CascadeInvalidatorAggregator.h"

#include <utility>

#include "host/AppConfig.h"
#include "host/AppOptions.h"
#include "host/Errors.h"
#include "host/FirstFailure.h"
#include "host/InitOnce.h"
#include "host/KelvraTls.h"
#include "host/LockGuards.h"
#include "host/TFormatString.h"
#include "host/TLog.h"
#include "public/caching/CacheSynchronizationLogLevel.h"
#include "public/caching/CascadeInvalidatorHolder.h"

namespace kelvra::caching {

namespace {

constexpr const char* kSource = "main/caching/CascadeInvalidatorAggregator";

// Writes one optional line at the cache-synchronisation severity; the text is
// built only when the line would be written.
template <class MakeText>
void LogSync(MakeText&& makeText) {
  TLog::NonErrorSeverity severity = GetCacheSynchronizationLogLevel();
  if (LoggerAcceptsSeverity(severity, 52)) LogMessage(severity, TString(makeText()));
}

// For the lines written once a scope's handlers were taken out of it: a line
// that cannot be made (out of memory) must not keep them from being told.
template <class MakeText>
void LogSyncQuietly(MakeText&& makeText) noexcept {
  try {
    LogSync(std::forward<MakeText>(makeText));
  } catch (...) {
  }
}

InitOnceSlot g_aggregatorSlot;

}  // namespace

// --- aggregator -------------------------------------------------------------

CascadeInvalidatorAggregator& CascadeInvalidatorAggregator::Instance() {
  return *InitOnceShared<CascadeInvalidatorAggregator>(
      g_aggregatorSlot, [] { return std::make_shared<CascadeInvalidatorAggregator>(PassKey{}); });
}

CascadeInvalidatorAggregator* CascadeInvalidatorAggregator::TryGetSingleton() {
  if (!kelvra::appoptions::SyncCaches()) return nullptr;
  return &Instance();
}

void CascadeInvalidatorAggregator::ResetForTest() {
  if (!AppConfig::GetInstance().GetUnitTestFlag()) {
    ThrowLogicException(kSource, __LINE__, "AppConfig::GetInstance().GetUnitTestFlag()");
  }
  std::unordered_set<std::shared_ptr<Scope>> released;
  {
    CascadeInvalidatorAggregator& aggregator = Instance();
    TWriteLockGuard guard(aggregator.m_mutex);
    released.swap(aggregator.m_scopes);
  }
  // The scopes are released here, outside the mutex (their destructors log).
}

size_t CascadeInvalidatorAggregator::GetScopeCount() {
  TReadLockGuard guard(m_mutex);
  return m_scopes.size();
}

void CascadeInvalidatorAggregator::OnScopeHasHandler(std::shared_ptr<Scope> scope) {
  if (!scope) ThrowLogicException("main/caching/CascadeInvalidatorAggregator", __LINE__, "scope");
  const void* address = scope.get();
  size_t count = 0;
  {
    TWriteLockGuard guard(m_mutex);
    // OnDirty may have made the scope dirty between its AddHandler and this
    // registration; the set holds only scopes that are not dirty. The dirty
    // flag is set under this mutex, so the test is exact.
    if (scope->IsDirty()) return;
    m_scopes.insert(std::move(scope));
    count = m_scopes.size();
  }
  LogSync([&] {
    return TFormatString(u"CascadeInvalidatorAggregator OnScopeHasHandler inserted Scope=%1 numScopes=%2")
        .arg(TString::pointer(address))
        .arg(static_cast<unsigned long long>(count));
  });
}

void CascadeInvalidatorAggregator::OnEntryUsed(unsigned int id, const ICoherentCache&) {
  std::shared_ptr<IInvalidatorAggregatorScope> current =
      KelvraTls::GetThreadContext().GetCurrentQueryJobScope();
  if (!current) return;
  auto* scope = dynamic_cast<Scope*>(current.get());
  if (scope == nullptr) ThrowLogicException(kSource, __LINE__, "scope");
  LogSync([&] {
    return TFormatString(u"CascadeInvalidatorAggregator OnEntryUsed scope=%1 guid=%2")
        .arg(TString::pointer(scope))
        .arg(id);
  });
  if (scope->IsEnded()) return;
  scope->RecordUse(id);
}

void CascadeInvalidatorAggregator::OnDirty(const std::vector<unsigned int>& ids, const ICoherentCache&) {
  if (ids.empty()) ThrowLogicException(kSource, __LINE__, "!guids.empty()");
  for (unsigned int id : ids) {
    LogSync([&] { return TFormatString(u"CascadeInvalidatorAggregator OnDirty guid=%1").arg(id); });
  }
  struct DirtyScope {
    std::shared_ptr<Scope> scope;
    Scope::HandlerSet handlers;
  };
  std::vector<DirtyScope> dirty;
  size_t remaining = 0;
  {
    TWriteLockGuard guard(m_mutex);
    dirty.reserve(m_scopes.size());
    for (auto it = m_scopes.begin(); it != m_scopes.end();) {
      Scope::HandlerSet handlers;
      if ((*it)->BecomeDirtyIfUsed(ids, handlers)) {
        dirty.push_back({*it, std::move(handlers)});
        it = m_scopes.erase(it);
      } else {
        ++it;
      }
    }
    remaining = m_scopes.size();
  }
  // Handlers run with no aggregator or scope mutex held, so they may call back.
  for (DirtyScope& record : dirty) {
    for (const std::shared_ptr<IScopeDirtyHandler>& handler : record.handlers)
      record.scope->NotifyHandler(handler);
  }
  LogSync([&] {
    return TFormatString(u"CascadeInvalidatorAggregator OnDirty scopes erased=%1 remaining=%2")
        .arg(static_cast<unsigned long long>(dirty.size()))
        .arg(static_cast<unsigned long long>(remaining));
  });
}

void CascadeInvalidatorAggregator::OnEvicted(const std::vector<unsigned int>& ids, const ICoherentCache&) {
  if (ids.empty()) return;
  for (unsigned int id : ids) {
    LogSync([&] { return TFormatString(u"CascadeInvalidatorAggregator OnEvicted guid=%1").arg(id); });
  }
  TReadLockGuard guard(m_mutex);
  for (const std::shared_ptr<Scope>& scope : m_scopes) scope->ForgetIds(ids);
}

// --- scope ------------------------------------------------------------------

CascadeInvalidatorAggregator::Scope::Scope(CascadeInvalidatorAggregator* aggregator, PassKey)
    : m_aggregator(aggregator) {}

CascadeInvalidatorAggregator::Scope::~Scope() {
  try {
    LogSync([&] {
      return TFormatString(u"CascadeInvalidatorAggregator ~Scope this=%1").arg(TString::pointer(this));
    });
  } catch (const LogicException& e) {
    try {
      TLog::LogCurrentException(TLog::Warn,
                                TString(u"LogicException caught when logging in Scope destructor. Details:") +
                                    TString::fromStdString(e.GetInternalMessage()));
    } catch (...) {
    }
  } catch (...) {
    try {
      TLog::LogCurrentException(TLog::Warn, TString(u"Unknown exception caught when logging in Scope destructor."));
    } catch (...) {
    }
  }
}

void CascadeInvalidatorAggregator::Scope::EndScope() {
  LogSync([&] {
    return TFormatString(u"CascadeInvalidatorAggregator::Scope EndScope this=%1").arg(TString::pointer(this));
  });
  if (m_endedScope.exchange(true)) ThrowLogicException(kSource, __LINE__, "!m_endedScope");
}

void CascadeInvalidatorAggregator::Scope::OnResultUsed() {
  LogSync([&] {
    return TFormatString(u"CascadeInvalidatorAggregator::Scope OnResultUsed this=%1")
        .arg(TString::pointer(this));
  });
  std::shared_ptr<IInvalidatorAggregatorScope> self = shared_from_this();
  // Every invalidator hears of the use, also after one of them raised.
  FirstFailure failures;
  for (ICascadeInvalidator* invalidator : CascadeInvalidatorHolderFactory::GetInstance().GetInvalidators()) {
    if (invalidator != nullptr) failures.Run([&] { invalidator->OnResultUsed(self); });
  }
  failures.RethrowIfAny();
}

void CascadeInvalidatorAggregator::Scope::AddHandler(std::shared_ptr<IScopeDirtyHandler> handler) {
  // A null handler would be called when the scope goes dirty, perhaps much
  // later and on another thread: it is refused here, where the mistake is.
  if (!handler) ThrowLogicException(kSource, __LINE__, "handler");
  bool inserted = false;
  if (!m_dirty.load()) {
    TWriteLockGuard guard(m_mutex);
    if (!m_dirty.load()) {
      m_handlers.insert(handler);
      inserted = true;
    }
  }
  if (!inserted) {
    NotifyHandler(handler);
    return;
  }
  LogSync([&] {
    return TFormatString(u"CascadeInvalidatorAggregator::Scope AddHandler inserted handler=%1")
        .arg(TString::pointer(handler.get()));
  });
  m_aggregator->OnScopeHasHandler(std::dynamic_pointer_cast<Scope>(shared_from_this()));
}

void CascadeInvalidatorAggregator::Scope::RecordUse(unsigned int id) {
  TWriteLockGuard guard(m_mutex);
  m_usedIds.insert(id);
}

void CascadeInvalidatorAggregator::Scope::ForgetIds(const std::vector<unsigned int>& ids) {
  TWriteLockGuard guard(m_mutex);
  for (unsigned int id : ids) m_usedIds.erase(id);
}

bool CascadeInvalidatorAggregator::Scope::BecomeDirtyIfUsed(const std::vector<unsigned int>& ids,
                                                            HandlerSet& handlers) {
  {
    TWriteLockGuard guard(m_mutex);
    if (m_dirty.load()) return false;
    bool used = false;
    for (unsigned int id : ids) {
      if (m_usedIds.count(id) != 0) {
        used = true;
        break;
      }
    }
    if (!used) return false;
    m_dirty.store(true);
    m_usedIds.clear();
    handlers = std::move(m_handlers);
    m_handlers.clear();
  }
  LogSyncQuietly([&] {
    return TFormatString(u"CascadeInvalidatorAggregator::Scope this=%1 is now dirty")
        .arg(TString::pointer(this));
  });
  return true;
}

void CascadeInvalidatorAggregator::Scope::NotifyHandler(const std::shared_ptr<IScopeDirtyHandler>& handler) {
  LogSyncQuietly([&] {
    return TFormatString(u"CascadeInvalidatorAggregator::Scope notify dirty to handler=%1")
        .arg(TString::pointer(handler.get()));
  });
  handler->OnScopeDirty(shared_from_this());
}

// --- opening a scope ---------------------------------------------------------

std::shared_ptr<IInvalidatorAggregatorScope> CascadeInvalidatorAggregator_CreateQueryJobScope() {
  CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton();
  if (aggregator == nullptr) return nullptr;
  auto scope = std::make_shared<CascadeInvalidatorAggregator::Scope>(aggregator,
                                                                     CascadeInvalidatorAggregator::PassKey{});
  KelvraTls::GetThreadContext().SetCurrentQueryJobScope(scope);
  LogSync([&] {
    return TFormatString(u"CascadeInvalidatorAggregator CreateQueryJobScope Scope=%1")
        .arg(TString::pointer(scope.get()));
  });
  return scope;
}

}  // namespace kelvra::caching

// The process-wide registry of cascade invalidators.
//
// The host fills the holder once, at start-up, with one invalidator per
// CascadeInvalidatorType (Initialize). The coherence service and the
// query-job scopes then broadcast to every invalidator it holds
// (GetInvalidators). The holder stores plain pointers and never calls through
// them; the host keeps every invalidator alive for the life of the process.
// An element may be null (no invalidator of that type); callers that walk the
// vector skip null elements.
//
// States: empty (after creation and after ResetForTest) and initialized
// (after Initialize).
//
// Thread rules: no lock. Initialize runs once at start-up, before
// notifications flow: in particular before the coherence service is first
// asked for (RedisPubsub::GetInstance), whose subscriber thread may deliver
// another process's message, and read the vector, at once. Afterwards the
// vector is only read, from any thread.
#pragma once

#include <vector>

#include "host/Export.h"
#include "public/caching/CascadeInvalidator.h"

namespace kelvra::caching {

// The invalidator types, in registration order. What each stands for is the
// host's choice; the holder relies only on the count, End. Unscoped, so that
// End serves as the count where a number is wanted (a vector's size).
enum CascadeInvalidatorType : int {
  QueryJobScopes = 0,  // usually the CascadeInvalidatorAggregator
  QueryResults = 1,
  Presentation = 2,
  HostExtension = 3,
  End = 4,
};

class KELCACHE_EXPORT ICascadeInvalidatorHolder {
 public:
  // Registers the invalidators, one per type in the order of
  // CascadeInvalidatorType. LogicException "Already initialized!" when some
  // are registered already; "Number of invalidators does not match enum!"
  // unless exactly End elements are given. The holder is unchanged on error.
  virtual void Initialize(const std::vector<ICascadeInvalidator*>& invalidators) = 0;
  // Unit tests only (else LogicException
  // "AppConfig::GetInstance().GetUnitTestFlag()"): forgets the invalidators.
  virtual void ResetForTest() = 0;
  // The invalidator of a type, or null when none is registered.
  // LogicException "invalidatorType < CascadeInvalidatorType::End" for a type
  // not below End, and for a negative one (a value cast from an int), which
  // names no element either and would otherwise read outside the list.
  virtual ICascadeInvalidator* GetInvalidator(CascadeInvalidatorType invalidatorType) = 0;
  // The registered invalidators in type order (empty before Initialize).
  virtual const std::vector<ICascadeInvalidator*>& GetInvalidators() = 0;
  virtual ~ICascadeInvalidatorHolder() = default;
};

class KELCACHE_EXPORT CascadeInvalidatorHolderFactory {
 public:
  // The process-wide holder, created empty on the first call and kept until
  // the process ends.
  static ICascadeInvalidatorHolder& GetInstance();
};

}  // namespace kelvra::caching

// The host's options: named boolean and integer settings that tune the
// library (time-outs, thresholds, switches), one accessor function per option.
//
// Every accessor reads the option's current value at each call, so a change
// made at run time is seen by the next read. Whether a change matters depends
// on the caller: some parts of the library read an option once when an object
// is built, others at each use (docs/options.md says which).
//
// Where values come from, in order:
//   1. the built-in default;
//   2. the environment variable KELCACHE_<OptionName>, read once, when the
//      first option is read or set. A value that does not parse is reported on
//      stderr (naming the variable) and the default is kept; an empty value
//      counts as not set;
//   3. run-time changes through SetOption / SetBool / SetInt, and
//      ScopedOptionOverride in tests.
//
// Text forms: booleans "true"/"false", "1"/"0", "on"/"off", "yes"/"no" (any
// case); integers in decimal with an optional sign, within the range of int.
// Surrounding white space is ignored.
//
// Thread rules: every function here may be called from any thread at once.
// Each value is one atomic in a fixed table, so a read is one relaxed load.
#pragma once

#include <boost/core/noncopyable.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "host/Export.h"

namespace kelvra::appoptions {

// --- Accessors (read at each call) -----------------------------------------

// Boolean options.
KELCACHE_EXPORT bool AsyncCacheCoherence();
KELCACHE_EXPORT bool CacheSynchronizationDryRun();
KELCACHE_EXPORT bool CacheSynchronizationFlushOnReconnect();
KELCACHE_EXPORT bool CacheSynchronizationLogging();
KELCACHE_EXPORT bool ExternalCacheDisable();
KELCACHE_EXPORT bool ExternalCacheRedisAlwaysSetEx();
KELCACHE_EXPORT bool ExternalCacheSslTlsEnabled();
KELCACHE_EXPORT bool SyncCaches();

// Integer options.
KELCACHE_EXPORT int AsyncTaskSpinMicroseconds();
KELCACHE_EXPORT int CacheSynchronizationEvictedLifetimeSec();
KELCACHE_EXPORT int CacheSynchronizationMaxEvictedEntries();
KELCACHE_EXPORT int CacheSynchronizationMinimumDeltaSeconds();
KELCACHE_EXPORT int ExternalCacheConcurrencyLimit();
KELCACHE_EXPORT int ExternalCacheConcurrencyTimeoutMs();
KELCACHE_EXPORT int ExternalCacheDiskLockWaitMs();
KELCACHE_EXPORT int ExternalCacheDropTimeoutMs();
KELCACHE_EXPORT int ExternalCacheLowerBoundLatencyMs();
KELCACHE_EXPORT int ExternalCacheRedisAlwaysSetExSec();
KELCACHE_EXPORT int ExternalCacheStoreTimeoutMs();
KELCACHE_EXPORT int ExternalCacheUpperBound2SizeMb();
KELCACHE_EXPORT int ExternalCacheUpperBoundKeySizeB();
KELCACHE_EXPORT int LockDetectionThresholdMs();
KELCACHE_EXPORT int ThreadPoolSize();

// --- Run-time configuration for hosts ---------------------------------------
//
// Option names are the accessor names, matched exactly (case-sensitive).
// Every setter throws std::invalid_argument, and the option is then
// unchanged: for an unknown name (the message names it), a value that does
// not parse (the message names the option and the value), or a type that
// does not match the option (the message names the option and both types).

enum class OptionType { Bool, Int };

// Where the value in force came from: the built-in default, the environment
// variable KELCACHE_<name>, or a run-time change (a setter or an override)
// that left a value other than the one the process started with.
enum class OptionSource { Default, Environment, Override };
// "default", "environment" or "override".
KELCACHE_EXPORT const char* OptionSourceName(OptionSource source);

struct OptionInfo {
  std::string name;
  OptionType type;
  std::string defaultText;  // the built-in default, as text
  std::string currentText;  // the value now in force, as text
  std::string description;
  OptionSource source = OptionSource::Default;
};

// Sets an option from text (see the text forms above).
KELCACHE_EXPORT void SetOption(std::string_view name, std::string_view value);
KELCACHE_EXPORT void SetBool(std::string_view name, bool value);
KELCACHE_EXPORT void SetInt(std::string_view name, int value);
// Puts back the value the process started with: the environment's value when
// KELCACHE_<name> gave one, else the built-in default.
KELCACHE_EXPORT void ResetOption(std::string_view name);
// The current value as text: "true"/"false" or decimal.
KELCACHE_EXPORT std::string GetOptionText(std::string_view name);
// Every option, in alphabetical order of name.
KELCACHE_EXPORT std::vector<OptionInfo> ListOptions();

// The text parsers the setters and the environment use; false when the text
// is not a valid value (value is then unchanged).
KELCACHE_EXPORT bool ParseBoolText(std::string_view text, bool& value);
KELCACHE_EXPORT bool ParseIntText(std::string_view text, int& value);

// Sets an option for the life of the object and then puts back the value it
// had before. Meant for tests:
//   kelvra::appoptions::ScopedOptionOverride o("ExternalCacheConcurrencyLimit", 1);
// Overrides of one option nest when destroyed in reverse order (as scopes
// are). Throws as the setters do. Thread rules: the value is process-wide, so
// other threads see the override while it lasts.
class KELCACHE_EXPORT ScopedOptionOverride : boost::noncopyable {
 public:
  ScopedOptionOverride(std::string_view name, bool value);
  ScopedOptionOverride(std::string_view name, int value);
  ScopedOptionOverride(std::string_view name, std::string_view text);
  // Without this, a string literal would pick the bool constructor. A null
  // text is refused with a logic exception ("text").
  ScopedOptionOverride(std::string_view name, const char* text);
  ~ScopedOptionOverride();

 private:
  size_t m_index;
  int m_previous;
};

}  // namespace kelvra::appoptions

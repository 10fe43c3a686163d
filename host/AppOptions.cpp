#include "host/AppOptions.h"

#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "host/Errors.h"

namespace kelvra::appoptions {
namespace {

// The one list of options, in alphabetical order of name (the order of
// ListOptions): X(name, type, default, description). It gives the option ids,
// the table and the accessor functions. Boolean values are stored as 0 / 1.
#define KELCACHE_APP_OPTIONS(X) \
  X(AsyncCacheCoherence, Bool, 0, \
    "The coherence service's OnAdded and OnRemoved(guids, cache) run as host tasks instead of " \
    "on the caller's thread; OnRemoved(cache) always runs on the caller's thread.") \
  X(AsyncTaskSpinMicroseconds, Int, 50, \
    "Microseconds a thread that waits for a task, or an idle pool worker, spins before it " \
    "sleeps (0: never spins).") \
  X(CacheSynchronizationDryRun, Bool, 0, \
    "The coherence service finds stale entries but does not mark them dirty in their caches " \
    "(cascade invalidators are still told).") \
  X(CacheSynchronizationEvictedLifetimeSec, Int, 600, \
    "Seconds an evicted entry stays tracked by the coherence service.") \
  X(CacheSynchronizationFlushOnReconnect, Bool, 1, \
    "After the Redis subscription reconnects, tracked entries are treated as possibly stale.") \
  X(CacheSynchronizationLogging, Bool, 0, \
    "Coherence and cascade-invalidation log lines are written at Info instead of Debug.") \
  X(CacheSynchronizationMaxEvictedEntries, Int, 100000, \
    "Evicted entries the coherence service keeps before it prunes by count (negative counts " \
    "as 0).") \
  X(CacheSynchronizationMinimumDeltaSeconds, Int, 5, \
    "A remote value must be more than this many seconds newer than a local entry to make it " \
    "dirty.") \
  X(ExternalCacheConcurrencyLimit, Int, 32, \
    "External cache operations (all caches, all kinds) that may hold a slot at once.") \
  X(ExternalCacheConcurrencyTimeoutMs, Int, 500, \
    "Milliseconds an external cache operation waits for a concurrency slot before giving up " \
    "(\"jam\").") \
  X(ExternalCacheDisable, Bool, 0, \
    "Turns the disk external cache off even when the host configuration enables it.") \
  X(ExternalCacheDiskLockWaitMs, Int, 2000, \
    "Milliseconds a disk store operation waits for its entry's lock while another operation " \
    "holds it; then a load or drop goes on without it (a load checks the key file twice) and " \
    "a store gives up (logged).") \
  X(ExternalCacheDropTimeoutMs, Int, 5000, \
    "Milliseconds an external cache drop may run before it counts as failed.") \
  X(ExternalCacheLowerBoundLatencyMs, Int, 100, \
    "Values that took less than this many milliseconds to produce are not stored " \
    "(\"ignore-fast\").") \
  X(ExternalCacheRedisAlwaysSetEx, Bool, 0, \
    "Redis stores always set an expiry (SETEX).") \
  X(ExternalCacheRedisAlwaysSetExSec, Int, 86400, \
    "Expiry in seconds of Redis stores when ExternalCacheRedisAlwaysSetEx is on and no TTL " \
    "applies.") \
  X(ExternalCacheSslTlsEnabled, Bool, 0, \
    "Whether the host wants its Redis connections encrypted; only logged by " \
    "InitializeConnectionPool (TLS itself is tls=on in the Redis options text).") \
  X(ExternalCacheStoreTimeoutMs, Int, 5000, \
    "Milliseconds an external cache store may run before it counts as failed.") \
  X(ExternalCacheUpperBound2SizeMb, Int, 64, \
    "Values of this many MiB or more are not stored (\"ignore-large\").") \
  X(ExternalCacheUpperBoundKeySizeB, Int, 8192, \
    "Keys longer than this many bytes (UTF-16) are not stored (\"ignore-large-key\").") \
  X(LockDetectionThresholdMs, Int, 1000, \
    "A lock held or waited for longer than this many milliseconds is reported by the lock " \
    "watch.") \
  X(SyncCaches, Bool, 1, \
    "Cascade invalidation: query-job scopes are created and tracked.") \
  X(ThreadPoolSize, Int, 0, \
    "Worker threads of the host thread pool; 0 (or less) means the pool's default.")

struct OptionDefinition {
  std::string_view name;
  OptionType type;
  int defaultValue;
  std::string_view description;
};

#define KELCACHE_OPTION_ID(name, type, value, description) name,
enum class OptionId : size_t { KELCACHE_APP_OPTIONS(KELCACHE_OPTION_ID) Count };
#undef KELCACHE_OPTION_ID

constexpr size_t kOptionCount = static_cast<size_t>(OptionId::Count);

#define KELCACHE_OPTION_ROW(name, type, value, description) {#name, OptionType::type, value, description},
constexpr std::array<OptionDefinition, kOptionCount> kOptions = {{KELCACHE_APP_OPTIONS(KELCACHE_OPTION_ROW)}};
#undef KELCACHE_OPTION_ROW

// ListOptions gives the table in its order, which must be alphabetical.
constexpr bool TableIsSorted() {
  for (size_t i = 1; i < kOptionCount; ++i) {
    if (!(kOptions[i - 1].name < kOptions[i].name)) return false;
  }
  return true;
}
static_assert(TableIsSorted(), "KELCACHE_APP_OPTIONS must list the options in alphabetical order");

// The accessor's return type of each option type.
template <OptionType>
struct OptionValue;
template <>
struct OptionValue<OptionType::Bool> {
  using Type = bool;
};
template <>
struct OptionValue<OptionType::Int> {
  using Type = int;
};

constexpr std::string_view kEnvironmentPrefix = "KELCACHE_";

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string ValueToText(OptionType type, int value) {
  if (type == OptionType::Bool) return value != 0 ? "true" : "false";
  return std::to_string(value);
}

std::string_view ExpectedForm(OptionType type) {
  return type == OptionType::Bool ? "expected true/false, 1/0, on/off or yes/no" : "expected a decimal int";
}

// Parses text for an option of the given type into its stored form.
bool ParseStored(OptionType type, std::string_view text, int& stored) {
  if (type == OptionType::Bool) {
    bool value = false;
    if (!ParseBoolText(text, value)) return false;
    stored = value ? 1 : 0;
    return true;
  }
  return ParseIntText(text, stored);
}

// The values in force. Thread-safe: every value is an atomic; m_startValues
// is written only by the constructor (which the function-local static in
// Store() runs once) and read-only afterwards.
class OptionStore {
 public:
  OptionStore() {
    for (size_t i = 0; i < kOptionCount; ++i) {
      m_fromEnvironment[i] = StartValue(kOptions[i], m_startValues[i]);
      m_values[i].store(m_startValues[i], std::memory_order_relaxed);
    }
  }

  int Read(size_t index) const { return m_values[index].load(std::memory_order_relaxed); }
  int Exchange(size_t index, int value) { return m_values[index].exchange(value, std::memory_order_relaxed); }
  void Write(size_t index, int value) { m_values[index].store(value, std::memory_order_relaxed); }
  int StartValueOf(size_t index) const { return m_startValues[index]; }
  OptionSource SourceOf(size_t index) const {
    if (Read(index) != m_startValues[index]) return OptionSource::Override;
    return m_fromEnvironment[index] ? OptionSource::Environment : OptionSource::Default;
  }

 private:
  // Sets `value` to the default, or to the environment's value when
  // KELCACHE_<name> holds a valid one, and says whether it did the latter. A
  // bad value must not stop the process (options are read deep inside library
  // calls), so it is reported and the default kept.
  static bool StartValue(const OptionDefinition& option, int& value) {
    value = option.defaultValue;
    std::string variable = std::string(kEnvironmentPrefix) + std::string(option.name);
    const char* text = std::getenv(variable.c_str());
    if (text == nullptr || *text == '\0') return false;
    int stored = 0;
    if (ParseStored(option.type, text, stored)) {
      value = stored;
      return true;
    }
    std::fprintf(stderr, "kelcache: ignoring environment variable %s=\"%s\" (%s); keeping the default %s\n",
                 variable.c_str(), text, std::string(ExpectedForm(option.type)).c_str(),
                 ValueToText(option.type, option.defaultValue).c_str());
    return false;
  }

  std::array<std::atomic<int>, kOptionCount> m_values;
  std::array<int, kOptionCount> m_startValues;
  std::array<bool, kOptionCount> m_fromEnvironment;
};

OptionStore& Store() {
  // Trivially destructible, so no destruction-order problem at exit.
  static OptionStore s_store;
  return s_store;
}

int Read(OptionId id) {
  return Store().Read(static_cast<size_t>(id));
}

size_t IndexOf(std::string_view name) {
  for (size_t i = 0; i < kOptionCount; ++i) {
    if (kOptions[i].name == name) return i;
  }
  throw std::invalid_argument("kelcache: unknown option \"" + std::string(name) + "\"");
}

std::invalid_argument BadValue(size_t index, std::string_view value) {
  const OptionDefinition& option = kOptions[index];
  return std::invalid_argument("kelcache: invalid value \"" + std::string(value) + "\" for option " +
                               std::string(option.name) + " (" + std::string(ExpectedForm(option.type)) +
                               ")");
}

std::invalid_argument WrongType(size_t index, std::string_view given) {
  const OptionDefinition& option = kOptions[index];
  return std::invalid_argument("kelcache: option " + std::string(option.name) + " is " +
                               (option.type == OptionType::Bool ? "a bool" : "an int") + ", not " +
                               std::string(given));
}

// Index and stored form of a text value; throws as SetOption documents.
std::pair<size_t, int> Resolve(std::string_view name, std::string_view value) {
  size_t index = IndexOf(name);
  int stored = 0;
  if (!ParseStored(kOptions[index].type, value, stored)) throw BadValue(index, value);
  return {index, stored};
}

size_t ResolveTyped(std::string_view name, OptionType type) {
  size_t index = IndexOf(name);
  if (kOptions[index].type != type) {
    throw WrongType(index, type == OptionType::Bool ? "a bool" : "an int");
  }
  return index;
}

// The text of ScopedOptionOverride(name, nullptr), which has none.
[[noreturn]] std::string_view NullOverrideText() { ThrowLogicException("host/AppOptions", __LINE__, "text"); }

}  // namespace

bool ParseBoolText(std::string_view text, bool& value) {
  text = Trim(text);
  for (std::string_view yes : {"true", "1", "on", "yes"}) {
    if (EqualsIgnoringCase(text, yes)) {
      value = true;
      return true;
    }
  }
  for (std::string_view no : {"false", "0", "off", "no"}) {
    if (EqualsIgnoringCase(text, no)) {
      value = false;
      return true;
    }
  }
  return false;
}

bool ParseIntText(std::string_view text, int& value) {
  text = Trim(text);
  // from_chars takes a leading '-' but not '+'.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) return false;
  }
  int parsed = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed, 10);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return false;
  value = parsed;
  return true;
}

#define KELCACHE_OPTION_ACCESSOR(name, type, value, description)                 \
  OptionValue<OptionType::type>::Type name() {                                 \
    return static_cast<OptionValue<OptionType::type>::Type>(Read(OptionId::name)); \
  }
KELCACHE_APP_OPTIONS(KELCACHE_OPTION_ACCESSOR)
#undef KELCACHE_OPTION_ACCESSOR

const char* OptionSourceName(OptionSource source) {
  switch (source) {
    case OptionSource::Environment: return "environment";
    case OptionSource::Override: return "override";
    default: return "default";
  }
}

void SetOption(std::string_view name, std::string_view value) {
  auto [index, stored] = Resolve(name, value);
  Store().Write(index, stored);
}

void SetBool(std::string_view name, bool value) {
  Store().Write(ResolveTyped(name, OptionType::Bool), value ? 1 : 0);
}

void SetInt(std::string_view name, int value) {
  Store().Write(ResolveTyped(name, OptionType::Int), value);
}

void ResetOption(std::string_view name) {
  size_t index = IndexOf(name);
  Store().Write(index, Store().StartValueOf(index));
}

std::string GetOptionText(std::string_view name) {
  size_t index = IndexOf(name);
  return ValueToText(kOptions[index].type, Store().Read(index));
}

std::vector<OptionInfo> ListOptions() {
  std::vector<OptionInfo> options;
  options.reserve(kOptionCount);
  for (size_t i = 0; i < kOptionCount; ++i) {
    const OptionDefinition& option = kOptions[i];
    options.push_back({std::string(option.name), option.type, ValueToText(option.type, option.defaultValue),
                       ValueToText(option.type, Store().Read(i)), std::string(option.description),
                       Store().SourceOf(i)});
  }
  return options;
}

ScopedOptionOverride::ScopedOptionOverride(std::string_view name, bool value)
    : m_index(ResolveTyped(name, OptionType::Bool)), m_previous(Store().Exchange(m_index, value ? 1 : 0)) {}

ScopedOptionOverride::ScopedOptionOverride(std::string_view name, int value)
    : m_index(ResolveTyped(name, OptionType::Int)), m_previous(Store().Exchange(m_index, value)) {}

ScopedOptionOverride::ScopedOptionOverride(std::string_view name, std::string_view text)
    : m_index(0), m_previous(0) {
  auto [index, stored] = Resolve(name, text);
  m_index = index;
  m_previous = Store().Exchange(index, stored);
}

ScopedOptionOverride::ScopedOptionOverride(std::string_view name, const char* text)
    : ScopedOptionOverride(name, text != nullptr ? std::string_view(text) : NullOverrideText()) {}

ScopedOptionOverride::~ScopedOptionOverride() {
  Store().Write(m_index, m_previous);
}

}  // namespace kelvra::appoptions

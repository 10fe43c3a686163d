#include "host/FeatureFlags.h"

#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "host/LockGuards.h"
#include "host/TReadWriteLock.h"
#include "host/ThreadAnnotations.h"

namespace {

constexpr const char* kEnvironmentVariable = "KELCACHE_FEATURE_FLAGS";

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// One item: "<id>", "<id>=0" or "<id>=1"; the id in decimal or 0x-hex.
bool ParseItem(std::string_view item, std::pair<FeatureFlagId, bool>& flag) {
  bool on = true;
  if (size_t equals = item.find('='); equals != std::string_view::npos) {
    std::string_view state = Trim(item.substr(equals + 1));
    if (state == "1") {
      on = true;
    } else if (state == "0") {
      on = false;
    } else {
      return false;
    }
    item = Trim(item.substr(0, equals));
  }
  int base = 10;
  if (item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X')) {
    item.remove_prefix(2);
    base = 16;
  }
  FeatureFlagId id = 0;
  auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), id, base);
  if (item.empty() || error != std::errc() || end != item.data() + item.size()) return false;
  flag = {id, on};
  return true;
}

// Calls visit(item, parsed, flag) for every non-empty item of a list.
template <class Visit>
void ForEachItem(std::string_view text, Visit&& visit) {
  while (true) {
    size_t comma = text.find(',');
    std::string_view item = Trim(text.substr(0, comma));
    if (!item.empty()) {
      std::pair<FeatureFlagId, bool> flag{0, false};
      bool parsed = ParseItem(item, flag);
      visit(item, parsed, flag);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
}

// The set of flags that are on. Thread-safe: m_mutex guards m_on;
// m_anyOn mirrors !m_on.empty() so that IsOn skips the lock while no flag is
// on (written under the exclusive lock, read without it).
class FlagStore {
 public:
  FlagStore() {
    const char* text = std::getenv(kEnvironmentVariable);
    if (text == nullptr) return;
    ForEachItem(text, [this](std::string_view item, bool parsed, const std::pair<FeatureFlagId, bool>& flag) {
      if (parsed) {
        Set(flag.first, flag.second);
      } else {
        std::fprintf(stderr,
                     "kelcache: ignoring item \"%.*s\" of environment variable %s (expected an id in "
                     "decimal or 0x-hex, optionally followed by =0 or =1)\n",
                     static_cast<int>(item.size()), item.data(), kEnvironmentVariable);
      }
    });
  }

  bool IsOn(FeatureFlagId id) const {
    if (!m_anyOn.load(std::memory_order_acquire)) return false;
    TReadLockGuard lock(m_mutex);
    return m_on.count(id) != 0;
  }

  void Set(FeatureFlagId id, bool on) {
    TWriteLockGuard lock(m_mutex);
    if (on) {
      m_on.insert(id);
    } else {
      m_on.erase(id);
    }
    m_anyOn.store(!m_on.empty(), std::memory_order_release);
  }

  void SetAll(const std::vector<std::pair<FeatureFlagId, bool>>& flags) {
    for (const auto& [id, on] : flags) Set(id, on);
  }

 private:
  mutable TReadWriteLock m_mutex;
  std::unordered_set<FeatureFlagId> m_on KELCACHE_GUARDED_BY(m_mutex);
  std::atomic<bool> m_anyOn{false};
};

FlagStore& Store() {
  // Never destroyed: flags may be asked for while the process exits.
  static FlagStore* const s_store = new FlagStore();
  return *s_store;
}

}  // namespace

bool FeatureFlags::IsOn(FeatureFlagId id) {
  return Store().IsOn(id);
}

void FeatureFlags::Set(FeatureFlagId id, bool on) {
  Store().Set(id, on);
}

std::vector<std::pair<FeatureFlagId, bool>> FeatureFlags::ParseFlagList(std::string_view text) {
  std::vector<std::pair<FeatureFlagId, bool>> flags;
  ForEachItem(text, [&flags](std::string_view item, bool parsed, const std::pair<FeatureFlagId, bool>& flag) {
    if (!parsed) {
      throw std::invalid_argument(
          "kelcache: bad feature flag item \"" + std::string(item) +
          "\" (expected an id in decimal or 0x-hex, optionally followed by =0 or =1)");
    }
    flags.push_back(flag);
  });
  return flags;
}

void FeatureFlags::SetFromText(std::string_view text) {
  Store().SetAll(ParseFlagList(text));
}

FeatureFlags::ScopedOverride::ScopedOverride(FeatureFlagId id, bool on) : m_id(id), m_previous(IsOn(id)) {
  Set(id, on);
}

FeatureFlags::ScopedOverride::~ScopedOverride() {
  Set(m_id, m_previous);
}

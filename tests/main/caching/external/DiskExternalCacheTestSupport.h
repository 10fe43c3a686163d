// Helpers of the disk store's tests: the fixture whose cache lives in a
// temporary folder, and the value file's integrity attribute.
#pragma once

#include <sys/xattr.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "host/TPath.h"
#include "public/caching/DiskExternalCache.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace kelcache_test {

constexpr const char* kIntegrity = "user.kelcache.integrity";

inline TPath ToTPath(const std::filesystem::path& path) {
  return TPath(TString::fromStdString(path.string()));
}

// The integrity record of a value file, or nothing when it has none.
inline std::optional<Bytes> IntegrityAttribute(const std::filesystem::path& file) {
  Bytes record(256);
  const ssize_t size = getxattr(file.c_str(), kIntegrity, record.data(), record.size());
  if (size < 0) return std::nullopt;
  record.resize(static_cast<size_t>(size));
  return record;
}

class DiskExternalCacheTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(WaitForBackgroundTasks()); }

  // A cache whose namespace folder is <temp>/cache.
  std::unique_ptr<kelvra::caching::DiskExternalCache> MakeCache() {
    return std::make_unique<kelvra::caching::DiskExternalCache>(u"disk-ns", ToTPath(CachePath()), nullptr);
  }
  std::filesystem::path CachePath() const { return m_temp.path() / "cache"; }
  std::filesystem::path EntryPath(const TString& key) const { return CachePath() / ExpectedKeyHash(key); }

  TempDir m_temp;
};
}  // namespace kelcache_test

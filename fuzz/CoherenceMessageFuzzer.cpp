// The coherence service's subscription callback on any channel and message
// bytes, through the real service over an in-process subscription manager.
// Before each input the service tracks a few live and evicted entries under
// key hashes the input can name; after it, the service's maps must still
// agree (CheckConsistencyTestOnly). Malformed input may raise the service's
// logic error (as the Redis manager then logs it); nothing else may escape.
//
// Input: the first byte chooses how many of the following bytes form the
// channel suffix (after the prefix); the rest is the message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/AppConfig.h"
#include "host/Errors.h"
#include "main/utility/ICoherentCache.h"
#include "public/caching/RedisPubsub.h"
#include "testing/InProcessSubscriptionManager.h"

namespace {

using kelvra::caching::ICoherentCache;
using kelvra::caching::RedisPubsub;

const TString kPrefix(u"fuzz.");

class CountingCache : public ICoherentCache {
 public:
  void OnDirty(const std::vector<unsigned int>& ids) override { m_dirty += ids.size(); }

 private:
  size_t m_dirty = 0;
};

struct Service {
  Service() {
    AppConfig::GetInstance().SetUnitTestFlag(true);
    service = RedisPubsub::CreateTestInstance(kPrefix, manager, [](const TString&, const TString&) {});
  }
  kelcache_testing::InProcessSubscriptionManager manager;
  std::shared_ptr<RedisPubsub> service;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Service* const s = new Service();  // lives for the whole run
  auto cache = std::make_shared<CountingCache>();
  // Live entries under short key hashes an input can spell ("1-2", "0-0",
  // "abc-123"), one of them evicted at once, with timestamps near both ends.
  s->service->OnAdded({1, 2}, {3, 4}, 1000, 1, cache);
  s->service->OnAdded({0, 0}, {0, 0}, 0, 2, cache);
  s->service->OnAdded({0xabc, 0x123}, {5, 6}, UINT64_MAX - 1, 3, cache);
  s->service->OnAdded({0xabc, 0x123}, {7, 8}, 63900000000000ULL, 4, cache);
  s->service->OnRemoved({4}, cache);

  const size_t channelLength = size == 0 ? 0 : data[0] % size;
  const std::string suffix(reinterpret_cast<const char*>(data) + (size == 0 ? 0 : 1),
                           size == 0 ? 0 : channelLength);
  const size_t messageStart = size == 0 ? 0 : 1 + channelLength;
  const std::string message(reinterpret_cast<const char*>(data) + messageStart, size - messageStart);
  try {
    s->manager.Deliver(kPrefix + TString::fromStdString(suffix), message);
  } catch (const LogicException&) {
  }
  s->service->OnRemoved(*cache);
  const std::string problems = s->service->CheckConsistencyTestOnly();
  if (!problems.empty()) {
    std::fprintf(stderr, "inconsistent after the input: %s\n", problems.c_str());
    std::abort();
  }
  return 0;
}

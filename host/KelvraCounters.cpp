#include "host/KelvraCounters.h"

namespace KelvraCounters {

constinit std::atomic<int64_t> RedisPubsubWastedMessages{0};
constinit std::atomic<int64_t> RedisPubsubSavedMessages{0};
constinit std::atomic<int64_t> RedisPubsubPlaceholderSize{0};

}  // namespace KelvraCounters

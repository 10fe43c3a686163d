#include "examples/tour/Tour.h"

#include <cstdio>

namespace tour {

const std::vector<Chapter>& Chapters() {
  static const std::vector<Chapter> chapters = {
      {"host", "The host services: a logged event, a task on a future, an option overridden", ChapterHost},
      {"memory", "The in-memory cache: an index to find entries, a clock to age them out", ChapterMemory},
      {"sync", "The thread-safe cache: two threads, a replacement, an entry made dirty", ChapterSync},
      {"external",
       "The second-level cache on disk: the factory's WAV2 store, values in and out, events, the folder",
       ChapterExternal},
      {"redis", "The second-level cache in Redis, beside the disk store (needs redis-server on the PATH)", ChapterRedis},
      {"coherence", "Coherence between processes: a newer value published, the stale entry elsewhere dropped",
       ChapterCoherence},
  };
  return chapters;
}

void Step(const std::string& explanation) {
  std::printf("\n  * %s\n", explanation.c_str());
}

void Show(const std::string& text) {
  std::printf("      %s\n", text.c_str());
}

}  // namespace tour

// TSystem: facts about the process's threads that the host establishes.
//
// IsAuthoringClientMainThread() is true only on the thread that the
// authoring client marked as its user-interface thread with
// SetAuthoringClientMainThread(); on every thread of other hosts it is false.
//
// Thread rules: thread-safe; the mark is one atomic naming the marked thread.
#pragma once

#include "host/Export.h"

class KELCACHE_EXPORT TSystem {
 public:
  static bool IsAuthoringClientMainThread();
  // Marks the calling thread as the authoring client's main thread (replacing
  // any earlier mark).
  static void SetAuthoringClientMainThread();
  // Removes the mark: no thread is the main thread any more.
  static void ClearAuthoringClientMainThread();
};

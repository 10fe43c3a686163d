// Steps run at exact points of a disk operation, for the tests that must
// change an entry or its folder meanwhile: the reading opens of entry files
// (the disk store opens them with O_NONBLOCK, and nothing else does), the
// opens of the namespace and entry folders (O_PATH) and, for steps armed
// with ThenOnCreate, the opens that create a file, or with ThenOnRemove,
// the removals by unlinkat, first run the armed steps, in order.
//
// The test executable that links EntryOpenHooks.cpp defines openat,
// openat64 and unlinkat itself (as XattrFaults.cpp defines the attribute
// calls), so the library's calls reach them; they pass every call on to the
// C library's.
//
// Thread rules: arm one EntryOpenHooks at a time. A step runs on the thread
// of the open that triggers it, outside any lock of this file, so it may
// store and load through other caches.
#pragma once

#include <functional>
#include <string>

namespace kelcache_test {

class EntryOpenHooks {
 public:
  EntryOpenHooks() = default;
  ~EntryOpenHooks();  // disarms the steps that did not run
  EntryOpenHooks(const EntryOpenHooks&) = delete;
  EntryOpenHooks& operator=(const EntryOpenHooks&) = delete;

  // Adds a step: the first reading open of a path ending in `suffix` after
  // the steps before it ran, runs `step`, then opens.
  void Then(std::string suffix, std::function<void()> step);
  // The same for the first open with O_CREAT of a path ending in `suffix`.
  void ThenOnCreate(std::string suffix, std::function<void()> step);
  // The same for the first removal (unlinkat) of a path ending in `suffix`.
  void ThenOnRemove(std::string suffix, std::function<void()> step);
  // How many steps ran.
  int Ran() const;
};

}  // namespace kelcache_test

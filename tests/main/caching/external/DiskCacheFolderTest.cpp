// The disk store's entry locks through one kept-open namespace folder: locks
// of operations running at once must exclude each other as those of separate
// processes do, although their descriptions of ".lock" are reused. (How the
// store leaves a kept-open folder that was removed, made again or moved is
// DiskExternalCacheTest's.)
#include "main/caching/DiskCacheFolder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "host/TPath.h"
#include "tests/main/caching/external/ExternalTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace {

using namespace kelcache_test;
using kelvra::caching::DiskCacheFolder;
using kelvra::caching::EntryLock;

using Mode = EntryLock::Mode;

TEST(DiskCacheFolderTest, LocksOfOperationsRunningAtOnceExcludeEachOther) {
  constexpr uint64_t kByte = 580273337;
  const TempDir temp;
  DiskCacheFolder folder(TPath(TString::fromStdString((temp.path() / "ns").string())));
  struct Case {
    Mode held;
    Mode wanted;
    bool waits;
  };
  const Case cases[] = {
      {Mode::Exclusive, Mode::Exclusive, true},
      {Mode::Exclusive, Mode::Shared, true},
      {Mode::Shared, Mode::Exclusive, true},
      {Mode::Shared, Mode::Shared, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.held == Mode::Shared ? "shared" : "exclusive") + " held, " +
                 (c.wanted == Mode::Shared ? "shared" : "exclusive") + " wanted");
    auto opening = folder.Open(true);
    ASSERT_NE(opening, nullptr);
    // A description used and given back before: the free list is not empty
    // when the first lock is taken, as in a cache that has run a while.
    { EntryLock warm(opening, kByte, Mode::Exclusive, true, kLongWait); }

    auto acquired = std::make_shared<Gate>();
    std::thread second;
    {
      EntryLock first(opening, kByte, c.held, true, kLongWait);
      ASSERT_TRUE(first.Held());
      second = std::thread([&, acquired] {
        EntryLock lock(folder.Open(true), kByte, c.wanted, true, kLongWait);
        EXPECT_TRUE(lock.Held());
        acquired->Open();
      });
      EXPECT_EQ(acquired->Wait(c.waits ? 300ms : kLongWait), !c.waits) << "whether the second lock waited";
    }
    if (!acquired->Wait(kLongWait)) {
      // Still waiting for a lock that was never released; the thread cannot
      // be woken, so it is left to the end of the process.
      second.detach();
      FAIL() << "the second lock never came: releasing the first did not unlock it";
    }
    second.join();

    // Every description is back in the list, unlocked: another process can
    // take the byte at once.
    ForeignByteLock other(temp.path() / "ns" / ".lock", kByte, F_WRLCK);
    EXPECT_TRUE(other.Locked()) << "a description went back to the free list still locked";
  }
}

// Loads of one entry that keep overlapping hold its byte shared without a
// gap. A store waiting for it still gets it, soon: the loads of its process
// that come while it waits wait for it, and those already under way end.
TEST(DiskCacheFolderTest, AStoreWaitingForItsEntryGoesBeforeTheLoadsThatKeepComing) {
  constexpr uint64_t kByte = 77;
  const TempDir temp;
  DiskCacheFolder folder(TPath(TString::fromStdString((temp.path() / "ns").string())));
  { EntryLock make(folder.Open(true), kByte, Mode::Exclusive, true, kLongWait); }
  std::atomic<bool> stop{false};
  std::atomic<int> loads{0};
  const auto load = [&] {
    while (!stop) {
      EntryLock lock(folder.Open(false), kByte, Mode::Shared, false, kLongWait);
      EXPECT_TRUE(lock.Held());
      ++loads;
      std::this_thread::sleep_for(10ms);
    }
  };
  // The second load starts halfway through the first one's hold, so one of
  // them always holds the byte.
  std::thread first(load);
  while (loads == 0) std::this_thread::yield();
  std::this_thread::sleep_for(5ms);
  std::thread second(load);
  while (loads < 4) std::this_thread::yield();
  {
    EntryLock store(folder.Open(true), kByte, Mode::Exclusive, true, 1000ms);
    EXPECT_TRUE(store.Held()) << "the loads kept the store out";
    EXPECT_FALSE(store.WaitExpired());
  }
  const int before = loads;
  while (loads < before + 4) std::this_thread::yield();  // the loads go on after it
  stop = true;
  first.join();
  second.join();
}

// A lock dies with its holder, also when the holder had forked a child (a
// helper of a pre-forking host) before it was killed while holding it: the
// child must not keep the parent's description of ".lock", and with it the
// lock, alive.
TEST(DiskCacheFolderTest, ALockDiesWithItsHolderAlsoWhenTheHolderForkedAChildFirst) {
  constexpr uint64_t kByte = 4242;
  const TempDir temp;
  const std::filesystem::path ns = temp.path() / "ns";
  int helperPid[2];
  ASSERT_EQ(pipe(helperPid), 0);
  const pid_t holder = fork();
  ASSERT_NE(holder, -1);
  if (holder == 0) {
    alarm(30);  // in case the test goes before it kills us
    DiskCacheFolder folder(TPath(TString::fromStdString(ns.string())));
    EntryLock lock(folder.Open(true), kByte, Mode::Exclusive, true, kLongWait);
    if (!lock.Held()) _exit(1);
    if (fork() == 0) {
      // The helper: running, and so past the fork's handlers.
      alarm(30);
      const pid_t self = getpid();
      if (write(helperPid[1], &self, sizeof self) != sizeof self) _exit(2);
      for (;;) pause();
    }
    for (;;) pause();  // killed by the test while it holds the lock
  }
  close(helperPid[1]);  // a holder that ends early closes the pipe: the read sees its end
  pid_t helper = 0;
  const ssize_t got = read(helperPid[0], &helper, sizeof helper);
  close(helperPid[0]);
  if (got != static_cast<ssize_t>(sizeof helper)) kill(holder, SIGKILL);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof helper)) << "the holder did not take its lock";
  kill(holder, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the holder did not take its lock";
  {
    ForeignByteLock other(ns / ".lock", kByte, F_WRLCK);
    EXPECT_TRUE(other.Locked()) << "the holder's child kept its lock";
  }
  kill(helper, SIGKILL);
}

}  // namespace

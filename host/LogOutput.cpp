// The process's log output: where rendered lines go (stderr or a file, at
// once or through a background writer), the sink level, and flushing.
#include "host/LogOutput.h"

#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/AppOptions.h"
#include "host/ForkGeneration.h"
#include "host/LogFormat.h"
#include "host/TConditionVariable.h"
#include "host/TMutex.h"
#include "host/redis/SigpipeGuard.h"

namespace TLog {
namespace {

// The level in force until the environment or SetLevel says otherwise.
constexpr NonErrorSeverity kDefaultLevel = Warn;

constexpr size_t kAsyncQueueLines = 8192;
constexpr auto kAsyncFlushWait = std::chrono::seconds(2);

spdlog::level::level_enum ToSpdlogLevel(AnySeverity severity) {
  switch (severity.Level()) {
    case 0:
      return spdlog::level::debug;
    case 1:
      return spdlog::level::info;
    case 2:
      return spdlog::level::warn;
    default:
      return spdlog::level::err;
  }
}

std::optional<AnySeverity> ParseSeverity(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  if (text == "debug") return AnySeverity(Debug);
  if (text == "info") return AnySeverity(Info);
  if (text == "warn" || text == "warning") return AnySeverity(Warn);
  if (text == "error") return Error;
  return std::nullopt;
}

// Held around every call into a target sink (which takes a mutex of its
// own inside spdlog), so that a fork can wait until no thread is inside one:
// see LogState::HoldForFork. Taken after the state's mutexes, if any.
TMutex& TargetMutex() {
  static TMutex* const s_mutex = new TMutex();  // never destroyed: used at exit
  return *s_mutex;
}

// True on the thread that holds the log's mutexes across a fork, from the
// prepare handler to the parent's or child's: other fork handlers that run
// meanwhile on that thread may still write lines, which then go out without
// taking those mutexes again (they are not recursive).
thread_local bool t_heldForFork = false;

// The sink every logger writes to: forwards each line to the target (stderr
// or a file) and flushes it at once, so that a line is out when the writer
// is done with it. Counts explicit flushes so that Flush() can wait for the
// asynchronous writer to reach its flush request.
//
// Thread-safe: TargetMutex() serialises the calls into the target; m_mutex
// guards m_flushes and is never held together with TargetMutex().
class LineSink final : public spdlog::sinks::sink {
 public:
  explicit LineSink(std::shared_ptr<spdlog::sinks::sink> target) : m_target(std::move(target)) {}

  void log(const spdlog::details::log_msg& message) override {
    if (t_heldForFork) return WriteToTarget(message);  // held by this thread already
    TMutexLock lock(TargetMutex());
    WriteToTarget(message);
  }
  void flush() override {
    // Counted even when the target cannot flush (a full disk): a waiter
    // learns that the writer got this far, rather than waiting its time out.
    struct Count {
      LineSink& sink;
      ~Count() {
        // Notified under the lock: a waiter that returns may drop the last
        // reference to this sink, which must not happen while notify_all runs.
        TMutexLock lock(sink.m_mutex);
        ++sink.m_flushes;
        sink.m_flushed.NotifyAll();
      }
    } count{*this};
    TMutexLock lock(TargetMutex());  // released before count counts
    kelvra::caching::SigpipeGuard guard;
    m_target->flush();
  }
  // The target got its formatter when it was made (WithLineFormat), so
  // these never take TargetMutex(): a writer stuck in the target (a full
  // pipe) must not hold up a change of output, nor every logging thread
  // behind it.
  void set_pattern(const std::string&) override {}
  void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

  // A target that is a pipe or socket whose reader has gone fails with EPIPE
  // instead of ending the process with SIGPIPE (SigpipeGuard): the line is
  // lost, as with any failing target.
  void WriteToTarget(const spdlog::details::log_msg& message) {
    kelvra::caching::SigpipeGuard guard;
    m_target->log(message);
    m_target->flush();
  }

  uint64_t Flushes() {
    TMutexLock lock(m_mutex);
    return m_flushes;
  }
  // Waits until more than `seen` flushes happened, or the time-out passed.
  void WaitForFlushAfter(uint64_t seen, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    TMutexLock lock(m_mutex);
    while (m_flushes <= seen) {
      if (!m_flushed.WaitUntil(lock, deadline)) break;
    }
  }

 private:
  const std::shared_ptr<spdlog::sinks::sink> m_target;
  TMutex m_mutex;
  TConditionVariable m_flushed;
  uint64_t m_flushes KELCACHE_GUARDED_BY(m_mutex) = 0;
};

// `target`, given the one format it writes in before anyone else can reach
// it: lines arrive fully rendered, and the target adds only the line end.
std::shared_ptr<spdlog::sinks::sink> WithLineFormat(std::shared_ptr<spdlog::sinks::sink> target) {
  target->set_formatter(std::make_unique<spdlog::pattern_formatter>("%v"));
  return target;
}

std::shared_ptr<spdlog::sinks::sink> NewStderrTarget() {
  return WithLineFormat(std::make_shared<spdlog::sinks::stderr_sink_mt>());
}

// A sink appending to the file, or null when it cannot be opened.
std::shared_ptr<spdlog::sinks::sink> OpenFile(const std::string& path) {
  try {
    return WithLineFormat(std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, /*truncate=*/false));
  } catch (...) {
    return nullptr;
  }
}

// The logger in use, with what it was made from.
struct Output {
  std::shared_ptr<spdlog::logger> logger;
  std::shared_ptr<LineSink> sink;
  bool asynchronous = false;
};

// The process-wide logging state.
//
// Thread-safe. m_level is atomic and read on every call without a lock.
// m_configMutex guards the output and the target; it is held only to copy
// or replace them, never while writing. m_flushMutex serialises flushes and
// reconfiguration so that each flush waits for its own request.
// Lock order: m_flushMutex, then m_configMutex, then TargetMutex().
//
// Forks: a child forked without exec has only the forking thread, so a
// mutex that another thread held at the fork stays held in the child, and
// the child's first line would wait for it for good. The forking thread
// therefore takes all three around a fork (HoldForFork), so that the fork
// happens while no thread writes, flushes or reconfigures.
//
// Created on first use (reading the environment) and never destroyed; see
// the header on process exit.
class LogState {
 public:
  static LogState& Get() {
    static LogState* state = new LogState();
    return *state;
  }

  std::atomic<int> m_level{kDefaultLevel};

  bool SinkAccepts(AnySeverity severity) const {
    return severity.Level() >= m_level.load(std::memory_order_relaxed);
  }

  void Write(AnySeverity severity, const std::string& line) {
    if (t_heldForFork) return WriteHeldForFork(severity, line);
    std::shared_ptr<spdlog::logger> logger;
    {
      TMutexLock lock(m_configMutex);
      logger = CurrentOutputLocked().logger;
    }
    logger->log(ToSpdlogLevel(severity), spdlog::string_view_t(line.data(), line.size()));
  }

  void SetTarget(std::shared_ptr<spdlog::sinks::sink> target) {
    TMutexLock flushLock(m_flushMutex);
    Output previous;
    {
      TMutexLock lock(m_configMutex);
      // The output first: when it cannot be made, the target stays the old
      // one, so that no later change of mode turns to the refused target.
      Output next = MakeOutput(target, CurrentOutputLocked().asynchronous);
      m_target = std::move(target);
      previous = std::exchange(m_output, std::move(next));
    }
    FlushOutput(previous);
  }

  void SetAsynchronous(bool asynchronous) {
    TMutexLock flushLock(m_flushMutex);
    Output previous;
    {
      TMutexLock lock(m_configMutex);
      if (CurrentOutputLocked().asynchronous == asynchronous) return;
      previous = std::exchange(m_output, MakeOutput(m_target, asynchronous));
    }
    FlushOutput(previous);
  }

  bool IsAsynchronous() {
    TMutexLock lock(m_configMutex);
    return m_output.asynchronous;
  }

  uint64_t Dropped() {
    TMutexLock lock(m_configMutex);
    // A parent's pool, in a child forked without exec, is never touched: its
    // queue's mutex may have been held by a thread the child does not have.
    if (!m_pool || m_poolGeneration != ForkGeneration()) return 0;
    return m_pool->overrun_counter();
  }

  void Flush() {
    if (t_heldForFork) return;  // a fork handler's lines were written at once
    TMutexLock flushLock(m_flushMutex);
    Output output;
    {
      TMutexLock lock(m_configMutex);
      output = CurrentOutputLocked();
    }
    FlushOutput(output);
  }

 private:
  LogState() {
    // The fork generation's first use registers a fork handler, which must
    // not happen under this state's mutexes (MakeOutput reads the
    // generation): a fork on another thread would hold glibc's handler lock
    // while it waits for them in HoldForFork.
    (void)ForkGeneration();
    // Nobody else can see the state yet; the lock is for the analysis, which
    // asks for it around MakeOutput.
    TMutexLock lock(m_configMutex);
    // A fallback that cannot fail, so that m_output is never empty.
    m_target = NewStderrTarget();
    m_output = MakeOutput(m_target, false);
    std::vector<TString> problems;  // with the environment variables, told once the output is there
    try {
      if (const char* level = std::getenv("KELCACHE_LOG_LEVEL"); level != nullptr && *level != '\0') {
        if (auto parsed = ParseSeverity(level)) {
          m_level.store(parsed->Level());
        } else {
          problems.push_back("KELCACHE_LOG_LEVEL: unknown level '" + TString::fromStdString(level) +
                             "' (expected debug, info, warn, warning or error); keeping warn.");
        }
      }
      if (const char* path = std::getenv("KELCACHE_LOG_FILE"); path != nullptr && *path != '\0') {
        if (auto file = OpenFile(path)) {
          m_target = std::move(file);
        } else {
          problems.push_back("KELCACHE_LOG_FILE: cannot open '" + TString::fromStdString(path) +
                             "'; logging to stderr.");
        }
      }
      bool asynchronous = false;
      if (const char* async = std::getenv("KELCACHE_LOG_ASYNC"); async != nullptr && *async != '\0') {
        if (!kelvra::appoptions::ParseBoolText(async, asynchronous)) {
          problems.push_back("KELCACHE_LOG_ASYNC: unknown value '" + TString::fromStdString(async) +
                             "' (expected 1, 0, true, false, on, off, yes or no); writing at once.");
        }
      }
      try {
        m_output = MakeOutput(m_target, asynchronous);
      } catch (...) {
        // No writer thread to be had (a thread limit, no memory): the lines
        // still go where they were asked to, written at once.
        m_output = MakeOutput(m_target, false);
      }
    } catch (...) {
      // Keep the stderr fallback.
    }
    std::atexit([] { LogState::Get().Flush(); });
    s_forkable.store(this, std::memory_order_release);
    pthread_atfork(&HoldForFork, &ReleaseAfterFork, &ReleaseAfterFork);
    try {
      for (const TString& problem : problems) {
        // Safe here although m_configMutex is held: nobody else can see the
        // state yet, and the line goes straight to the logger, not through
        // Write or a capture, which would take that mutex again.
        const std::string line =
            RenderPlainLine(Warn, std::chrono::system_clock::now(), internal::CurrentThreadId(), problem);
        m_output.logger->log(spdlog::level::warn, spdlog::string_view_t(line.data(), line.size()));
      }
    } catch (...) {
      // No memory for the line: the state is in use already (the fork
      // handlers know it), so the constructor must not fail now.
    }
  }

  // The output, made again in a child forked without exec when it writes
  // through the writer thread: the child does not have the parent's thread,
  // so lines queued for it would never be written (MakeOutput makes the
  // child's own).
  const Output& CurrentOutputLocked() KELCACHE_REQUIRES(m_configMutex) {
    if (m_output.asynchronous && m_poolGeneration != ForkGeneration()) {
      // No thread to be had (a thread limit) or no memory: the child writes
      // at once rather than through nobody. Neither may raise from here,
      // which Flush (noexcept, and at exit) reaches too.
      try {
        m_output = MakeOutput(m_target, true);
      } catch (...) {
        try {
          m_output = MakeOutput(m_target, false);
        } catch (...) {
        }
      }
    }
    return m_output;
  }

  Output MakeOutput(const std::shared_ptr<spdlog::sinks::sink>& target, bool asynchronous)
      KELCACHE_REQUIRES(m_configMutex) {
    Output output;
    output.sink = std::make_shared<LineSink>(target);
    output.asynchronous = asynchronous;
    if (asynchronous) {
      // One writer thread for the process, kept for its whole life: queued
      // lines of replaced loggers still need it.
      if (m_pool && m_poolGeneration != ForkGeneration()) {
        // A parent's, whose thread this child does not have: kept, never
        // destroyed, since its destruction would wait for that thread.
        static auto* const s_parentPools = new std::vector<std::shared_ptr<spdlog::details::thread_pool>>();
        s_parentPools->push_back(std::move(m_pool));
      }
      if (!m_pool) {
        m_pool = std::make_shared<spdlog::details::thread_pool>(kAsyncQueueLines, 1);
        m_poolGeneration = ForkGeneration();
      }
      output.logger = std::make_shared<spdlog::async_logger>("kelcache", output.sink, m_pool,
                                                             spdlog::async_overflow_policy::overrun_oldest);
    } else {
      output.logger = std::make_shared<spdlog::logger>("kelcache", output.sink);
    }
    output.logger->set_level(spdlog::level::trace);
    output.logger->flush_on(spdlog::level::off);
    output.logger->set_error_handler([](const std::string&) {
      // A failing sink must not disturb the caller; the line is lost.
    });
    return output;
  }

  // Needs m_flushMutex held, not m_configMutex.
  static void FlushOutput(const Output& output) {
    if (!output.logger) return;
    try {
      if (!output.asynchronous) {
        output.logger->flush();
        return;
      }
      const uint64_t seen = output.sink->Flushes();
      output.logger->flush();  // queues a flush request behind the pending lines
      output.sink->WaitForFlushAfter(seen, kAsyncFlushWait);
    } catch (...) {
    }
  }

  // A line written by another fork handler while this thread holds the log
  // for the fork: straight to the target, whose mutex this thread holds.
  void WriteHeldForFork(AnySeverity severity, const std::string& line) KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    try {
      spdlog::details::log_msg message(spdlog::string_view_t("kelcache"), ToSpdlogLevel(severity),
                                       spdlog::string_view_t(line.data(), line.size()));
      kelvra::caching::SigpipeGuard guard;
      m_target->log(message);
      m_target->flush();
    } catch (...) {
      // A sink that fails loses the line, not the fork.
    }
  }

  // The fork handlers. The hold spans the fork, from one handler to the
  // next, so it cannot be a scope; t_heldForFork tells the second handler
  // whether the first took the mutexes (it does not until the constructor
  // has made the output), on the forking thread, which the child's only
  // thread copies. Other handlers that run meanwhile may write lines
  // (WriteHeldForFork), but not flush or reconfigure the log.
  static void HoldForFork() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    LogState* state = s_forkable.load(std::memory_order_acquire);
    if (state == nullptr) return;
    state->m_flushMutex.Lock();
    state->m_configMutex.Lock();
    TargetMutex().Lock();
    t_heldForFork = true;
  }
  static void ReleaseAfterFork() KELCACHE_NO_THREAD_SAFETY_ANALYSIS {
    if (!t_heldForFork) return;
    t_heldForFork = false;
    LogState* state = s_forkable.load(std::memory_order_acquire);
    TargetMutex().Unlock();
    state->m_configMutex.Unlock();
    state->m_flushMutex.Unlock();
  }
  static inline std::atomic<LogState*> s_forkable{nullptr};

  TMutex m_flushMutex;
  TMutex m_configMutex KELCACHE_ACQUIRED_AFTER(m_flushMutex);
  std::shared_ptr<spdlog::sinks::sink> m_target KELCACHE_GUARDED_BY(m_configMutex);
  Output m_output KELCACHE_GUARDED_BY(m_configMutex);
  std::shared_ptr<spdlog::details::thread_pool> m_pool KELCACHE_GUARDED_BY(m_configMutex);
  // The fork generation m_pool's thread belongs to.
  uint64_t m_poolGeneration KELCACHE_GUARDED_BY(m_configMutex) = 0;
};

// The state, or null when it cannot be made now (no memory at the log's
// first use): the entry points below then do without it, and a later call
// tries again.
LogState* TryGetState() noexcept {
  try {
    return &LogState::Get();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void SetLevel(AnySeverity level) noexcept {
  if (LogState* state = TryGetState()) state->m_level.store(level.Level());
}

AnySeverity GetLevel() noexcept {
  LogState* state = TryGetState();
  return state ? AnySeverity::FromLevel(state->m_level.load()) : AnySeverity(kDefaultLevel);
}

void LogToStderr() noexcept {
  try {
    LogState::Get().SetTarget(NewStderrTarget());
  } catch (...) {
  }
}

bool LogToFile(const std::string& path) noexcept {
  try {
    auto file = OpenFile(path);
    if (!file) return false;
    LogState::Get().SetTarget(std::move(file));
    return true;
  } catch (...) {
    return false;
  }
}

void SetAsynchronous(bool asynchronous) noexcept {
  try {
    LogState::Get().SetAsynchronous(asynchronous);
  } catch (...) {
  }
}

bool IsAsynchronous() noexcept {
  LogState* state = TryGetState();
  return state != nullptr && state->IsAsynchronous();
}

uint64_t DroppedLineCount() noexcept {
  LogState* state = TryGetState();
  return state ? state->Dropped() : 0;
}

void Flush() noexcept {
  if (LogState* state = TryGetState()) state->Flush();
}

namespace internal {

bool SinkAccepts(AnySeverity severity) noexcept {
  LogState* state = TryGetState();
  return state != nullptr && state->SinkAccepts(severity);
}

void WriteToSink(AnySeverity severity, const std::string& line) {
  LogState::Get().Write(severity, line);
}

uint64_t CurrentThreadId() noexcept {
  // The system's id of the thread, kept per thread and read again in a child
  // forked without exec, whose thread has an id of its own (spdlog's cached
  // one would still be the forking parent thread's).
  thread_local uint64_t t_generation = 0;
  thread_local uint64_t t_id = 0;
  const uint64_t generation = ForkGeneration() + 1;
  if (t_generation != generation) {
    t_id = static_cast<uint64_t>(::syscall(SYS_gettid));
    t_generation = generation;
  }
  return t_id;
}

}  // namespace internal

}  // namespace TLog

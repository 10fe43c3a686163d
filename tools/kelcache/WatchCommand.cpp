// kelcache watch: the coherence service's messages as they pass, decoded.
//
// It subscribes, with a subscription manager of its own over the pool's
// publish/subscribe server (any node of a cluster), to the channels that
// begin with the prefix, and prints each message: the key hash (from the
// channel), the value hash and the timestamp as a date. Once a second that
// saw messages it prints how many. A message the service could not read, or
// not read as it was meant, is shown as malformed and the watch goes on.
//
// Threads: messages arrive on the manager's thread; the main thread waits
// for SIGINT or SIGTERM (blocked in every thread, taken with sigtimedwait)
// and wakes once a second for the count. m_outputMutex keeps their lines
// whole.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "host/DateTime.h"
#include "host/TMutex.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "tools/kelcache/CoherenceDecoding.h"
#include "tools/kelcache/Commands.h"
#include "tools/kelcache/Subcommand.h"
#include "tools/kelcache/Console.h"
#include "tools/kelcache/Json.h"
#include "tools/kelcache/RedisSetup.h"
#include "host/Utf8Text.h"
#include "tools/kelcache/Text.h"
#include "tools/kelcache/ToolError.h"

namespace kelcache_cli {

namespace {

using kelvra::caching::RedisConnectionPool;
using kelvra::caching::RedisSubscriptionManager;

struct WatchOptions {
  RedisServerOptions server;
  std::string channel = "defaultns.";
  bool json = false;
  uint64_t stopAfter = 0;
};

std::string Now(bool iso) {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  // The present always has a reading.
  if (iso) return FormatLocalTime(now, true).value_or("");
  return FormatDateTime(ToLocalTime(now).value_or(LocalReading{}).representation, ' ', true).substr(11);
}

// Prints messages and counts them, up to stopAfter (0: no limit). A line
// that cannot be written (stdout closed or full) is not raised on the
// manager's thread, which would only log it: the watcher keeps the failure
// and prints nothing more; RaiseOutputFailure raises it on the main thread.
// Thread-safe: m_outputMutex serialises the lines, the stop count and the
// failure; the counters are atomics, read once a second.
class Watcher {
 public:
  Watcher(std::string prefix, bool json, uint64_t stopAfter)
      : m_prefix(std::move(prefix)), m_json(json), m_stopAfter(stopAfter) {}

  // On the manager's thread. True when this message was the last one to
  // print (the count is reached, or the output failed): time to stop.
  bool OnMessage(const TString& channelText, const void* data, int length) {
    const std::string channel = channelText.toStdString();
    const std::string message(static_cast<const char*>(data), length > 0 ? static_cast<size_t>(length) : 0);
    const DecodedMessage decoded = DecodeCoherenceMessage(m_prefix, channel, message);
    std::string line;
    if (m_json) {
      JsonWriter json;
      json.BeginObject();
      json.Key("type").String(decoded.wellFormed ? "message" : "malformed");
      json.Key("received").String(Now(true));
      json.Key("channel").String(channel);
      if (!decoded.wellFormed) {
        json.Key("message").String(message);
        if (!IsValidUtf8(message)) json.Key("message_hex").String(HexBytes(message));
        json.Key("problem").String(decoded.problem);
      }
      if (decoded.readable) {
        json.Key("key_hash").String(decoded.keyHash);
        json.Key("value_hash").String(decoded.valueHash);
        json.Key("timestamp").Number(decoded.timestamp);
        json.Key("time").String(FormatDateTime(decoded.timestamp, 'T', true));
      }
      json.EndObject();
      line = json.Text();
    } else {
      const std::string readAs = decoded.readable ? "key " + decoded.keyHash + "  value " + decoded.valueHash +
                                                        "  time " + FormatDateTime(decoded.timestamp, ' ', true)
                                                  : std::string();
      line = Now(false) + "  ";
      if (decoded.wellFormed) {
        line += readAs;
      } else {
        line += "malformed  channel '" + EscapeBytes(channel) + "'  message '" + EscapeBytes(message) +
                "': " + decoded.problem + (decoded.readable ? "; the service reads " + readAs : std::string());
      }
    }
    TMutexLock lock(m_outputMutex);
    // Messages that arrive before the main thread has unsubscribed are
    // neither printed nor counted.
    if (!m_outputFailure.empty() || (m_stopAfter > 0 && m_total.load() >= m_stopAfter)) return false;
    ++m_total;
    ++m_thisSecond;
    if (!decoded.wellFormed) ++m_malformed;
    return !PrintOrKeepFailure(line) || m_total.load() == m_stopAfter;
  }

  // On the manager's thread, after the connection was lost and the
  // subscription made again.
  // False when the output failed (time to stop).
  bool OnReconnected() {
    TMutexLock lock(m_outputMutex);
    if (!m_outputFailure.empty()) return false;
    if (m_json) {
      JsonWriter json;
      json.BeginObject().Key("type").String("reconnected").Key("received").String(Now(true)).EndObject();
      return PrintOrKeepFailure(json.Text());
    }
    return PrintOrKeepFailure(Now(false) + "  -- reconnected; messages published meanwhile were lost");
  }

  // On the main thread, once the manager has stopped.
  void RaiseOutputFailure() {
    TMutexLock lock(m_outputMutex);
    if (!m_outputFailure.empty()) throw FailureError(m_outputFailure);
  }

  // On the main thread, once a second.
  void EndOfSecond() {
    const uint64_t count = m_thisSecond.exchange(0);
    if (count == 0) return;
    TMutexLock lock(m_outputMutex);
    if (m_json) {
      JsonWriter json;
      json.BeginObject().Key("type").String("rate").Key("received").String(Now(true));
      json.Key("messages_per_second").Number(count).EndObject();
      PrintLine(json.Text());
    } else {
      PrintLine(Now(false) + "  -- " + CountOf(count, "message", "messages") +
                " in the last second");
    }
  }

  void Summary(std::chrono::milliseconds elapsed) {
    TMutexLock lock(m_outputMutex);
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", static_cast<double>(elapsed.count()) / 1000);
    if (m_json) {
      JsonWriter json;
      json.BeginObject().Key("type").String("summary").Key("messages").Number(m_total.load());
      json.Key("malformed").Number(m_malformed.load());
      json.Key("milliseconds").Number(static_cast<int64_t>(elapsed.count())).EndObject();
      PrintLine(json.Text());
    } else {
      PrintLine(CountOf(m_total.load(), "message", "messages") + " (" + std::to_string(m_malformed.load()) + " malformed) in " +
                text + " s");
    }
  }

  uint64_t Total() const { return m_total.load(); }

 private:
  bool PrintOrKeepFailure(const std::string& line) KELCACHE_REQUIRES(m_outputMutex) {
    try {
      PrintLine(line);
      return true;
    } catch (const FailureError& error) {
      m_outputFailure = error.what();
      return false;
    }
  }

  const std::string m_prefix;
  const bool m_json;
  const uint64_t m_stopAfter;
  std::string m_outputFailure KELCACHE_GUARDED_BY(m_outputMutex);
  std::atomic<uint64_t> m_total{0};
  std::atomic<uint64_t> m_thisSecond{0};
  std::atomic<uint64_t> m_malformed{0};
  TMutex m_outputMutex;
};

int RunWatch(const WatchOptions& options) {
  // Before any thread starts, so that every thread inherits the mask and the
  // signals wait for sigtimedwait below. SIGUSR1 is the watch's own wake-up.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (options.channel.empty()) throw UsageError("--channel must not be empty");
  // Channels are text to the library: bytes that are not UTF-8 would be
  // replaced on the way, and another pattern watched.
  if (!IsValidUtf8(options.channel)) {
    throw UsageError("--channel '" + EscapeBytes(options.channel) + "' is not UTF-8 text");
  }
  ConfigurePool(options.server);
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  const std::string server = PoolDescription();
  ConnectOrFail(server, [&](std::string* whyNot) { return pool.LockPubSubConnection(whyNot); });

  // Exactly the channels that begin with the prefix, even when it holds
  // glob characters.
  const std::string patternText = EscapeGlob(options.channel) + "*";
  const TString pattern = TString::fromStdString(patternText);
  Watcher watcher(options.channel, options.json, options.stopAfter);
  const pid_t self = getpid();
  const auto started = std::chrono::steady_clock::now();
  {
    RedisSubscriptionManager manager;
    const uint64_t listener = manager.AddReconnectListener([&watcher, self] {
      if (!watcher.OnReconnected()) kill(self, SIGUSR1);
    });
    manager.Subscribe(pattern, [&watcher, self](const TString& channel, const void* data, int length) {
      if (watcher.OnMessage(channel, data, length)) kill(self, SIGUSR1);
    });
    std::fprintf(stderr, "kelcache: watching %s on %s (Ctrl-C to stop)\n", EscapeBytes(patternText).c_str(),
                 server.c_str());
    // Subscribe waited for the server's confirmation as long as the
    // configuration's time-outs allow; without it nothing may ever arrive.
    if (!manager.IsConfirmed(pattern)) {
      std::fprintf(stderr,
                   "kelcache: the server has not confirmed the subscription yet; still trying (the "
                   "library's warnings say why: KELCACHE_LOG_LEVEL=warn)\n");
    }

    // Looked at once a second: a subscription lost (the server went away)
    // or confirmed at last is said on stderr, since no message may come
    // meanwhile to show either.
    bool confirmed = manager.IsConfirmed(pattern);
    auto nextSecond = started + std::chrono::seconds(1);
    for (;;) {
      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(nextSecond -
                                                                             std::chrono::steady_clock::now());
      timespec timeout{};
      if (wait.count() > 0) {
        timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
        timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000);
      }
      const int taken = sigtimedwait(&signals, nullptr, &timeout);
      if (taken == SIGINT || taken == SIGTERM || taken == SIGUSR1) break;
      if (taken < 0 && errno != EAGAIN && errno != EINTR) {
        throw FailureError(std::string("cannot wait for signals: ") + std::strerror(errno));
      }
      if (std::chrono::steady_clock::now() >= nextSecond) {
        watcher.EndOfSecond();
        nextSecond += std::chrono::seconds(1);
        const bool nowConfirmed = manager.IsConfirmed(pattern);
        if (confirmed != nowConfirmed) {
          std::fputs(nowConfirmed ? "kelcache: the server confirmed the subscription\n"
                                  : "kelcache: the subscription was lost; still trying (messages published "
                                    "meanwhile are lost)\n",
                     stderr);
        }
        confirmed = nowConfirmed;
      }
    }
    manager.Unsubscribe(pattern);
    manager.RemoveReconnectListener(listener);
  }  // the manager's thread ends here
  watcher.RaiseOutputFailure();
  watcher.EndOfSecond();
  watcher.Summary(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started));
  return kExitOk;
}

}  // namespace

void AddWatchCommand(CLI::App& app, Action& action) {
  auto [command, watch] = AddSubcommand<WatchOptions>(
      app, "watch", "Print the coherence messages as they pass, decoded, with a count per second (Ctrl-C stops)",
      action, RunWatch);
  AddServerOptions(command, watch->server);
  command->add_option("--channel", watch->channel,
                      "The coherence channel prefix (default defaultns., the process-wide service's)");
  command->add_flag("--json", watch->json, "Print one JSON object per line for scripts");
  command->add_option("-n,--messages", watch->stopAfter, "Stop after this many messages (default, or 0: run until stopped)")
      ->transform(DecimalNumber<uint64_t>())
      ->check(CLI::Validator(
          [](std::string& text) {
            // The count is unsigned: CLI11 would wrap a negative one.
            return text.find('-') == std::string::npos ? std::string() : "must be 0 or more, not " + text;
          },
          "COUNT"));
}

}  // namespace kelcache_cli

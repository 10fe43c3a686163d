#include "host/redis/RedisCluster.h"

#include <algorithm>
#include <cctype>
#include <thread>

#include "host/TFormatString.h"
#include "host/TLog.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisKeySlot.h"
#include "host/redis/RedisServerLink.h"

namespace kelvra::caching {

namespace {

constexpr unsigned kFailureLogBurst = 3;
constexpr std::chrono::seconds kFailureLogInterval{10};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// The slot of a command whose first argument is its key; nothing for the
// others, which any node serves.
std::optional<uint16_t> RoutingSlot(std::span<const std::string_view> arguments) {
  static constexpr std::string_view kKeyed[] = {
      "GET",    "SET",    "SETEX",  "PSETEX", "SETNX",  "GETEX",   "GETDEL",   "GETSET",    "DEL",
      "UNLINK", "EXISTS", "TTL",    "PTTL",   "EXPIRE", "PEXPIRE", "EXPIREAT", "PEXPIREAT", "PERSIST",
      "TYPE",   "STRLEN", "APPEND", "INCR",   "DECR",   "INCRBY",  "DECRBY"};
  if (arguments.size() < 2) return std::nullopt;
  for (std::string_view name : kKeyed) {
    if (EqualsIgnoringCase(arguments[0], name)) return RedisKeySlot(arguments[1]);
  }
  return std::nullopt;
}

// Error replies after which the same command may work a moment later.
enum class Transient { kNo, kPause, kRefreshAndPause };

Transient TransientError(std::string_view text) {
  if (text.starts_with("TRYAGAIN")) return Transient::kPause;  // keys of a migrating slot, for now
  if (text.starts_with("LOADING")) return Transient::kPause;   // a node loading its data
  if (text.starts_with("CLUSTERDOWN") || text.starts_with("MASTERDOWN")) return Transient::kRefreshAndPause;
  return Transient::kNo;
}

std::string CommandName(std::span<const std::string_view> arguments) {
  return arguments.empty() ? std::string("(empty command)") : std::string(arguments[0]);
}

}  // namespace

RedisCluster::RedisCluster(std::vector<RedisServerAddress> listedNodes, RedisPoolOptions options,
                           RedisTransportFactory factory)
    : m_listedNodes(std::move(listedNodes)),
      m_options(std::move(options)),
      m_factory(std::move(factory)),
      m_failureLog(kFailureLogBurst, kFailureLogInterval) {
  TMutexLock lock(m_mutex);
  for (const RedisServerAddress& node : m_listedNodes) LinkTo(node);
}

RedisCluster::~RedisCluster() = default;

RedisCluster::LinkPtr RedisCluster::LinkTo(const RedisServerAddress& address) {
  LinkPtr& link = m_links[address.ToString()];
  if (!link) link = std::make_shared<RedisServerLink>(address, m_options, m_factory);
  return link;
}

std::vector<RedisCluster::LinkPtr> RedisCluster::FetchCandidates(Clock::time_point now) const {
  std::vector<LinkPtr> candidates;
  if (m_view) candidates = m_view->links;  // in the map's order (RedisSlotMap::Nodes)
  for (const RedisServerAddress& node : m_listedNodes) {
    const LinkPtr& link = m_links.at(node.ToString());
    if (std::find(candidates.begin(), candidates.end(), link) == candidates.end()) candidates.push_back(link);
  }
  // Nodes silent lately go last, each group in its order.
  std::vector<LinkPtr> silent;
  std::vector<LinkPtr> ordered;
  ordered.reserve(candidates.size());
  for (LinkPtr& link : candidates) {
    const auto since = m_silentSince.find(link->Address().ToString());
    const bool lately = since != m_silentSince.end() && now - since->second < kSilentFor;
    (lately ? silent : ordered).push_back(std::move(link));
  }
  ordered.insert(ordered.end(), silent.begin(), silent.end());
  return ordered;
}

void RedisCluster::NoteSilent(const std::string& address, Clock::time_point now) {
  std::erase_if(m_silentSince, [now](const auto& entry) { return now - entry.second >= kSilentFor; });
  m_silentSince[address] = now;
}

RedisCluster::ViewPtr RedisCluster::InstallView(std::shared_ptr<const RedisSlotMap> map) {
  auto view = std::make_shared<View>();
  view->links.reserve(map->Nodes().size());
  for (const RedisSlotMap::Node& node : map->Nodes()) view->links.push_back(LinkTo(node.address));
  view->map = std::move(map);
  // Links of nodes that left the cluster go (commands still using them keep
  // them alive until they end); listed nodes stay for later fetches.
  for (auto it = m_links.begin(); it != m_links.end();) {
    const bool inView = std::find(view->links.begin(), view->links.end(), it->second) != view->links.end();
    const bool listed = std::any_of(m_listedNodes.begin(), m_listedNodes.end(),
                                    [&](const RedisServerAddress& s) { return s.ToString() == it->first; });
    it = inView || listed ? std::next(it) : m_links.erase(it);
  }
  m_masters.store(view->map->MasterCount(), std::memory_order_relaxed);
  m_view = view;
  return view;
}

std::shared_ptr<const RedisSlotMap> RedisCluster::FetchMap(const std::vector<LinkPtr>& candidates,
                                                           Clock::time_point deadline,
                                                           RedisServerAddress* answeredBy,
                                                           std::string* failures, std::vector<std::string>* silent,
                                                           bool* outOfTime) {
  static constexpr std::string_view kClusterSlots[] = {"CLUSTER", "SLOTS"};
  for (const LinkPtr& link : candidates) {
    // The first node is always asked; a later one only while a silent node's
    // whole time-out still fits, so that the fetch keeps to its deadline.
    const Clock::time_point now = Clock::now();
    if (now >= deadline || (link != candidates.front() && deadline - now < m_options.commandTimeout)) {
      *failures += (failures->empty() ? "" : "; ") + std::string("out of time");
      *outOfTime = true;
      break;
    }
    std::string failure;
    try {
      RedisPipe::Outcome outcome = link->Execute(kClusterSlots);
      if (outcome.failure == RedisPipe::Failure::kTimeout) silent->push_back(link->Address().ToString());
      if (outcome.failure != RedisPipe::Failure::kNone) {
        failure = outcome.message;
      } else if (outcome.reply->type == RedisReply::Type::kError) {
        failure = "Redis: " + link->Address().ToString() + " answered " + outcome.reply->text;
      } else {
        std::shared_ptr<const RedisSlotMap> map =
            RedisSlotMap::FromClusterSlots(*outcome.reply, link->Address());
        if (map->MasterCount() > 0) {
          *answeredBy = link->Address();
          return map;
        }
        // A node that has not joined a cluster yet knows no slots.
        failure = "Redis: " + link->Address().ToString() + " knows no master that serves slots";
      }
    } catch (const RedisTimeoutError& error) {
      // No connection within the time-out (a host that drops the packets, a
      // name not resolved): as silent as a node that does not answer.
      silent->push_back(link->Address().ToString());
      failure = error.what();
    } catch (const std::exception& error) {
      failure = error.what();
    }
    *failures += (failures->empty() ? "" : "; ") + failure;
  }
  return nullptr;
}

RedisCluster::ViewPtr RedisCluster::RefreshView(RefreshKind kind, Clock::time_point deadline) {
  std::vector<LinkPtr> candidates;
  {
    TMutexLock lock(m_mutex);
    const Clock::time_point now = Clock::now();
    if (!m_view) kind = RefreshKind::kNeeded;  // nothing to go on with
    if (m_refreshing) {
      if (kind == RefreshKind::kIfDue) return m_view;
      // Wait for the fetch in progress rather than start a second one.
      while (m_refreshing) {
        if (!m_refreshEnded.WaitUntil(lock, deadline)) break;
      }
      return m_view;
    }
    if (now - m_lastAttemptEnded < kMinRefreshInterval) return m_view;
    if (kind == RefreshKind::kIfDue && m_view && !m_refreshWanted && now - m_fetchedAt < kRefreshInterval) {
      return m_view;
    }
    // Before the flag: running out of memory here must not leave it set.
    candidates = FetchCandidates(now);
    m_refreshing = true;
  }

  RedisServerAddress answeredBy;
  std::string failures;
  std::vector<std::string> silent;
  bool outOfTime = false;
  std::shared_ptr<const RedisSlotMap> map;
  try {
    map = FetchMap(candidates, deadline, &answeredBy, &failures, &silent, &outOfTime);
  } catch (...) {
    failures = "out of memory";  // FetchMap catches the rest
  }
  candidates.clear();  // let go of links outside the lock

  ViewPtr view;
  bool changed = false;
  bool installed = false;
  bool installFailed = false;
  {
    TMutexLock lock(m_mutex);
    m_refreshing = false;
    m_lastAttemptEnded = Clock::now();
    try {
      for (const std::string& address : silent) NoteSilent(address, m_lastAttemptEnded);
      if (map) m_silentSince.erase(answeredBy.ToString());
      if (map) {
        changed = !m_view || !m_view->map->SameAs(*map);
        InstallView(map);
        installed = true;
        m_fetchedAt = m_lastAttemptEnded;
        m_refreshWanted = false;
        m_lastFailure.clear();
      } else {
        m_lastFailure = failures;
      }
    } catch (...) {
      // Out of memory: a map that could not be installed counts as not
      // fetched; the waiters are woken all the same.
      installFailed = map != nullptr;
    }
    // Before the waiters wake: they read it as soon as they do. A fetch that
    // ran out of time before it had asked every node has not failed on every
    // node: the cluster stays as available as it was (the nodes not asked
    // may well serve their slots).
    if (installed || !outOfTime) m_available.store(installed, std::memory_order_relaxed);
    view = m_view;
  }
  m_refreshEnded.NotifyAll();

  if (installed) {
    m_refreshes.fetch_add(1, std::memory_order_relaxed);
    if (changed) {
      LogMessage(TLog::Info, TFormatString(u"RedisCluster: slot map from %1: %2")
                                 .arg(TString::fromStdString(answeredBy.ToString()))
                                 .arg(TString::fromStdString(map->Describe())));
    }
  } else {
    m_failedRefreshes.fetch_add(1, std::memory_order_relaxed);
    if (const LogRateLimiter::Decision decision = m_failureLog.Next(); decision.write) {
      TFormatString line(u"RedisCluster: no node gave the slot map (%1)%2");
      line.arg(installFailed ? TString(u"out of memory while installing the slot map")
                             : TString::fromStdString(failures));
      line.arg(decision.LeftOutNote());
      LogMessage(TLog::Warn, line);
    }
  }
  return view;
}

RedisCluster::ViewPtr RedisCluster::ViewForCommand(Clock::time_point deadline) {
  return RefreshView(RefreshKind::kIfDue, deadline);
}

RedisCluster::ViewPtr RedisCluster::AdoptMoved(const RedisRedirection& moved) {
  TMutexLock lock(m_mutex);
  m_refreshWanted = true;
  const RedisSlotMap& map = *m_view->map;
  const int owner = map.MasterOf(moved.slot);
  if (owner != RedisSlotMap::kNoNode && map.Nodes()[static_cast<size_t>(owner)].address == moved.address) {
    return m_view;  // another command has learnt it already
  }
  return InstallView(map.WithSlotServedBy(moved.slot, moved.address));
}

RedisReplyPtr RedisCluster::Execute(std::span<const std::string_view> arguments,
                                    const std::shared_ptr<const void>& keepAlive,
                                    RedisServerAddress* servedBy) {
  const Clock::time_point deadline = Clock::now() + m_options.connectTimeout + m_options.commandTimeout;
  const std::optional<uint16_t> slot = RoutingSlot(arguments);
  ViewPtr view = ViewForCommand(deadline);
  if (!view) throw RedisIoError(TString::fromStdString("Redis Cluster: " + WhyUnavailable()));

  LinkPtr target;       // set by a redirection; else the slot's master (or any node)
  bool asking = false;  // send ASKING first
  size_t anyNode = 0;   // for commands without a key: the node to try
  std::chrono::milliseconds pause = kFirstRetryPause;
  std::string lastFailure;
  for (int redirections = 0;; ++redirections) {
    if (redirections > kMaxRedirections) {
      throw RedisIoError(TString::fromStdString("Redis Cluster: " + CommandName(arguments) +
                                                " gave up after " + std::to_string(kMaxRedirections) +
                                                " redirections or retries; the last: " + lastFailure));
    }
    if (redirections > 0 && Clock::now() >= deadline) {
      throw RedisIoError(TString::fromStdString("Redis Cluster: " + CommandName(arguments) +
                                                " ran out of time after " + std::to_string(redirections) +
                                                " redirections or retries; the last: " + lastFailure));
    }
    if (!target) {
      const std::vector<RedisSlotMap::Node>& nodes = view->map->Nodes();
      if (slot) {
        const int master = view->map->MasterOf(*slot);
        if (master != RedisSlotMap::kNoNode) target = view->links[static_cast<size_t>(master)];
      } else if (!nodes.empty()) {
        target = view->links[anyNode % nodes.size()];
      }
      if (!target) {
        // No master serves the slot (yet): a new map may know one.
        lastFailure = "no master serves slot " + std::to_string(*slot);
        view = RefreshView(RefreshKind::kNeeded, deadline);
        continue;
      }
    }

    RedisPipe::Outcome outcome;
    try {
      outcome = target->Execute(arguments, keepAlive, asking);
    } catch (const RedisReplyError&) {
      throw;  // the node refused AUTH or SELECT: a matter of configuration
    } catch (const RedisTimeoutError& error) {
      // No connection within the time-out (a host that drops the packets):
      // as silent as a node that let a command time out, so the fetch below,
      // which has only what is left of this command's time, asks it last.
      {
        TMutexLock lock(m_mutex);
        NoteSilent(target->Address().ToString(), Clock::now());
      }
      outcome.failure = RedisPipe::Failure::kIo;
      outcome.message = error.what();
    } catch (const RedisError& error) {
      // No connection could be made (refused, in the back-off, timed out).
      outcome.failure = RedisPipe::Failure::kIo;
      outcome.message = error.what();
    }

    if (outcome.failure == RedisPipe::Failure::kTimeout) {
      // The time-out has been spent; a later command fetches the map, which
      // may name a new master by then, asking this node last.
      {
        TMutexLock lock(m_mutex);
        m_refreshWanted = true;
        NoteSilent(target->Address().ToString(), Clock::now());
      }
      throw RedisTimeoutError(TString::fromStdString(outcome.message));
    }

    if (outcome.failure == RedisPipe::Failure::kIo) {
      lastFailure = outcome.message;
      const LinkPtr failed = std::move(target);
      asking = false;
      view = RefreshView(RefreshKind::kNeeded, deadline);
      if (!slot) {
        ++anyNode;  // a command without a key moves on to the next node
        continue;
      }
      const int master = view->map->MasterOf(*slot);
      if (master == RedisSlotMap::kNoNode || view->links[static_cast<size_t>(master)] == failed) {
        // The map still names the node that failed: fail now rather than
        // knock again (its replica takes over only after the node time-out).
        throw RedisIoError(TString::fromStdString(outcome.message));
      }
      continue;
    }

    RedisReplyPtr& reply = outcome.reply;
    if (reply->type != RedisReply::Type::kError) {
      m_available.store(true, std::memory_order_relaxed);
      if (servedBy) *servedBy = target->Address();
      return std::move(reply);
    }
    std::optional<RedisRedirection> redirection = RedisRedirection::Parse(reply->text, target->Address());
    if (redirection && redirection->address.port != 0) {
      lastFailure = reply->text;
      if (redirection->kind == RedisRedirection::Kind::kMoved) {
        m_moved.fetch_add(1, std::memory_order_relaxed);
        view = AdoptMoved(*redirection);
        asking = false;
      } else {
        m_asked.fetch_add(1, std::memory_order_relaxed);
        asking = true;
      }
      TMutexLock lock(m_mutex);
      target = LinkTo(redirection->address);
      continue;
    }
    const Transient transient = redirection ? Transient::kRefreshAndPause : TransientError(reply->text);
    if (transient == Transient::kNo) {
      // An ordinary error reply (a wrong type, a bad expiry): the caller's.
      m_available.store(true, std::memory_order_relaxed);
      if (servedBy) *servedBy = target->Address();
      return std::move(reply);
    }
    lastFailure = reply->text;
    target.reset();
    asking = false;
    if (transient == Transient::kRefreshAndPause) view = RefreshView(RefreshKind::kNeeded, deadline);
    const Clock::time_point wakeAt = std::min(deadline, Clock::now() + pause);
    std::this_thread::sleep_until(wakeAt);
    pause *= 2;
  }
}

bool RedisCluster::IsAvailable() {
  if (m_available.load(std::memory_order_relaxed)) return true;
  RefreshView(RefreshKind::kNeeded, Clock::now() + m_options.connectTimeout + m_options.commandTimeout);
  return m_available.load(std::memory_order_relaxed);
}

std::string RedisCluster::WhyUnavailable() const {
  TMutexLock lock(m_mutex);
  return "no node gave the slot map (" + m_lastFailure + ")";
}

bool RedisCluster::Refresh() {
  return RefreshView(RefreshKind::kNeeded,
                     Clock::now() + m_options.connectTimeout + m_options.commandTimeout) != nullptr;
}

std::shared_ptr<const RedisSlotMap> RedisCluster::SlotMap() const {
  TMutexLock lock(m_mutex);
  return m_view ? m_view->map : nullptr;
}

std::optional<RedisServerAddress> RedisCluster::MasterFor(std::string_view key) {
  std::shared_ptr<const RedisSlotMap> map = SlotMap();
  if (!map && Refresh()) map = SlotMap();
  if (!map) return std::nullopt;
  const int master = map->MasterOf(RedisKeySlot(key));
  if (master == RedisSlotMap::kNoNode) return std::nullopt;
  return map->Nodes()[static_cast<size_t>(master)].address;
}

std::vector<RedisServerAddress> RedisCluster::SubscriptionServers() const {
  std::vector<RedisServerAddress> servers = m_listedNodes;
  if (std::shared_ptr<const RedisSlotMap> map = SlotMap()) {
    for (const RedisSlotMap::Node& node : map->Nodes()) {
      if (std::find(servers.begin(), servers.end(), node.address) == servers.end())
        servers.push_back(node.address);
    }
  }
  return servers;
}

RedisCluster::Statistics RedisCluster::GetStatistics() const {
  Statistics statistics;
  statistics.moved = m_moved.load(std::memory_order_relaxed);
  statistics.asked = m_asked.load(std::memory_order_relaxed);
  statistics.refreshes = m_refreshes.load(std::memory_order_relaxed);
  statistics.failedRefreshes = m_failedRefreshes.load(std::memory_order_relaxed);
  return statistics;
}

}  // namespace kelvra::caching

// kelcache redis get|put|drop|ttl|scan: the entries of one namespace of the
// Redis store, under the physical keys the store uses
// (RedisExternalCache::MakePhysicalCacheKey: namespace, a line feed, the
// key), on the server the pool's configuration names (in a cluster, the
// node that serves the physical key's slot). The pool is configured with the host's own texts
// (RedisExternalCache::InitializeConnectionPool, docs/redis.md).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <unordered_set>
#include <utility>

#include "host/Errors.h"
#include "host/Utf8Text.h"
#include "host/redis/RedisCluster.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisSlotMap.h"
#include "public/caching/RedisExternalCache.h"
#include "tools/kelcache/Commands.h"
#include "tools/kelcache/Subcommand.h"
#include "tools/kelcache/Console.h"
#include "tools/kelcache/Json.h"
#include "tools/kelcache/KeyArgument.h"
#include "tools/kelcache/Progress.h"
#include "tools/kelcache/RedisSetup.h"
#include "tools/kelcache/Text.h"
#include "tools/kelcache/ToolError.h"

namespace kelcache_cli {

namespace {

// The Redis client services and the Redis store.
using namespace kelvra::caching;

struct RedisOptions {
  RedisServerOptions server;
  std::string ns;
  bool json = false;
};

struct KeyOptions : RedisOptions {
  KeyArgument key;
};

// The longest --ttl: the server counts an expiry in milliseconds from now in
// 64 bits, and refuses one that would not fit (SETEX answers "invalid expire
// time"). This bound leaves room for the clock for millions of years.
constexpr int64_t kLargestTtlSeconds = 9'000'000'000'000'000;

void AddCommonOptions(CLI::App* command, RedisOptions& options) {
  AddServerOptions(command, options.server);
  command->add_option("--ns", options.ns, "The cache namespace")->required();
  command->add_flag("--json", options.json, "Print JSON for scripts instead of text for people");
}

void AddKeyOptions(CLI::App* command, KeyOptions& options) {
  AddCommonOptions(command, options);
  AddKeyArgument(command, options.key);
}

// The namespace, as UTF-8 text without a line feed: with one, its physical
// keys could not be told from another namespace's ("a" with key "b\nc" and
// "a\nb" with key "c"), and a scan would list the other's keys too.
TString Namespace(const std::string& ns) {
  if (!IsValidUtf8(ns)) throw UsageError("--ns '" + EscapeBytes(ns) + "' is not UTF-8 text");
  if (ns.find('\n') != std::string::npos) {
    throw UsageError("--ns '" + EscapeBytes(ns) + "' holds a line feed, which would mix its keys with another "
                                                  "namespace's");
  }
  return TString::fromStdString(ns);
}

// The entry's key, its physical key and a connection to its server.
struct Entry {
  TString key;
  std::string physicalKey;
  std::unique_ptr<RedisConnectionGuard> guard;
  std::string server;

  RedisConnection& Connection() { return guard->GetConnection(); }
};

Entry OpenEntry(const KeyOptions& options) {
  const TString ns = Namespace(options.ns);
  Entry entry;
  entry.key = options.key.Key();
  ConfigurePool(options.server);
  entry.physicalKey = RedisExternalCache::MakePhysicalCacheKey(ns, entry.key);
  entry.server = PoolDescription();
  entry.guard = ConnectOrFail(entry.server, [&](std::string* whyNot) {
    return RedisConnectionPool::FindAndLockPooledConnection(entry.key, whyNot);
  });
  return entry;
}

std::string Quoted(const TString& key) {
  return "'" + ShowKey(key.toStdString()) + "'";
}

// What the commands say when the entry holds no value.
MissError NoValueFor(const Entry& entry, const std::string& ns) {
  return MissError("no value for key " + Quoted(entry.key) + " in namespace '" + ShowKey(ns) + "' on " + entry.server);
}

// Opens a JSON object with the entry's key and server.
void BeginEntryJson(JsonWriter& json, const Entry& entry) {
  json.BeginObject();
  AddJsonKey(json, entry.key.toStdString());
  json.Key("server").String(entry.server);
}

// Runs one command, turning the client's errors into the tool's.
template <class Command>
auto Issue(const Entry& entry, Command&& command) {
  try {
    return command();
  } catch (const RedisError& error) {
    throw FailureError(error.GetMessage().toStdString() + " (server " + entry.server + ")");
  }
}

int RunGet(const KeyOptions& options, const std::string& output) {
  Entry entry = OpenEntry(options);
  const RedisConnection::Value value = Issue(entry, [&] { return entry.Connection().Get(entry.physicalKey); });
  if (!value) {
    throw NoValueFor(entry, options.ns);
  }
  const std::string_view bytes(reinterpret_cast<const char*>(value->data()), value->size());
  if (!output.empty()) WriteAllOutput(output, bytes);
  if (options.json) {
    JsonWriter json;
    BeginEntryJson(json, entry);
    json.Key("size").Number(uint64_t{value->size()});
    if (output.empty()) {
      json.Key("value_base64").String(Base64(bytes));
    } else {
      json.Key("file").String(output);
    }
    json.EndObject();
    PrintLine(json.Text());
  } else if (output.empty()) {
    WriteAllOutput(std::string(), bytes);
  }
  return kExitOk;
}

int RunPut(const KeyOptions& options, const std::string& input, int64_t ttlSeconds) {
  if (ttlSeconds < 0) throw UsageError("--ttl must be at least 1 second");
  const std::string bytes = ReadValueInput(input);
  Entry entry = OpenEntry(options);
  auto value = std::make_shared<std::vector<uint8_t>>(bytes.begin(), bytes.end());
  const bool stored = Issue(entry, [&] {
    return ttlSeconds > 0 ? entry.Connection().SetEx(entry.physicalKey, std::chrono::seconds(ttlSeconds), value)
                          : entry.Connection().Set(entry.physicalKey, value);
  });
  if (!stored) throw FailureError("the server " + entry.server + " did not take the value");
  if (options.json) {
    JsonWriter json;
    BeginEntryJson(json, entry);
    json.Key("size").Number(uint64_t{bytes.size()});
    json.Key("ttl_seconds");
    ttlSeconds > 0 ? json.Number(ttlSeconds) : json.Null();
    json.EndObject();
    PrintLine(json.Text());
  } else {
    PrintLine("stored " + Quoted(entry.key) + " (" + CountOf(bytes.size(), "byte", "bytes") +
              (ttlSeconds > 0 ? ", expires in " + std::to_string(ttlSeconds) + " s" : std::string()) + ") on " +
              entry.server);
  }
  return kExitOk;
}

int RunDrop(const KeyOptions& options) {
  Entry entry = OpenEntry(options);
  const int64_t removed = Issue(entry, [&] { return entry.Connection().Del(entry.physicalKey); });
  if (removed == 0) {
    throw NoValueFor(entry, options.ns);
  }
  if (options.json) {
    JsonWriter json;
    BeginEntryJson(json, entry);
    json.Key("dropped").Bool(true);
    json.EndObject();
    PrintLine(json.Text());
  } else {
    PrintLine("dropped " + Quoted(entry.key) + " on " + entry.server);
  }
  return kExitOk;
}

int RunTtl(const KeyOptions& options) {
  Entry entry = OpenEntry(options);
  const int64_t ttl = Issue(entry, [&] { return entry.Connection().Ttl(entry.physicalKey); });
  if (ttl == -2) {
    throw NoValueFor(entry, options.ns);
  }
  if (options.json) {
    JsonWriter json;
    BeginEntryJson(json, entry);
    json.Key("ttl_seconds");
    ttl >= 0 ? json.Number(ttl) : json.Null();
    json.EndObject();
    PrintLine(json.Text());
  } else {
    PrintLine(ttl >= 0 ? std::to_string(ttl) + " s" : std::string("no expiry"));
  }
  return kExitOk;
}

struct ScanOptions : RedisOptions {
  int64_t count = 1000;
};

// The masters of the pool's cluster, from a slot map fetched now.
std::vector<RedisServerAddress> ClusterMasters(RedisConnectionPool& pool) {
  const std::string servers = PoolDescription();
  const std::shared_ptr<kelvra::caching::RedisCluster> cluster = pool.GetCluster();
  if (!cluster) throw FailureError("cannot read the slot map of the Redis cluster " + servers);
  if (!cluster->Refresh()) {
    const std::string why = cluster->WhyUnavailable();
    throw FailureError("cannot read the slot map of the Redis cluster " + servers + (why.empty() ? "" : ": " + why));
  }
  const std::shared_ptr<const kelvra::caching::RedisSlotMap> map = cluster->SlotMap();
  std::vector<RedisServerAddress> masters;
  for (const kelvra::caching::RedisSlotMap::Node& node : map->Nodes()) {
    if (node.master) masters.push_back(node.address);
  }
  if (masters.empty()) throw FailureError("the Redis cluster " + servers + " has no master that serves slots");
  return masters;
}

int RunScan(const ScanOptions& options) {
  const TString ns = Namespace(options.ns);
  if (options.count < 1) throw UsageError("--count must be at least 1");
  ConfigurePool(options.server);
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  const std::shared_ptr<const kelvra::caching::RedisPoolConfiguration> configuration = pool.GetConfiguration();

  // Every key of the namespace begins with this prefix, and only they do:
  // a namespace holds no line feed.
  const std::string prefix = RedisExternalCache::MakePhysicalCacheKey(ns, TString());
  const std::string match = EscapeGlob(prefix) + "*";

  // One server holds every key. A cluster spreads them over its masters,
  // which only its slot map names (the nodes given may be any few of its
  // nodes, replicas included): fetch the map, then walk each master through
  // a pool configured with that node alone. Replicas repeat their masters'
  // keys and are left out.
  std::vector<RedisServerAddress> nodes = configuration->servers;
  if (configuration->cluster) nodes = ClusterMasters(pool);
  std::vector<std::pair<std::string, std::string>> found;  // (key, server)
  std::set<std::string> listed;
  Progress progress("scanning keys", 0);
  for (const RedisServerAddress& server : nodes) {
    pool.Reset({{TString::fromStdString(server.host), server.port}}, TString::fromStdString(options.server.options));
    const std::string name = server.ToString();
    std::unique_ptr<RedisConnectionGuard> guard = ConnectOrFail(name, [&](std::string* whyNot) { return pool.LockPubSubConnection(whyNot); });
    std::set<std::string> keys;  // SCAN may give a key more than once
    // A walk ends when the server answers cursor 0, and never meets a
    // cursor twice before that: a server that repeats one (a broken one, or
    // something that is no Redis) would keep us walking for good.
    std::unordered_set<uint64_t> cursorsSeen;
    uint64_t cursor = 0;
    do {
      RedisConnection::ScanPage page;
      try {
        page = guard->GetConnection().Scan(cursor, match, options.count);
      } catch (const RedisError& error) {
        throw FailureError(error.GetMessage().toStdString() + " (server " + name + ")");
      }
      for (std::string& key : page.keys) {
        // The server filters: a key outside the namespace means the pattern
        // was wrong, which is worth a loud failure rather than a quiet skip.
        if (key.compare(0, prefix.size(), prefix) != 0) {
          throw FailureError("the server " + name + " matched the key '" + EscapeBytes(key) + "' outside the namespace");
        }
        keys.insert(key.substr(prefix.size()));
      }
      progress.Advance(page.keys.size());
      cursor = page.cursor;
      if (cursor != 0 && !cursorsSeen.insert(cursor).second) {
        throw FailureError("the server " + name + " answered SCAN with the cursor " + std::to_string(cursor) +
                           " a second time: its walk would not end");
      }
    } while (cursor != 0);
    for (const std::string& key : keys) {
      if (listed.insert(key).second) found.emplace_back(key, name);
    }
  }
  progress.Done();
  std::sort(found.begin(), found.end());

  if (options.json) {
    JsonWriter json;
    json.BeginObject();
    json.Key("namespace").String(options.ns);
    json.Key("keys").BeginArray();
    for (const auto& [key, server] : found) {
      json.BeginObject();
      AddJsonKey(json, key);
      json.Key("server").String(server);
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    PrintLine(json.Text());
  } else {
    const bool severalServers = nodes.size() > 1;
    for (const auto& [key, server] : found) PrintLine(ShowKey(key) + (severalServers ? "\t" + server : ""));
  }
  return kExitOk;
}

}  // namespace

void AddRedisCommands(CLI::App& app, Action& action) {
  CLI::App* redis = app.add_subcommand("redis", "The second-level cache in Redis: read, write, expire and list entries");
  redis->require_subcommand(1);

  struct GetOptions : KeyOptions {
    std::string output;
  };
  auto [getCommand, get] =
      AddSubcommand<GetOptions>(*redis, "get", "Write an entry's value to stdout or a file", action,
                                [](const GetOptions& options) { return RunGet(options, options.output); });
  AddKeyOptions(getCommand, *get);
  getCommand->add_option("-o,--output", get->output, "Write the value to this file instead of stdout")
      ->check(NamesAPath("a file"));

  struct PutOptions : KeyOptions {
    std::string input;
    int64_t ttlSeconds = 0;  // 0: no --ttl given
  };
  auto put = std::make_shared<PutOptions>();
  CLI::App* putCommand = redis->add_subcommand("put", "Store a value read from stdin or a file under a key");
  AddKeyOptions(putCommand, *put);
  putCommand->add_option("-i,--input", put->input, "Read the value from this file instead of stdin")
      ->check(NamesAPath("a file"))
      ->check(CLI::ExistingFile);
  CLI::Option* ttlOption =
      putCommand->add_option("--ttl", put->ttlSeconds, "Expire after this many seconds (SETEX); default: no expiry")
          ->transform(DecimalNumber<int64_t>(kLargestTtlSeconds));
  putCommand->callback([put, ttlOption, &action] {
    // A given --ttl must name an expiry: 0 would store without one.
    if (ttlOption->count() > 0 && put->ttlSeconds < 1) put->ttlSeconds = -1;
    action = [put] { return RunPut(*put, put->input, put->ttlSeconds); };
  });

  auto [dropCommand, drop] =
      AddSubcommand<KeyOptions>(*redis, "drop", "Remove an entry (exit 1 when there is none)", action, RunDrop);
  AddKeyOptions(dropCommand, *drop);

  auto [ttlCommand, ttl] = AddSubcommand<KeyOptions>(
      *redis, "ttl", "Show an entry's remaining time to live in seconds, or that it has no expiry", action, RunTtl);
  AddKeyOptions(ttlCommand, *ttl);

  auto [scanCommand, scan] = AddSubcommand<ScanOptions>(
      *redis, "scan", "List the keys of one namespace (SCAN with MATCH on the namespace's prefix), on every server",
      action, RunScan);
  AddCommonOptions(scanCommand, *scan);
  scanCommand->add_option("--count", scan->count, "How many keys the server looks at per SCAN call (default 1000)")
      ->transform(DecimalNumber<int64_t>());
}

}  // namespace kelcache_cli

// The configuration of the Redis connection pool: which servers, and how the
// pool talks to them. Both come from the host, as values or as text.
//
// Servers text: "host:port", for example "10.0.0.5:6379", "cache-2.example"
// or "[::1]:6379". White space around it is ignored; an IPv6 address goes in
// brackets; a missing ":port" means 6379. An empty text means no server at
// all. Several comma-separated items name the nodes of a cluster (below).
//
// The text names either one server or one Redis Cluster. A cluster is
// written "cluster:" followed by one or more of its nodes, the listed nodes, from
// which the pool learns the whole cluster:
//   "cluster:10.0.0.5:7000,10.0.0.6:7000"
// Any node will do as a listed node, master or replica; naming a few lets the pool
// start while some are down. A cluster has only database 0, so db= must stay
// 0. A lone server whose host is really named "cluster" is written in
// brackets: "[cluster]:6379".
//
// Several servers without "cluster:" are refused: the pool no longer spreads
// keys over independent servers itself (docs/redis.md says why).
//
// Options text: ';'-separated "name=value" items, in any order, each at most
// once; empty items are skipped, so a trailing ';' is fine. For example
//   "password=s3cret;db=2;connections=8;connect_timeout_ms=500;command_timeout_ms=1000;wait_ms=200"
//
//   name                 default  meaning
//   user                 (none)   ACL user name sent with AUTH (Redis 6+)
//   password             (none)   AUTH at every (re)connection when not empty
//   db                   0        SELECT at every (re)connection (0..100000)
//   connections          4        connections per server (1..1024)
//   connect_timeout_ms   500      bound on making a TCP connection (1..86400000)
//   command_timeout_ms   1000     bound on each wait for the server while a
//                                 command is written or its reply is read
//                                 (1..86400000)
//   wait_ms              200      how long FindAndLockPooledConnection waits
//                                 for a free connection when all are in use;
//                                 0 means not at all (0..86400000)
//   tls                  off      on: every connection (pooled and the
//                                 subscriber's) speaks TLS; never a fallback
//                                 to plain TCP
//   tls_ca_file          (none)   PEM file of the CAs trusted for the server's
//                                 certificate
//   tls_ca_dir           (none)   folder of hashed CA certificates (openssl
//                                 rehash); without either, the system's CAs
//   tls_cert_file        (none)   client certificate (chain), PEM, for mutual
//                                 TLS; needs tls_key_file
//   tls_key_file         (none)   its private key, PEM, not encrypted
//   tls_server_name      (none)   the name sent as SNI and checked in the
//                                 server's certificate instead of the host of
//                                 the servers text
//   tls_verify           on       off: accept any certificate (tests only)
//
// The tls_* items need tls=on. With tls=on, Parse loads the files into an
// OpenSSL context (host/redis/RedisTlsContext.h) shared by the configuration's
// connections, so a missing or bad file is an error of the options text.
//
// Names are matched exactly (lower case). Values are taken verbatim except
// that white space around numbers is ignored; inside a value "\;" stands for
// ';' and "\\" for '\', so a password may hold any character.
//
// Every parse error raises RedisConfigurationError whose message names the
// offending item and says what is wrong.
//
// Thread rules: plain values (the TLS context they may share is immutable);
// the parse functions touch nothing but the TLS files they are told to load.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/Export.h"
#include "host/TString.h"

namespace kelvra::caching {

class RedisTlsContext;

struct KELCACHE_EXPORT RedisServerAddress {
  std::string host;
  uint16_t port = 6379;

  // "host:port", or "[host]:port" for an IPv6 address.
  std::string ToString() const;
  bool operator==(const RedisServerAddress& other) const = default;
};

// The tls items of the options text (see the header comment).
struct KELCACHE_EXPORT RedisTlsOptions {
  bool enabled = false;
  std::string caFile;
  std::string caDirectory;
  std::string certFile;
  std::string keyFile;
  std::string serverName;
  bool verify = true;
  // The OpenSSL context made from the items above, shared by every
  // connection of the configuration; made by RedisPoolOptions::Parse when
  // `enabled`, null otherwise.
  std::shared_ptr<const RedisTlsContext> context;
};

struct KELCACHE_EXPORT RedisPoolOptions {
  std::string user;
  std::string password;
  int database = 0;
  int connectionsPerServer = 4;
  std::chrono::milliseconds connectTimeout{500};
  std::chrono::milliseconds commandTimeout{1000};
  std::chrono::milliseconds waitTimeout{200};
  RedisTlsOptions tls;

  // Parses the options text (see the header comment) and, with tls=on, loads
  // the TLS files. Raises RedisConfigurationError.
  static RedisPoolOptions Parse(const TString& text);
};

// Parses a list of servers (see the header comment), without the
// "cluster:" prefix. Raises RedisConfigurationError.
KELCACHE_EXPORT std::vector<RedisServerAddress> ParseRedisServers(const TString& text);

// Checks a list of (host, port) pairs and turns it into addresses: every host
// must be non-empty without white space, brackets or a port of its own (a ':'
// only in an IPv6 address, written without brackets), every port non-zero,
// and no server may be listed twice. Raises RedisConfigurationError.
KELCACHE_EXPORT std::vector<RedisServerAddress> MakeRedisServers(
    const std::vector<std::pair<TString, uint16_t>>& servers);

// One complete pool configuration: one server, or the listed nodes of a
// cluster.
struct KELCACHE_EXPORT RedisPoolConfiguration {
  std::vector<RedisServerAddress> servers;
  RedisPoolOptions options;
  // `servers` are the listed nodes of a Redis Cluster ("cluster:" in the text).
  bool cluster = false;
};

// The whole configuration from the servers text and the options text, or
// from (host, port) pairs (one pair: one server; several: the listed nodes of
// a cluster) and the options text. Checks what only the two together can
// tell: one server unless it is a cluster, and database 0 for a cluster. No
// servers at all
// gives an empty list. Raises RedisConfigurationError.
KELCACHE_EXPORT RedisPoolConfiguration ParseRedisPoolConfiguration(const TString& servers, const TString& options);
KELCACHE_EXPORT RedisPoolConfiguration MakeRedisPoolConfiguration(
    const std::vector<std::pair<TString, uint16_t>>& servers, const TString& options);

}  // namespace kelvra::caching

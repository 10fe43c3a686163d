// A redis-server that listens for TLS only, for the TLS tests and
// benchmarks: RedisServerProcess options with the TLS listener on a free
// loopback port (the one Port() and Address() then give; another is tried
// when a different process takes it first) and no plain one (--port 0).
//
//   kelcache_testing::TlsCertificates certs(folder);
//   kelcache_testing::RedisServerProcess server(kelcache_testing::TlsOnlyRedisServerOptions(
//       certs.serverCertFile, certs.serverKeyFile, certs.caFile, /*authClients=*/false));
//
// `caFile` holds the CAs whose client certificates the server accepts;
// `authClients` is tls-auth-clients: with true a client must show such a
// certificate (mutual TLS). The server is up once it accepts connections
// (a plain PING gets no answer from a TLS listener).
#pragma once

#include <string>

#include "testing/RedisServerProcess.h"

namespace kelcache_testing {

inline RedisServerProcess::Options TlsOnlyRedisServerOptions(const std::string& certFile,
                                                             const std::string& keyFile,
                                                             const std::string& caFile, bool authClients) {
  RedisServerProcess::Options options;
  options.tlsOnly = true;
  options.arguments = {"--tls-cert-file",    certFile, "--tls-key-file",     keyFile,
                       "--tls-ca-cert-file", caFile,   "--tls-auth-clients", authClients ? "yes" : "no"};
  return options;
}

}  // namespace kelcache_testing

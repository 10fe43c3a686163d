// RedisTlsContext: the OpenSSL client context (SSL_CTX) of one pool
// configuration with tls=on, shared by all its connections: the pooled
// pipes and the subscriber (host/redis/RedisTlsTransport.h makes one SSL
// object per connection from it).
//
// Made once, by RedisPoolOptions::Parse (so at RedisConnectionPool::Reset),
// from the tls items of the options text:
//   - TLS 1.2 or later; renegotiation off.
//   - Verification on (tls_verify, the default): the server's certificate
//     chain must lead to a CA of tls_ca_file or tls_ca_dir (without either,
//     the system's CAs), and the name checks of RedisTlsTransport::Connect
//     apply. Off: any certificate is accepted; for tests only, since anyone
//     on the path can then read and change the traffic.
//   - A client certificate and key (tls_cert_file, tls_key_file) for mutual
//     TLS; the key must belong to the certificate and must not be encrypted
//     (nothing would prompt for its passphrase).
// Every file is read here: one that is missing, unreadable or not what it
// should be raises RedisConfigurationError naming the item and the file.
//
// Thread rules: immutable once made. OpenSSL allows SSL objects to be made
// from one SSL_CTX on many threads at once as long as the SSL_CTX itself is
// not changed, and nothing changes it after Make.
#pragma once

#include <memory>
#include <string>

#include "host/Export.h"
#include "host/redis/RedisConfiguration.h"

struct ssl_ctx_st;

namespace kelvra::caching {

class KELCACHE_EXPORT RedisTlsContext {
 public:
  // Raises RedisConfigurationError (see above).
  static std::shared_ptr<const RedisTlsContext> Make(const RedisTlsOptions& options);
  ~RedisTlsContext();
  RedisTlsContext(const RedisTlsContext&) = delete;
  RedisTlsContext& operator=(const RedisTlsContext&) = delete;

  // The SSL_CTX, for SSL_new only; owned by this object.
  ssl_ctx_st* Native() const { return m_context; }
  // tls_server_name, or empty: then the host of the server's address.
  const std::string& ServerName() const { return m_serverName; }
  bool Verify() const { return m_verify; }

 private:
  RedisTlsContext(ssl_ctx_st* context, std::string serverName, bool verify);

  ssl_ctx_st* const m_context;
  const std::string m_serverName;
  const bool m_verify;
};

// Initialises OpenSSL now, if nothing did before. OpenSSL frees its state in
// an exit handler registered at its first initialisation, and exit handlers
// run in reverse order: one registered after this call runs while OpenSSL
// still works, so a thread it stops may still close its TLS connections.
KELCACHE_EXPORT void InitializeOpenSslBeforeExitHandlers();

// Takes the calling thread's OpenSSL errors off its queue and returns their
// reasons, "; "-separated ("certificate verify failed"), or empty.
std::string TakeOpenSslErrors();

}  // namespace kelvra::caching

// TlsCertificates: a throwaway certificate authority and the certificates that
// TLS tests need, made with OpenSSL in a folder of the caller's choosing.
//
//   kelcache_testing::TlsCertificates certs(folder);
//   certs.caFile          // PEM: the test CA
//   certs.serverCertFile  // PEM: signed by the CA, for 127.0.0.1 and "localhost"
//   certs.serverKeyFile
//   certs.clientCertFile / clientKeyFile   // for mutual TLS
//   certs.otherCaFile     // PEM: an unrelated CA (a "wrong CA")
//   certs.expiredCertFile / expiredKeyFile // signed by the CA, expired a day ago
//   certs.wrongNameCertFile / wrongNameKeyFile // signed by the CA, for "not-this-host" only
//   certs.selfSignedCertFile / selfSignedKeyFile // for 127.0.0.1 and "localhost", signed by itself
//
// Keys are P-256 (fast to make). Raises std::runtime_error naming the step
// when OpenSSL fails.
//
// Thread rules: construct on one thread; the files may then be read anywhere.
#pragma once

#include <string>

namespace kelcache_testing {

struct TlsCertificates {
  explicit TlsCertificates(const std::string& folder);

  std::string caFile;
  std::string otherCaFile;
  std::string serverCertFile;
  std::string serverKeyFile;
  std::string clientCertFile;
  std::string clientKeyFile;
  std::string expiredCertFile;
  std::string expiredKeyFile;
  std::string wrongNameCertFile;
  std::string wrongNameKeyFile;
  std::string selfSignedCertFile;
  std::string selfSignedKeyFile;
};

}  // namespace kelcache_testing

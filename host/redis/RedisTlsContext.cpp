#include "host/redis/RedisTlsContext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/TString.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisSocket.h"

namespace kelvra::caching {

namespace {

[[noreturn]] void Fail(const std::string& message) {
  throw RedisConfigurationError(TString::fromStdString("Redis options: " + message));
}

// The file (or folder) named by option `item` exists and can be read.
void CheckReadable(const char* item, const std::string& path, bool folder) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || access(path.c_str(), R_OK) != 0) {
    Fail(std::string("'") + item + "' names '" + path + "', which cannot be read: " + RedisErrnoText(errno));
  }
  if (folder != S_ISDIR(status.st_mode)) {
    Fail(std::string("'") + item + "' names '" + path + "', which is " + (folder ? "not a folder" : "a folder"));
  }
}

// What OpenSSL said, for a message that names the item and the file.
[[noreturn]] void FailLoading(const char* item, const std::string& path, const char* what) {
  std::string errors = TakeOpenSslErrors();
  Fail(std::string("cannot use '") + path + "' (" + item + ") as " + what + ": " +
       (errors.empty() ? "OpenSSL gave no reason" : errors));
}

// Encrypted keys are refused rather than prompted for on the terminal.
int NoPassphrase(char*, int, int, void*) { return 0; }

}  // namespace

std::string TakeOpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    char fallback[256];
    if (reason == nullptr) {
      ERR_error_string_n(code, fallback, sizeof fallback);
      reason = fallback;
    }
    if (text.find(reason) != std::string::npos) continue;  // the same reason from several layers
    if (!text.empty()) text += "; ";
    text += reason;
  }
  return text;
}

RedisTlsContext::RedisTlsContext(ssl_ctx_st* context, std::string serverName, bool verify)
    : m_context(context), m_serverName(std::move(serverName)), m_verify(verify) {}

RedisTlsContext::~RedisTlsContext() { SSL_CTX_free(m_context); }

// Without loading a configuration file, so that a host that initialises
// OpenSSL with settings of its own later still gets them. (With no option at
// all the call would do nothing; the error strings are one that registers
// the exit handler and changes nothing else.)
void InitializeOpenSslBeforeExitHandlers() {
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

std::shared_ptr<const RedisTlsContext> RedisTlsContext::Make(const RedisTlsOptions& options) {
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (!context) Fail("cannot make a TLS context: " + TakeOpenSslErrors());
  SSL_CTX* ctx = context.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Renegotiation would let a read write and a write read (see
  // RedisTlsTransport.h); Redis never asks for it.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  // Each SSL_write returns after a record; a write that must wait is called
  // again with the same bytes, which may lie elsewhere (the staging buffer).
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // One recv takes as many records as have arrived (pipelined replies).
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_passwd_cb(ctx, NoPassphrase);

  if (!options.caFile.empty()) CheckReadable("tls_ca_file", options.caFile, false);
  if (!options.caDirectory.empty()) CheckReadable("tls_ca_dir", options.caDirectory, true);
  if (!options.caFile.empty() || !options.caDirectory.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, options.caFile.empty() ? nullptr : options.caFile.c_str(),
                                      options.caDirectory.empty() ? nullptr : options.caDirectory.c_str()) != 1) {
      FailLoading(options.caFile.empty() ? "tls_ca_dir" : "tls_ca_file",
                  options.caFile.empty() ? options.caDirectory : options.caFile, "trusted CA certificates");
    }
  } else if (options.verify && SSL_CTX_set_default_verify_paths(ctx) != 1) {
    Fail("cannot load the system's CA certificates (give tls_ca_file or tls_ca_dir): " + TakeOpenSslErrors());
  }
  SSL_CTX_set_verify(ctx, options.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

  if (!options.certFile.empty()) {
    CheckReadable("tls_cert_file", options.certFile, false);
    CheckReadable("tls_key_file", options.keyFile, false);
    if (SSL_CTX_use_certificate_chain_file(ctx, options.certFile.c_str()) != 1) {
      FailLoading("tls_cert_file", options.certFile, "the client certificate");
    }
    const std::string mismatch = "the key of 'tls_key_file' ('" + options.keyFile +
                                 "') does not belong to the certificate of 'tls_cert_file' ('" + options.certFile +
                                 "')";
    if (SSL_CTX_use_PrivateKey_file(ctx, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      // OpenSSL checks the key against the certificate as it loads it.
      const unsigned long last = ERR_peek_last_error();
      if (ERR_GET_LIB(last) == ERR_LIB_X509 && ERR_GET_REASON(last) == X509_R_KEY_VALUES_MISMATCH) {
        ERR_clear_error();
        Fail(mismatch);
      }
      FailLoading("tls_key_file", options.keyFile, "the client key (PEM, not encrypted)");
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
      ERR_clear_error();
      Fail(mismatch);
    }
  }
  return std::shared_ptr<const RedisTlsContext>(
      new RedisTlsContext(context.release(), options.serverName, options.verify));
}

}  // namespace kelvra::caching

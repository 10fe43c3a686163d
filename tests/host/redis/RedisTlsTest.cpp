// The pool over TLS against private redis-servers that listen for TLS only
// (--port 0 --tls-port), with a certificate authority and certificates that
// the test makes itself: the certificate and name checks, each failure
// refused with a message that says why (for the pool and the subscriber);
// plain text against a TLS port and TLS against a plain one; mutual TLS; and
// a process that exits while its subscriber holds a TLS connection.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/LogCapture.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "tests/host/redis/RedisTestSupport.h"
#include "tests/support/ChildMode.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;

// Configures the pool, with time-outs that a busy machine (or a sanitizer
// build) cannot exceed by accident: a handshake that fails must fail for its
// reason, not for being slow.
void ConfigureSlow(const std::string& servers, const std::string& options) {
  Configure(servers, options + (options.empty() ? "" : ";") + "connect_timeout_ms=3000;command_timeout_ms=10000");
}

// A folder holding the test CA under its hashed name (the form tls_ca_dir
// takes), made once for the whole program.
const std::string& CaDirectory() {
  static const TempDir folder;
  static const std::string directory = [] {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(TestCertificates().caFile.c_str(), "r"), std::fclose);
    std::unique_ptr<X509, decltype(&X509_free)> ca(
        file ? PEM_read_X509(file.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
    if (!ca) throw std::runtime_error("cannot read the test CA");
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(ca.get()));
    std::filesystem::copy_file(TestCertificates().caFile, folder.path() / name);
    return folder.str();
  }();
  return directory;
}

// One contract for every check of the server: a connection is made only to
// a server whose certificate chains to a trusted CA, is valid now and names
// the server (its address, or tls_server_name); otherwise no connection at
// all, for the pool and the subscriber, and the Warn says what was wrong.
TEST(RedisTls, OnlyAVerifiedServerGetsAConnectionAndARefusalSaysWhy) {
  const auto& files = TestCertificates();
  // Each row: what, the server's certificate and key, the options, and what
  // the refusal says (null: the connection works).
  const std::tuple<const char*, std::string, std::string, std::string, const char*> cases[] = {
      {"the CA in a file, the address in the certificate", files.serverCertFile, files.serverKeyFile,
       TrustingOptions(), nullptr},
      {"the CA in a hashed folder", files.serverCertFile, files.serverKeyFile,
       "tls=on;tls_ca_dir=" + CaDirectory(), nullptr},
      {"a configured server name that the certificate has", files.wrongNameCertFile, files.wrongNameKeyFile,
       TrustingOptions("tls_server_name=not-this-host"), nullptr},
      {"verification off accepts a certificate of an unknown CA", files.selfSignedCertFile,
       files.selfSignedKeyFile, "tls=on;tls_verify=off;tls_ca_file=" + files.otherCaFile, nullptr},
      {"a wrong CA", files.serverCertFile, files.serverKeyFile, "tls=on;tls_ca_file=" + files.otherCaFile,
       "must hold the CA that signed the server's certificate"},
      {"no CA given: the system's CAs do not know the test CA", files.serverCertFile, files.serverKeyFile,
       "tls=on", "certificate verify failed"},
      {"a self-signed certificate", files.selfSignedCertFile, files.selfSignedKeyFile, TrustingOptions(),
       "certificate verify failed"},
      {"a certificate for another host", files.wrongNameCertFile, files.wrongNameKeyFile, TrustingOptions(),
       "IP address mismatch"},
      {"a configured server name that the certificate lacks", files.serverCertFile, files.serverKeyFile,
       TrustingOptions("tls_server_name=cache.example"), "hostname mismatch"},
      {"an expired certificate", files.expiredCertFile, files.expiredKeyFile, TrustingOptions(),
       "certificate has expired"},
  };
  // One server per certificate, shared by the cases that use it.
  std::map<std::string, std::unique_ptr<WireServer>> servers;
  for (const auto& [name, certFile, keyFile, options, refusal] : cases) {
    SCOPED_TRACE(name);
    auto& server = servers[certFile];
    if (!server) server = std::make_unique<WireServer>(Wire::kTls, certFile, keyFile);
    ConfigureSlow(server->Address(), options);
    const std::string outcome = RoundTrip("verified", MakeValue("v"));
    if (refusal == nullptr) {
      EXPECT_EQ(outcome, "");
      continue;
    }
    ASSERT_EQ(outcome.rfind("no connection: ", 0), 0u) << "a connection was made: " << outcome;
    EXPECT_NE(outcome.find("TLS handshake with " + server->Address() + " failed"), std::string::npos) << outcome;
    EXPECT_NE(outcome.find(refusal), std::string::npos) << outcome;
    // The subscriber never subscribes either, and its Warn says why.
    TLog::Capture capture(TLog::Warn);
    RedisSubscriptionManager manager;
    manager.Subscribe(u"tls.test.*", [](const TString&, const void*, int) {});
    EXPECT_TRUE(WaitUntil([&, says = refusal] { return LinesWith(capture, "cannot subscribe", says) > 0; }));
    manager.Unsubscribe(u"tls.test.*");
  }
}

// The wrong protocol on a port is an error that says so (the client never
// changes protocol by itself), and so is a missing client certificate for a
// server with tls-auth-clients yes, which takes only clients that show a
// certificate of its CA.
TEST(RedisTls, TheWrongProtocolOrAMissingClientCertificateIsRefusedWithAClearError) {
  const auto& files = TestCertificates();
  WireServer tlsServer(Wire::kTls);
  WireServer mutualServer(Wire::kTls, files.serverCertFile, files.serverKeyFile, /*authClients=*/true);
  RedisServer plainServer;
  // Each row: what, address, options, and what the error says (nothing: the
  // connection works).
  const std::tuple<const char*, std::string, std::string, std::vector<std::string>> cases[] = {
      {"plain text against the TLS port", tlsServer.Address(), "", {"set tls=on"}},
      {"plain text with AUTH against the TLS port", tlsServer.Address(), "password=secret", {"set tls=on"}},
      {"TLS against the plain port", plainServer.Address(), TrustingOptions(),
       {"does the server speak TLS on this port?"}},
      {"mutual TLS with a client certificate", mutualServer.Address(),
       TrustingOptions("tls_cert_file=" + files.clientCertFile + ";tls_key_file=" + files.clientKeyFile), {}},
      // The server ends the connection: with TLS 1.3 once the handshake is
      // over, so the first command learns it.
      {"mutual TLS without a client certificate", mutualServer.Address(), TrustingOptions(),
       {"certificate required", "set tls_cert_file and tls_key_file"}},
  };
  for (const auto& [name, address, options, says] : cases) {
    SCOPED_TRACE(name);
    ConfigureSlow(address, options);
    const std::string outcome = RoundTrip("protocol", MakePatternValue(64 * 1024, 3));
    EXPECT_EQ(outcome.empty(), says.empty()) << outcome;
    for (const std::string& fragment : says) EXPECT_NE(outcome.find(fragment), std::string::npos) << outcome;
  }
}

// The child of the test below: the process-wide subscriber starts before
// anything made TLS work (no server yet), then subscribes over TLS, and the
// process exits normally with the connection open. The server's address
// comes in TLS_EXIT_TEST_SERVER, the parent's test CA in TLS_EXIT_TEST_CA.
void ExitWithATlsSubscription() {
  RedisSubscriptionManager& manager = RedisSubscriptionManager::GetInstance();
  Configure("");
  manager.Subscribe(u"exit.*", [](const TString&, const void*, int) {});
  ConfigureSlow(std::getenv("TLS_EXIT_TEST_SERVER"),
                std::string("tls=on;tls_ca_file=") + std::getenv("TLS_EXIT_TEST_CA"));
  std::printf("value confirmed=%d\n", WaitUntil([&] { return manager.IsConfirmed(u"exit.*"); }));
  std::fflush(stdout);
  std::exit(0);  // the exit handlers run: the subscriber stops and closes its TLS connection
}

[[maybe_unused]] const bool s_childMode = RunIfChildMode("tls-exit", ExitWithATlsSubscription);

// The exit handlers stop the subscriber thread before TLS is torn down, so
// that it closes its connection on a library that still works.
TEST(RedisTls, AProcessExitsCleanlyWhileItsSubscriberHoldsATlsConnection) {
  WireServer server(Wire::kTls);
  ChildModeResult child = RunChildMode(
      "tls-exit", {"TLS_EXIT_TEST_SERVER=" + server.Address(), "TLS_EXIT_TEST_CA=" + TestCertificates().caFile});
  EXPECT_EQ(child.exitCode, 0) << child.output;
  EXPECT_EQ(child.values["confirmed"], "1") << child.output;
}

}  // namespace
}  // namespace kelcache_test

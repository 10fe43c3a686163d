// The connection pool: its configuration texts (one server or a cluster,
// the TLS items included) and the pool without a server, then against private
// redis-servers: AUTH and SELECT on every connection, the limit on
// connections and the wait for one, and a Reset while connections are in use.
// Then TLS against private redis-servers that listen for TLS only
// (--port 0 --tls-port), with a certificate authority and certificates that
// the test makes itself: the certificate and name checks, each failure
// refused with a message that says why (for the pool and the subscriber);
// plain text against a TLS port and TLS against a plain one; mutual TLS; and
// the Warn about ExternalCacheSslTlsEnabled without TLS. Last the subscription
// manager on its own connection to the servers.
//
// What a connection's commands return (values, misses, counts, error replies)
// is checked under many callers by RedisPipeTest.cpp, expiries by
// RedisExternalCacheTest.cpp; traffic, time-outs, restarts and
// publish/subscribe over TLS by the tests that run each contract over both
// wires (RedisPipeTest.cpp, and the subscription tests below). The pool over
// a Redis Cluster has tests of its own (RedisClusterTest.cpp).
//
// The tests without a server come first: the first of them needs a pool that
// was never configured in this process.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/AppOptions.h"
#include "host/LogCapture.h"
#include "host/redis/RedisConfiguration.h"
#include "host/redis/RedisConnectionPool.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisSubscriptionManager.h"
#include "tests/host/redis/RedisTestSupport.h"
#include "tests/support/TestGate.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;
using Servers = std::vector<std::pair<TString, uint16_t>>;

std::string ConfigurationErrorOf(const std::function<void()>& parse) {
  return kelcache_test::RaisedText<RedisConfigurationError>(parse);
}

// How many captured lines hold `text` and `also`.
size_t LinesWith(const TLog::Capture& capture, const std::string& text, const std::string& also = "") {
  const std::vector<TString> lines = capture.Lines();
  return std::count_if(lines.begin(), lines.end(), [&](const TString& line) {
    const std::string shown = line.toStdString();
    return shown.find(text) != std::string::npos && shown.find(also) != std::string::npos;
  });
}

// Configures the pool, with time-outs that a busy machine (or a sanitizer
// build) cannot exceed by accident: a handshake that fails must fail for its
// reason, not for being slow.
void ConfigureSlow(const std::string& servers, const std::string& options) {
  Configure(servers, options + (options.empty() ? "" : ";") + "connect_timeout_ms=3000;command_timeout_ms=10000");
}

// Stores and loads one value through the pool. Empty when all went
// well, else what went wrong as the caller would learn it: the error that a
// command raised, or, when the pool gave no connection, the Warn lines that
// say why.
std::string RoundTrip(const std::string& key, const RedisValue& value) {
  TLog::Capture capture(TLog::Warn);
  try {
    auto guard = Lock(key);
    if (!guard) {
      std::string lines;
      for (const TString& line : capture.Lines()) lines += line.toStdString() + "\n";
      return "no connection: " + lines;
    }
    if (!guard->GetConnection().Set(key, value)) return "SET failed";
    RedisValue loaded = guard->GetConnection().Get(key);
    if (!loaded || *loaded != *value) return "GET returned another value";
  } catch (const std::exception& error) {
    return std::string("error: ") + error.what();
  }
  return std::string();
}

TEST(RedisConfiguration, OptionsTextParses) {
  RedisPoolOptions options = RedisPoolOptions::Parse(
      u"password=a\\;b\\\\c = d; db = 7 ;connections=9;connect_timeout_ms=25;command_timeout_ms= 40 ;wait_ms=0;");
  EXPECT_EQ(options.password, "a;b\\c = d") << "escapes resolved, the rest verbatim";
  EXPECT_EQ(options.database, 7);
  EXPECT_EQ(options.connectionsPerServer, 9);
  EXPECT_EQ(options.connectTimeout, std::chrono::milliseconds(25));
  EXPECT_EQ(options.commandTimeout, std::chrono::milliseconds(40));
  EXPECT_EQ(options.waitTimeout, std::chrono::milliseconds(0));
  EXPECT_EQ(options.Describe().find("a;b"), std::string::npos) << "the password is never shown";

  const auto& files = TestCertificates();
  RedisPoolOptions tls = RedisPoolOptions::Parse(TString::fromStdString(
      "tls=on;tls_ca_file=" + files.caFile + ";tls_cert_file=" + files.clientCertFile +
      ";tls_key_file=" + files.clientKeyFile + ";tls_server_name=cache.example"));
  // (Whether TLS and its files work is for the tests against TLS servers below.)
  EXPECT_EQ(RedisPoolOptions::Parse(TString::fromStdString(tls.Describe())).Describe(), tls.Describe())
      << "Describe gives a text that parses to the same options";
}

TEST(RedisConfiguration, WithoutServersThereIsNoConnectionAndPublishingFailsQuietly) {
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  // Never configured in this process yet (each test runs in its own process
  // under ctest; run directly, the earlier tests leave no server behind).
  EXPECT_EQ(pool.GetConfiguration(), nullptr);
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key"), nullptr);
  EXPECT_EQ(pool.LockPubSubConnection(), nullptr);
  EXPECT_TRUE(pool.SubscriptionServers().empty());
  EXPECT_FALSE(kelvra::caching::RedisSubscriptionManager::GetInstance().TryPublish(u"channel", u"message", {}));

  // A server that refuses connections: null, no exception, one Warn line.
  TLog::Capture capture(TLog::Warn);
  pool.Reset(Servers{{u"127.0.0.1", 1}}, u"connect_timeout_ms=200");
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key"), nullptr);
  EXPECT_EQ(RedisConnectionPool::FindAndLockPooledConnection(u"key"), nullptr) << "inside the back-off";
  EXPECT_TRUE(capture.ContainsLine(u"RedisConnectionPool: no connection to 127.0.0.1:1"));
  EXPECT_EQ(capture.Lines().size(), 1u) << "the back-off keeps the second request quiet";
  EXPECT_FALSE(kelvra::caching::RedisSubscriptionManager::GetInstance().TryPublish(u"channel", u"message", {}));

  pool.Reset(Servers{}, u"");
  EXPECT_EQ(pool.GetConfiguration(), nullptr);
}

// The servers text names one server or one cluster; the pair form names one
// server. Each row: servers text, options text, and either the listed nodes and
// whether they are a cluster, or a fragment of the error, which names the
// problem.
TEST(RedisConfiguration, TheServersTextNamesOneServerOrTheNodesOfACluster) {
  struct Case {
    std::string servers;
    std::string options;
    std::vector<RedisServerAddress> listedNodes;  // expected when `error` is empty
    bool cluster = false;
    std::string error;
  };
  const auto& files = TestCertificates();
  const TempDir folder;
  const std::string missing = folder.str() + "/no-such-file.pem";
  const std::vector<Case> cases = {
      {"10.0.0.5:7000", "", {{"10.0.0.5", 7000}}, false, ""},
      {" 10.0.0.5 ", "", {{"10.0.0.5", 6379}}, false, ""},  // no port means 6379
      {"cluster:10.0.0.5:7000", "", {{"10.0.0.5", 7000}}, true, ""},
      {" cluster: a:7000 , b:7001,[::1]:7002 ", "", {{"a", 7000}, {"b", 7001}, {"::1", 7002}}, true, ""},
      {"cluster:node", "", {{"node", 6379}}, true, ""},
      {"[cluster]:6379", "", {{"cluster", 6379}}, false, ""},
      {"", "", {}, false, ""},
      {"  ", "", {}, false, ""},
      {"cluster:", "", {}, false, "names no node of the cluster"},
      {"cluster:  ", "", {}, false, "names no node of the cluster"},
      {"cluster:a:7000,,b:7001", "", {}, false, "empty item"},
      {"cluster:a:70000", "", {}, false, "'a:70000' has the port '70000'"},
      {"host:0", "", {}, false, "port"},
      {"host:abc", "", {}, false, "'abc'"},
      {":6379", "", {}, false, "no host"},
      {"a:1:2", "", {}, false, "more than one ':'"},
      {"[::1:6379", "", {}, false, "closing ']'"},
      {"[::1]x", "", {}, false, "not ':port'"},
      {"cluster:a:7000,a:7000", "", {}, false, "a:7000 is listed twice"},
      {"cluster:a:7000", "db=2", {}, false, "a Redis Cluster has only database 0"},
      {"a:7000,b:7001", "", {}, false, "independent servers; name one server, or the nodes of a Redis Cluster as "
                                       "'cluster:a:7000,b:7001'"},
      {"", "colour=blue", {}, false, "unknown option 'colour'"},
      {"", "db", {}, false, "name=value"},
      {"", "db=x", {}, false, "'db' needs a whole number"},
      {"", "db=-1", {}, false, "between 0 and"},
      {"", "connections=0", {}, false, "'connections' must be between 1"},
      {"", "connect_timeout_ms=0", {}, false, "'connect_timeout_ms' must be between 1"},
      {"", "command_timeout_ms=5s", {}, false, "'command_timeout_ms' needs a whole number"},
      {"", "wait_ms=99999999999", {}, false, "'wait_ms'"},
      {"", "db=1;db=2", {}, false, "'db' is given twice"},
      {"", "user=app", {}, false, "'user' needs a 'password'"},
      {"", "tls=yes", {}, false, "'tls' must be on or off, not 'yes'"},
      {"", "tls=on;tls_verify=no", {}, false, "'tls_verify' must be on or off"},
      {"", "tls_ca_file=" + files.caFile, {}, false, "'tls_ca_file' needs tls=on"},
      {"", "tls=off;tls_verify=off", {}, false, "'tls_verify' needs tls=on"},
      {"", "tls=on;tls_ca_file=", {}, false, "'tls_ca_file' needs a file name"},
      {"", "tls=on;tls_ca_file=" + missing, {}, false, "'tls_ca_file' names '" + missing + "', which cannot be read"},
      {"", "tls=on;tls_ca_dir=" + files.caFile, {}, false,
       "'tls_ca_dir' names '" + files.caFile + "', which is not a folder"},
      {"", "tls=on;tls_ca_file=" + files.clientKeyFile, {}, false, "(tls_ca_file) as trusted CA certificates"},
      {"", "tls=on;tls_cert_file=" + files.clientCertFile, {}, false, "'tls_cert_file' needs a 'tls_key_file' too"},
      {"", "tls=on;tls_key_file=" + files.clientKeyFile, {}, false, "'tls_key_file' needs a 'tls_cert_file' too"},
      {"", "tls=on;tls_cert_file=" + files.clientCertFile + ";tls_key_file=" + files.serverKeyFile, {}, false,
       "does not belong to the certificate"},
      {"", "tls=on;tls_cert_file=" + files.clientKeyFile + ";tls_key_file=" + files.clientKeyFile, {}, false,
       "(tls_cert_file) as the client certificate"},
      {"", "tls=on;tls_server_name=a b", {}, false, "'tls_server_name' needs a host name without white space"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.servers + " / " + c.options);
    if (!c.error.empty()) {
      const std::string message = ConfigurationErrorOf([&] {
        ParseRedisPoolConfiguration(TString::fromStdString(c.servers), TString::fromStdString(c.options));
      });
      EXPECT_NE(message.find(c.error), std::string::npos) << message;
      continue;
    }
    const auto configuration =
        ParseRedisPoolConfiguration(TString::fromStdString(c.servers), TString::fromStdString(c.options));
    EXPECT_EQ(configuration.servers, c.listedNodes);
    EXPECT_EQ(configuration.cluster, c.cluster);
  }
  EXPECT_EQ((RedisServerAddress{"::1", 7000}).ToString(), "[::1]:7000");

  // Pairs: one is a server, several are the listed nodes of a cluster.
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"", 1}}); }).find("empty host"), std::string::npos);
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"h", 0}}); }).find("port 0"), std::string::npos);
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisServers({{u"h", 5}, {u"h", 5}}); }).find("twice"),
            std::string::npos);
  EXPECT_FALSE(MakeRedisPoolConfiguration(Servers{{u"h", 1}}, u"").cluster);
  EXPECT_TRUE(MakeRedisPoolConfiguration(Servers{{u"h", 1}, {u"g", 2}}, u"").cluster);
  EXPECT_NE(ConfigurationErrorOf([] { MakeRedisPoolConfiguration(Servers{{u"h", 1}, {u"g", 2}}, u"db=1"); })
                .find("a Redis Cluster has only database 0"),
            std::string::npos);

  // A configuration the pool refuses changes nothing: the earlier one stays
  // in force.
  RedisConnectionPool& pool = RedisConnectionPool::GetInstance();
  pool.Reset(u"cluster:127.0.0.1:1", u"connections=1");
  auto before = pool.GetConfiguration();
  ASSERT_NE(before, nullptr);
  EXPECT_TRUE(before->cluster);
  EXPECT_THROW(pool.Reset(u"cluster:127.0.0.1:2", u"connections=lots"), RedisConfigurationError);
  EXPECT_THROW(pool.Reset(Servers{{u"127.0.0.1", 0}}, u""), RedisConfigurationError);
  EXPECT_EQ(pool.GetConfiguration(), before);
  pool.Reset(u"", u"");
}

TEST(RedisConnectionPool, PasswordAndDatabaseApplyToEveryConnectionAlsoAfterARestart) {
  RedisServer server(RedisServer::Options{"s3cr;et"});
  ConfigurePool({&server}, "password=s3cr\\;et;db=3;connections=2");
  RawRedis database3(server, "s3cr;et", 3);
  RawRedis database0(server, "s3cr;et", 0);
  EXPECT_EQ(RoundTrip("in-3", MakeRedisValue("x")), "");
  EXPECT_EQ(database3.Get("in-3"), "x");
  EXPECT_EQ(database0.Get("in-3"), std::nullopt);

  // The pooled connection is stale after the restart; the next command
  // reconnects, authenticates and selects the database again.
  server.Restart();
  EXPECT_EQ(RoundTrip("again-in-3", MakeRedisValue("y")), "");
  EXPECT_EQ(database3.Get("again-in-3"), "y");

  // A wrong password: no connection (null, not an exception), logged.
  ConfigurePool({&server}, "password=wrong");
  const std::string refused = RoundTrip("a", MakeRedisValue("x"));
  EXPECT_EQ(refused.rfind("no connection: ", 0), 0u) << refused;
  EXPECT_NE(refused.find("refused"), std::string::npos) << refused;
}

TEST(RedisConnectionPool, ConnectionsAreLimitedAndABusyPoolWaitsThenGivesUp) {
  RedisServer server;
  ConfigurePool({&server}, "connections=2;wait_ms=100");
  auto first = Lock("k");
  auto second = Lock("k");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(&first->GetConnection(), &second->GetConnection());
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Lock("k"), nullptr) << "both connections are in use";
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(90)) << "it waited wait_ms";

  // A returned connection is reused, not a new one made.
  auto* firstConnection = &first->GetConnection();
  first.reset();
  auto again = Lock("k");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(&again->GetConnection(), firstConnection);

  // A waiter gets a connection that comes back while it waits.
  ConfigurePool({&server}, "connections=1;wait_ms=10000");
  auto only = Lock("k");
  ASSERT_NE(only, nullptr);
  std::atomic<bool> got{false};
  std::thread waiter([&] { got = Lock("k") != nullptr; });
  std::this_thread::sleep_for(50ms);
  only.reset();
  waiter.join();
  EXPECT_TRUE(got);
}

TEST(RedisConnectionPool, AResetLeavesConnectionsInUseWorkingAndRetiresThemAfterwards) {
  RedisServer first, second;
  ConfigurePool({&first});
  auto old = Lock("k");
  ASSERT_NE(old, nullptr);
  ConfigurePool({&second});
  EXPECT_TRUE(old->GetConnection().Set("through-old", MakeRedisValue("1")));
  old.reset();  // goes back to the retired pool, which closes it
  auto current = Lock("k");
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->GetConnection().GetAddress().port, second.Port());
  EXPECT_EQ(RawRedis(first).Get("through-old"), "1");
  // Only the raw client's own connection is left on the first server.
  EXPECT_TRUE(WaitUntil([&] { return RawRedis(first).Info("connected_clients") == 1; }));
}

// A folder holding the test CA under its hashed name (the form tls_ca_dir
// takes), made once for the whole program.
const std::string& CaDirectory() {
  static const TempDir folder;
  static const std::string directory = [] {
    const std::string caDirectory = folder.str() + "/ca-dir";
    std::filesystem::create_directory(caDirectory);
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(TestCertificates().caFile.c_str(), "r"), std::fclose);
    if (!file) throw std::runtime_error("cannot read the test CA");
    std::unique_ptr<X509, decltype(&X509_free)> ca(PEM_read_X509(file.get(), nullptr, nullptr, nullptr), X509_free);
    if (!ca) throw std::runtime_error("cannot parse the test CA");
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(ca.get()));
    std::filesystem::copy_file(TestCertificates().caFile, caDirectory + "/" + name);
    return caDirectory;
  }();
  return directory;
}

// One contract for every check of the server: a connection is made only to
// a server whose certificate chains to a trusted CA, is valid now and names
// the server (its address, or tls_server_name); otherwise no connection at
// all, for the pool and the subscriber, and the Warn says what was wrong.
TEST(RedisTls, OnlyAVerifiedServerGetsAConnectionAndARefusalSaysWhy) {
  const auto& files = TestCertificates();
  struct Case {
    const char* name;
    const std::string& certFile;
    const std::string& keyFile;
    std::string options;
    const char* refusal;  // null: the connection works
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto& server = servers[c.certFile];
    if (!server) server = std::make_unique<WireServer>(Wire::kTls, c.certFile, c.keyFile);
    ConfigureSlow(server->Address(), c.options);
    const std::string outcome = RoundTrip("verified", MakeRedisValue("v"));
    if (c.refusal == nullptr) {
      EXPECT_EQ(outcome, "");
      continue;
    }
    if (outcome.rfind("no connection: ", 0) != 0) {
      ADD_FAILURE() << "a connection was made: " << outcome;
      continue;
    }
    EXPECT_NE(outcome.find("TLS handshake with " + server->Address() + " failed"), std::string::npos) << outcome;
    EXPECT_NE(outcome.find(c.refusal), std::string::npos) << outcome;
    // The subscriber never subscribes either, and its Warn says why.
    TLog::Capture capture(TLog::Warn);
    RedisSubscriptionManager manager;
    manager.Subscribe(u"tls.test.*", [](const TString&, const void*, int) {});
    EXPECT_TRUE(WaitUntil([&] { return LinesWith(capture, "cannot subscribe", c.refusal) > 0; }));
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
  struct Case {
    const char* name;
    std::string address;
    std::string options;
    std::vector<std::string> says;  // empty: the connection works
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigureSlow(c.address, c.options);
    const std::string outcome = RoundTrip("protocol", MakePatternValue(64 * 1024, 3));
    EXPECT_EQ(outcome.empty(), c.says.empty()) << outcome;
    for (const std::string& fragment : c.says) EXPECT_NE(outcome.find(fragment), std::string::npos) << outcome;
  }
}

// ExternalCacheSslTlsEnabled says that the host wants encrypted connections;
// TLS itself is turned on by the options text. When the two disagree that
// way, the pool says that its connections are not encrypted.
TEST(RedisTlsOptions, APoolWithoutTlsWarnsWhenExternalCacheSslTlsEnabledIsOn) {
  struct Case {
    bool hostWantsTls;
    std::string servers;
    std::string options;
    bool warns;
  };
  const Case cases[] = {
      {true, "127.0.0.1:7", "", true},
      {true, "127.0.0.1:7", TrustingOptions(), false},
      {true, "", "", false},  // no server, no connection
      {false, "127.0.0.1:7", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.servers + " with '" + c.options + "', host wants TLS: " + (c.hostWantsTls ? "yes" : "no"));
    kelvra::appoptions::ScopedOptionOverride option("ExternalCacheSslTlsEnabled", c.hostWantsTls);
    TLog::Capture capture(TLog::Warn);
    ConfigureSlow(c.servers, c.options);
    EXPECT_EQ(capture.ContainsLine(u"connections are not encrypted"), c.warns);
  }
  Configure("", "");
}

// The subscription manager: pattern subscriptions and own publications, the
// subscriber thread's lifecycle, Unsubscribe's promise (also for a delivery in
// progress), throwing callbacks, the publish/subscribe server of the
// configuration, and a subscription that survives a server restart and
// reports it.
// Publishes `message` on `channel` until `received` holds, waiting a little
// after each publication (so that none is still on its way at the end): for
// a subscription made in the background, or that a reconnection must bring
// back first.
bool PublishUntil(RedisSubscriptionManager& manager, const TString& channel, const TString& message,
                  const std::function<bool()>& received) {
  return WaitUntil([&] {
    manager.TryPublish(channel, message, {});
    return WaitUntil(received, 50ms);
  });
}

TEST(RedisSubscriptionManager, MatchingMessagesArriveOnceEachIncludingOwnPublications) {
  RedisServer server;
  ConfigurePool({&server});
  RedisSubscriptionManager manager;
  EXPECT_FALSE(manager.IsSubscriberRunning()) << "the thread starts with the first subscription";

  // A subscription is in force when Subscribe returns: the first
  // publication after it arrives, also for a pattern added to a live
  // connection.
  Inbox inbox;
  manager.Subscribe(u"kc.test.*", inbox.Callback());
  EXPECT_TRUE(manager.IsSubscriberRunning());
  EXPECT_TRUE(manager.TryPublish(u"kc.test.first", u"w", {}));
  ASSERT_TRUE(inbox.WaitFor(1));
  Inbox added;
  manager.Subscribe(u"kc.added.*", added.Callback());
  EXPECT_TRUE(manager.TryPublish(u"kc.added.first", u"w", {}));
  ASSERT_TRUE(added.WaitFor(1));
  manager.Unsubscribe(u"kc.added.*");

  // The raw reply is PUBLISH's count of receivers: at least our subscriber.
  long long receivers = -1;
  EXPECT_TRUE(manager.TryPublish(u"kc.test.a-1", u"hash@5e", [&](redisContext*, redisReply* reply, void*) {
    if (reply != nullptr && reply->type == REDIS_REPLY_INTEGER) receivers = reply->integer;
  }));
  EXPECT_GE(receivers, 1);
  EXPECT_TRUE(manager.TryPublish(u"kc.other.b", u"not for us", {}));
  ASSERT_TRUE(inbox.WaitFor(2));
  std::this_thread::sleep_for(200ms);  // room for a wrong extra delivery
  auto messages = inbox.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], (std::pair<std::string, std::string>{"kc.test.a-1", "hash@5e"}));

  // The last Unsubscribe stops the thread; a new Subscribe starts it again.
  manager.Unsubscribe(u"kc.test.*");
  EXPECT_TRUE(WaitUntil([&] { return !manager.IsSubscriberRunning(); }));
  Inbox second;
  manager.Subscribe(u"kc.again.*", second.Callback());
  EXPECT_TRUE(manager.TryPublish(u"kc.again.1", u"m", {}));
  EXPECT_TRUE(second.WaitFor(1));
  EXPECT_EQ(inbox.Count(), 2u) << "the old subscription got nothing more";

  // A second subscription to the pattern: both get each message, and one
  // Unsubscribe ends both.
  Inbox alongside;
  manager.Subscribe(u"kc.again.*", alongside.Callback());
  EXPECT_TRUE(manager.TryPublish(u"kc.again.2", u"m", {}));
  EXPECT_TRUE(alongside.WaitFor(1));
  EXPECT_TRUE(second.WaitFor(2));
  manager.Unsubscribe(u"kc.again.*");
  manager.TryPublish(u"kc.again.3", u"m", {});
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(second.Count(), 2u);
  EXPECT_EQ(alongside.Count(), 1u);
}

TEST(RedisSubscriptionManager, NoCallbackRunsAfterUnsubscribeReturnsEvenOneAlreadyInProgress) {
  RedisServer server;
  ConfigurePool({&server});
  RedisSubscriptionManager manager;

  TestGate inCallback;
  TestGate release;
  std::atomic<int> calls{0};
  std::atomic<bool> callbackRunning{false};
  manager.Subscribe(u"gate.*", [&](const TString&, const void*, int) {
    callbackRunning = true;
    ++calls;
    inCallback.Open();
    release.Wait();
    callbackRunning = false;
  });
  ASSERT_TRUE(PublishUntil(manager, u"gate.1", u"m", [&] { return inCallback.IsOpen(); }));

  // Unsubscribe while the callback runs: it must wait for it to end.
  std::atomic<bool> unsubscribed{false};
  std::atomic<bool> runningWhenReturned{true};
  std::thread unsubscriber([&] {
    manager.Unsubscribe(u"gate.*");
    runningWhenReturned = callbackRunning.load();
    unsubscribed = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(unsubscribed) << "Unsubscribe returned while its callback still ran";
  release.Open();
  unsubscriber.join();
  EXPECT_FALSE(runningWhenReturned);
  int callsAtReturn = calls.load();
  for (int i = 0; i < 5; ++i) manager.TryPublish(u"gate.2", u"m", {});
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(calls.load(), callsAtReturn);

  // A callback may unsubscribe itself without deadlock.
  std::atomic<int> selfCalls{0};
  manager.Subscribe(u"self.*", [&](const TString&, const void*, int) {
    ++selfCalls;
    manager.Unsubscribe(u"self.*");
  });
  ASSERT_TRUE(PublishUntil(manager, u"self.1", u"m", [&] { return selfCalls.load() > 0; }));
  for (int i = 0; i < 5; ++i) manager.TryPublish(u"self.2", u"m", {});
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(selfCalls.load(), 1);
}

// A throwing callback is logged and delivery goes on; a burst of failures
// writes the line in full a few times, then at most once per interval with a
// count of those left out.
TEST(RedisSubscriptionManager, AThrowingCallbackIsLoggedWithoutFloodingAndDeliveryGoesOn) {
  RedisServer server;
  ConfigurePool({&server});
  RedisSubscriptionManager manager;
  TLog::Capture capture(TLog::Error);
  Inbox inbox;
  std::atomic<int> thrown{0};
  manager.Subscribe(u"throws.*", [&](const TString& channel, const void* data, int length) {
    if (std::string(static_cast<const char*>(data), length) == "bad") {
      ++thrown;
      throw std::runtime_error("callback failure for the test");
    }
    inbox.Add(channel, data, length);
  });
  ASSERT_TRUE(PublishUntil(manager, u"throws.1", u"bad", [&] { return thrown.load() > 0; }));
  const int warmup = thrown.load();
  constexpr int kBurst = 2000;
  for (int i = 0; i < kBurst; ++i) manager.TryPublish(u"throws.1", u"bad", {});
  EXPECT_TRUE(manager.TryPublish(u"throws.2", u"good", {}));
  ASSERT_TRUE(inbox.WaitFor(1));
  EXPECT_EQ(inbox.Messages()[0].second, "good");
  EXPECT_GE(thrown.load(), warmup + kBurst);
  const size_t lines = LinesWith(capture, "a subscription callback failed");
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 6u) << "a few lines in full, then one per interval";
  EXPECT_TRUE(capture.ContainsLine(u"callback failure for the test"));
}

// A server that refuses the subscription after accepting the connection
// (authentication required, a user without pub/sub rights) must not make the
// subscriber reconnect in a tight loop: the back-off (50 ms doubling to 2 s)
// holds until a subscription is confirmed, and the Warn says why in plain
// words, once per back-off step.
TEST(RedisSubscriptionManager, RefusedSubscriptionsBackOffAndSayWhy) {
  struct Case {
    const char* name;
    const char* options;  // the pool's options text
    const char* says;     // in the Warn line
  };
  const Case cases[] = {
      {"no password for a server that requires one", "", "requires authentication"},
      {"a user without pub/sub rights", "user=nopubsub;password=secret", "may not subscribe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedisServer server(RedisServer::Options{"admin-password"});
    RawRedis admin(server, "admin-password");
    admin.Command({"ACL", "SETUSER", "nopubsub", "on", ">secret", "~*", "+@all", "-@pubsub"});
    ConfigurePool({&server}, c.options);
    const long long before = admin.Info("total_connections_received");
    TLog::Capture capture(TLog::Warn);
    RedisSubscriptionManager manager;
    manager.Subscribe(u"refused.*", [](const TString&, const void*, int) {});
    std::this_thread::sleep_for(2s);
    // The admin's own connections count too: one per Info call.
    const long long attempts = admin.Info("total_connections_received") - before - 1;
    EXPECT_LE(attempts, 10) << "reconnected in a tight loop";
    EXPECT_GE(attempts, 2) << "never retried";
    EXPECT_GT(LinesWith(capture, "cannot subscribe", c.says), 0u) << "no Warn says: " << c.says;
    EXPECT_LE(LinesWith(capture, "cannot subscribe"), 7u) << "at most one Warn per back-off step";
  }
}

TEST(RedisSubscriptionManager, PublishAndSubscribeUseTheConfiguredServerAndFollowTheConfiguration) {
  RedisServer first, second;
  kelvra::caching::RedisConnectionPool::GetInstance().Reset(u"", u"");
  RedisSubscriptionManager manager;
  Inbox inbox;
  manager.Subscribe(u"where.*", inbox.Callback());

  ConfigurePool({&first});
  ASSERT_TRUE(PublishUntil(manager, u"where.1", u"m", [&] { return inbox.Count() > 0; }));
  size_t count = inbox.Count();
  RawRedis(second).Command({"PUBLISH", "where.2", "on the other server"});
  RawRedis(first).Command({"PUBLISH", "where.3", "on the configured server"});
  ASSERT_TRUE(inbox.WaitFor(count + 1));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(inbox.Count(), count + 1);
  EXPECT_EQ(inbox.Messages().back().second, "on the configured server");

  // A new configuration moves the subscription to its server.
  ConfigurePool({&second});
  EXPECT_TRUE(WaitUntil([&] {
    RawRedis(second).Command({"PUBLISH", "where.4", "moved"});
    return inbox.WaitFor(count + 2, 50ms);
  }));
}

// Over plain TCP and TLS alike: a subscription survives a kill and a restart
// of its server (a new connection, a new handshake) and tells its listeners,
// and a paused server that stops answering PING is given up after the command
// time-out and subscribed to again when it is back.
class RedisSubscriptionWire : public testing::TestWithParam<Wire> {};

TEST_P(RedisSubscriptionWire, ASubscriptionSurvivesARestartAndAPauseAndTellsItsListeners) {
  WireServer server(GetParam());
  Configure(server.Address(), server.Options("command_timeout_ms=500"));
  RedisSubscriptionManager manager;
  TLog::Capture capture(TLog::Warn);
  Inbox inbox;
  manager.Subscribe(u"survive.*", inbox.Callback());
  std::atomic<int> reconnects{0};
  uint64_t token = manager.AddReconnectListener([&] { ++reconnects; });
  EXPECT_NE(token, 0u);
  // Binary bytes travel unchanged.
  const std::string binary("a\0b\r\n", 5);
  ASSERT_TRUE(
      PublishUntil(manager, u"survive.1", TString::fromStdString(binary), [&] { return inbox.Count() > 0; }));
  EXPECT_EQ(inbox.Messages()[0].second, binary);
  EXPECT_EQ(reconnects.load(), 0);

  server.Kill();
  std::this_thread::sleep_for(300ms);  // a few failed attempts
  server.Restart();
  ASSERT_TRUE(WaitUntil([&] { return reconnects.load() == 1; }));
  EXPECT_EQ(manager.GetReconnectCount(), 1u);
  // Once the listener ran, every pattern is subscribed again: a message
  // published now arrives on the first try.
  size_t count = inbox.Count();
  EXPECT_TRUE(manager.TryPublish(u"survive.2", u"after", {}));
  ASSERT_TRUE(inbox.WaitFor(count + 1));
  EXPECT_EQ(inbox.Messages().back().second, "after");
  EXPECT_TRUE(capture.ContainsLine(u"RedisSubscriptionManager: lost the connection"));
  EXPECT_TRUE(capture.ContainsLine(u"RedisSubscriptionManager: subscribed again"));

  // A paused server stops answering PING: the subscriber gives the connection
  // up after the command time-out and comes back when the server does.
  server.Pause();
  ASSERT_TRUE(WaitUntil([&] { return capture.ContainsLine(u"no answer to PING"); }));
  // The line may be another manager's (the process-wide one, when the tests
  // share a process): this one sends its PING at most a second after the
  // pause began and gives up half a second later.
  std::this_thread::sleep_for(2s);
  server.Resume();
  ASSERT_TRUE(WaitUntil([&] { return reconnects.load() == 2; }));

  // A removed listener hears of no further reconnection.
  manager.RemoveReconnectListener(token);
  manager.RemoveReconnectListener(token);  // unknown now: nothing happens
  server.Restart();
  count = inbox.Count();
  ASSERT_TRUE(PublishUntil(manager, u"survive.3", u"later", [&] { return inbox.Count() > count; }));
  EXPECT_EQ(reconnects.load(), 2);
  Configure("");
}

INSTANTIATE_TEST_SUITE_P(Wires, RedisSubscriptionWire, kWires, WireName);

}  // namespace
}  // namespace kelcache_test

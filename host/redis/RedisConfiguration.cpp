#include "host/redis/RedisConfiguration.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <set>
#include <string_view>

#include "host/redis/RedisErrors.h"
#include "host/redis/RedisTlsContext.h"

namespace kelvra::caching {

namespace {

constexpr long long kMaxMilliseconds = 86400000;  // one day

[[noreturn]] void Fail(const std::string& message) { throw RedisConfigurationError(TString::fromStdString(message)); }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

bool HasWhiteSpace(std::string_view text) {
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

// Refuses a host or file name that holds a control character: the system
// and TLS calls that take such names end them at a NUL, so "cache\0x" would
// reach the host "cache" without a word. `what` names the text in the
// message; the text itself is not shown, since it holds the character.
void CheckNoControlCharacter(std::string_view text, const std::string& what) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02x", byte);
      Fail(what + " holds the control character " + code + "; no host or file name has one");
    }
  }
}

// A decimal number within [minimum, maximum], or a RedisConfigurationError
// naming the option.
long long ParseNumber(std::string_view name, std::string_view rawValue, long long minimum, long long maximum) {
  std::string_view value = Trim(rawValue);
  long long number = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
    Fail("Redis options: '" + std::string(name) + "' needs a whole number, not '" + std::string(rawValue) + "'");
  }
  if (number < minimum || number > maximum) {
    Fail("Redis options: '" + std::string(name) + "' must be between " + std::to_string(minimum) + " and " +
         std::to_string(maximum) + ", not " + std::to_string(number));
  }
  return number;
}

// "on" or "off", or a RedisConfigurationError naming the option.
bool ParseSwitch(std::string_view name, std::string_view rawValue) {
  std::string_view value = Trim(rawValue);
  if (value == "on") return true;
  if (value == "off") return false;
  Fail("Redis options: '" + std::string(name) + "' must be on or off, not '" + std::string(rawValue) + "'");
}

// A file or folder name: not empty; taken verbatim otherwise.
std::string ParsePath(std::string_view name, const std::string& value) {
  if (Trim(value).empty()) Fail("Redis options: '" + std::string(name) + "' needs a file name");
  CheckNoControlCharacter(value, "Redis options: '" + std::string(name) + "'");
  return value;
}

// Splits the options text at unescaped ';' and resolves the escapes "\;" and
// "\\" inside each item. The '=' that ends a name is never escaped, so names
// come out unchanged.
std::vector<std::string> SplitOptionItems(const std::string& text) {
  std::vector<std::string> items(1);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == ';' || text[i + 1] == '\\')) {
      items.back() += text[++i];
    } else if (c == ';') {
      items.emplace_back();
    } else {
      items.back() += c;
    }
  }
  return items;
}

uint16_t ParsePort(std::string_view item, std::string_view text) {
  unsigned port = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
    Fail("Redis servers: '" + std::string(item) + "' has the port '" + std::string(text) +
         "'; a port is a number from 1 to 65535");
  }
  return static_cast<uint16_t>(port);
}

RedisServerAddress ParseServerItem(std::string_view item) {
  RedisServerAddress address;
  std::string_view rest;
  if (!item.empty() && item.front() == '[') {
    size_t close = item.find(']');
    if (close == std::string_view::npos) Fail("Redis servers: '" + std::string(item) + "' lacks the closing ']'");
    address.host = std::string(item.substr(1, close - 1));
    rest = item.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      Fail("Redis servers: '" + std::string(item) + "' has text after ']' that is not ':port'");
    }
  } else {
    size_t colon = item.find(':');
    if (colon != std::string_view::npos && item.find(':', colon + 1) != std::string_view::npos) {
      Fail("Redis servers: '" + std::string(item) + "' has more than one ':'; write an IPv6 address in brackets");
    }
    address.host = std::string(item.substr(0, colon));
    if (colon != std::string_view::npos) rest = item.substr(colon);
  }
  if (address.host.empty()) Fail("Redis servers: '" + std::string(item) + "' has no host name");
  if (HasWhiteSpace(address.host)) Fail("Redis servers: '" + std::string(item) + "' has white space in its host");
  CheckNoControlCharacter(address.host, "Redis servers: a host");
  if (!rest.empty()) address.port = ParsePort(item, rest.substr(1));
  return address;
}

void CheckNoDuplicates(const std::vector<RedisServerAddress>& servers) {
  std::set<std::pair<std::string, uint16_t>> seen;
  for (const RedisServerAddress& server : servers) {
    if (!seen.insert({server.host, server.port}).second) {
      Fail("Redis servers: " + server.ToString() + " is listed twice");
    }
  }
}

}  // namespace

std::string RedisServerAddress::ToString() const {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

RedisPoolOptions RedisPoolOptions::Parse(const TString& text) {
  RedisPoolOptions options;
  std::set<std::string> seen;
  for (const std::string& rawItem : SplitOptionItems(text.toStdString())) {
    if (Trim(rawItem).empty()) continue;
    size_t equals = rawItem.find('=');
    if (equals == std::string::npos) Fail("Redis options: '" + rawItem + "' is not of the form name=value");
    std::string name(Trim(std::string_view(rawItem).substr(0, equals)));
    std::string value = rawItem.substr(equals + 1);
    if (!seen.insert(name).second) Fail("Redis options: '" + name + "' is given twice");
    if (name == "user") {
      options.user = value;
    } else if (name == "password") {
      options.password = value;
    } else if (name == "db") {
      options.database = static_cast<int>(ParseNumber(name, value, 0, 100000));
    } else if (name == "connections") {
      options.connectionsPerServer = static_cast<int>(ParseNumber(name, value, 1, 1024));
    } else if (name == "connect_timeout_ms") {
      options.connectTimeout = std::chrono::milliseconds(ParseNumber(name, value, 1, kMaxMilliseconds));
    } else if (name == "command_timeout_ms") {
      options.commandTimeout = std::chrono::milliseconds(ParseNumber(name, value, 1, kMaxMilliseconds));
    } else if (name == "wait_ms") {
      options.waitTimeout = std::chrono::milliseconds(ParseNumber(name, value, 0, kMaxMilliseconds));
    } else if (name == "tls") {
      options.tls.enabled = ParseSwitch(name, value);
    } else if (name == "tls_ca_file") {
      options.tls.caFile = ParsePath(name, value);
    } else if (name == "tls_ca_dir") {
      options.tls.caDirectory = ParsePath(name, value);
    } else if (name == "tls_cert_file") {
      options.tls.certFile = ParsePath(name, value);
    } else if (name == "tls_key_file") {
      options.tls.keyFile = ParsePath(name, value);
    } else if (name == "tls_server_name") {
      std::string_view serverName = Trim(value);
      if (serverName.empty() || HasWhiteSpace(serverName)) {
        Fail("Redis options: 'tls_server_name' needs a host name without white space, not '" + value + "'");
      }
      CheckNoControlCharacter(serverName, "Redis options: 'tls_server_name'");
      options.tls.serverName = std::string(serverName);
    } else if (name == "tls_verify") {
      options.tls.verify = ParseSwitch(name, value);
    } else {
      Fail("Redis options: unknown option '" + name +
           "' (known: user, password, db, connections, connect_timeout_ms, command_timeout_ms, wait_ms, tls, "
           "tls_ca_file, tls_ca_dir, tls_cert_file, tls_key_file, tls_server_name, tls_verify)");
    }
  }
  if (!options.user.empty() && options.password.empty()) Fail("Redis options: 'user' needs a 'password' too");
  if (!options.tls.enabled) {
    // A TLS item without tls=on is a mistake that would leave the
    // connections in plain text: refuse it rather than ignore it.
    for (const char* item : {"tls_ca_file", "tls_ca_dir", "tls_cert_file", "tls_key_file", "tls_server_name",
                             "tls_verify"}) {
      if (seen.count(item)) Fail("Redis options: '" + std::string(item) + "' needs tls=on");
    }
  }
  if (options.tls.certFile.empty() != options.tls.keyFile.empty()) {
    Fail(options.tls.certFile.empty() ? "Redis options: 'tls_key_file' needs a 'tls_cert_file' too"
                                      : "Redis options: 'tls_cert_file' needs a 'tls_key_file' too");
  }
  if (options.tls.enabled) options.tls.context = RedisTlsContext::Make(options.tls);
  return options;
}

std::vector<RedisServerAddress> ParseRedisServers(const TString& text) {
  std::vector<RedisServerAddress> servers;
  std::string all = text.toStdString();
  if (Trim(all).empty()) return servers;
  size_t start = 0;
  for (;;) {
    size_t comma = all.find(',', start);
    std::string_view item = Trim(std::string_view(all).substr(start, comma == std::string::npos ? std::string::npos
                                                                                                : comma - start));
    if (item.empty()) Fail("Redis servers: '" + all + "' has an empty item");
    servers.push_back(ParseServerItem(item));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  CheckNoDuplicates(servers);
  return servers;
}

std::vector<RedisServerAddress> MakeRedisServers(const std::vector<std::pair<TString, uint16_t>>& servers) {
  std::vector<RedisServerAddress> addresses;
  for (const auto& [host, port] : servers) {
    RedisServerAddress address{host.toStdString(), port};
    if (address.host.empty()) Fail("Redis servers: a server has an empty host name");
    if (HasWhiteSpace(address.host)) Fail("Redis servers: '" + address.host + "' has white space in its host");
    CheckNoControlCharacter(address.host, "Redis servers: a host");
    // A host with its port, or an IPv6 address in brackets, as the text form
    // writes them, would fail only when connecting, with a puzzling reason.
    if (address.host.find_first_of("[]") != std::string::npos) {
      Fail("Redis servers: host '" + address.host + "' has brackets: give an IPv6 address without them");
    }
    in6_addr ipv6{};
    if (address.host.find(':') != std::string::npos && inet_pton(AF_INET6, address.host.c_str(), &ipv6) != 1) {
      Fail("Redis servers: host '" + address.host + "' has a ':' but is no IPv6 address: give the port apart");
    }
    if (port == 0) Fail("Redis servers: " + address.host + " has the port 0");
    addresses.push_back(std::move(address));
  }
  CheckNoDuplicates(addresses);
  return addresses;
}

namespace {

constexpr std::string_view kClusterPrefix = "cluster:";

// Whether the text names a cluster; if so, *rest is what follows the prefix.
bool StripClusterPrefix(const std::string& text, std::string* rest) {
  const std::string_view trimmed = Trim(text);
  // In any case ("CLUSTER:" too): no host name holds a ':' before its port.
  if (trimmed.size() < kClusterPrefix.size() ||
      !std::equal(kClusterPrefix.begin(), kClusterPrefix.end(), trimmed.begin(),
                  [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
    return false;
  }
  *rest = std::string(trimmed.substr(kClusterPrefix.size()));
  return true;
}

std::string ListText(const std::vector<RedisServerAddress>& servers) {
  std::string text;
  for (const RedisServerAddress& server : servers) text += (text.empty() ? "" : ",") + server.ToString();
  return text;
}

void CheckTogether(const RedisPoolConfiguration& configuration) {
  if (configuration.cluster) {
    if (configuration.options.database != 0) {
      Fail("Redis options: 'db' is " + std::to_string(configuration.options.database) +
           ", but a Redis Cluster has only database 0");
    }
    return;
  }
  if (configuration.servers.size() > 1) {
    Fail("Redis servers: '" + ListText(configuration.servers) + "' names " +
         std::to_string(configuration.servers.size()) +
         " independent servers; name one server, or the nodes of a Redis Cluster as 'cluster:" +
         ListText(configuration.servers) + "'");
  }
}

}  // namespace

RedisPoolConfiguration ParseRedisPoolConfiguration(const TString& servers, const TString& options) {
  RedisPoolConfiguration configuration;
  std::string listedNodes;
  if (StripClusterPrefix(servers.toStdString(), &listedNodes)) {
    configuration.cluster = true;
    configuration.servers = ParseRedisServers(TString::fromStdString(listedNodes));
    if (configuration.servers.empty()) {
      Fail("Redis servers: '" + servers.toStdString() + "' names no node of the cluster after 'cluster:'");
    }
  } else {
    configuration.servers = ParseRedisServers(servers);
  }
  configuration.options = RedisPoolOptions::Parse(options);
  CheckTogether(configuration);
  return configuration;
}

RedisPoolConfiguration MakeRedisPoolConfiguration(const std::vector<std::pair<TString, uint16_t>>& servers,
                                                  const TString& options) {
  RedisPoolConfiguration configuration;
  configuration.servers = MakeRedisServers(servers);
  // The pair form has no room for "cluster:": one pair is one server, and
  // several pairs can only be nodes of one cluster, since the pool no longer
  // spreads keys over independent servers.
  configuration.cluster = configuration.servers.size() > 1;
  configuration.options = RedisPoolOptions::Parse(options);
  CheckTogether(configuration);
  return configuration;
}

}  // namespace kelvra::caching

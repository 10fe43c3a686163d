// What a Redis Cluster client must compute exactly as the servers do, without
// a server: the hash slot of a key (CRC16, hash tags), the slot map read from
// a CLUSTER SLOTS reply, and the MOVED and ASK redirections. The cluster tests
// (RedisClusterTest.cpp) check the same against a real cluster.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/redis/RedisErrors.h"
#include "host/redis/RedisKeySlot.h"
#include "host/redis/RedisProtocol.h"
#include "host/redis/RedisSlotMap.h"

namespace kelcache_test {
namespace {

using kelvra::caching::RedisCrc16;
using kelvra::caching::RedisKeySlot;
using kelvra::caching::RedisRedirection;
using kelvra::caching::RedisReply;
using kelvra::caching::RedisReplyError;
using kelvra::caching::RedisServerAddress;
using kelvra::caching::RedisSlotMap;

TEST(RedisKeySlot, SlotsAndHashTagsAreThoseOfTheServers) {
  EXPECT_EQ(RedisCrc16("123456789"), 0x31C3) << "the XMODEM check value";
  EXPECT_EQ(RedisCrc16(""), 0);

  struct Case {
    std::string key;
    int slot;  // from CLUSTER KEYSLOT of Redis 7
  };
  const std::vector<Case> cases = {
      {"somekey", 11058},
      {"foo{hash_tag}", 2515},
      {"bar{hash_tag}", 2515},
      {"hash_tag", 2515},
  };
  for (const Case& c : cases) EXPECT_EQ(RedisKeySlot(c.key), c.slot) << c.key;

  // Each row: a key, and the bytes that decide its slot.
  const std::vector<std::pair<std::string, std::string>> hashed = {
      {"{user1000}.following", "user1000"},
      {"{user1000}.followers", "user1000"},
      {"foo{}{bar}", "foo{}{bar}"},  // an empty tag does not count: the whole key
      {"foo{{bar}}zap", "{bar"},     // from the first '{' to the first '}' after it
      {"foo{bar}{zap}", "bar"},      // only the first tag
      {"{}", "{}"},
      {"}{a}", "a"},
      {"no-brace-closes{", "no-brace-closes{"},
      {"ns\nkey", "ns\nkey"},
      {std::string("nul\0{t}", 7), "t"},
  };
  for (const auto& [key, decides] : hashed) {
    EXPECT_EQ(RedisKeySlot(key), RedisCrc16(decides) & 16383) << key;
  }
}

// Reply builders for CLUSTER SLOTS.
std::unique_ptr<RedisReply> Integer(long long value) {
  auto reply = std::make_unique<RedisReply>();
  reply->type = RedisReply::Type::kInteger;
  reply->integer = value;
  return reply;
}
std::unique_ptr<RedisReply> Text(const std::string& text) {
  auto reply = std::make_unique<RedisReply>();
  reply->type = RedisReply::Type::kString;
  reply->bytes = std::make_shared<std::vector<uint8_t>>(text.begin(), text.end());
  return reply;
}
std::unique_ptr<RedisReply> Array(std::vector<std::unique_ptr<RedisReply>> elements) {
  auto reply = std::make_unique<RedisReply>();
  reply->type = RedisReply::Type::kArray;
  reply->elements = std::move(elements);
  return reply;
}
std::unique_ptr<RedisReply> Endpoint(const std::string& host, int port, const std::string& id) {
  std::vector<std::unique_ptr<RedisReply>> parts;
  parts.push_back(Text(host));
  parts.push_back(Integer(port));
  parts.push_back(Text(id));
  return Array(std::move(parts));
}
std::unique_ptr<RedisReply> Range(int first, int last, std::vector<std::unique_ptr<RedisReply>> nodes) {
  std::vector<std::unique_ptr<RedisReply>> parts;
  parts.push_back(Integer(first));
  parts.push_back(Integer(last));
  for (auto& node : nodes) parts.push_back(std::move(node));
  return Array(std::move(parts));
}
template <typename... Nodes>
std::unique_ptr<RedisReply> RangeOf(int first, int last, Nodes... nodes) {
  std::vector<std::unique_ptr<RedisReply>> list;
  (list.push_back(std::move(nodes)), ...);
  return Range(first, last, std::move(list));
}

TEST(RedisSlotMap, AClusterSlotsReplyBecomesMastersFirstWithEverySlotOwned) {
  const RedisServerAddress answeredBy{"10.0.0.9", 7000};
  std::vector<std::unique_ptr<RedisReply>> ranges;
  // Out of slot order, a master with two ranges, a replica without a known
  // address, and a master given with an empty host (the node that answered).
  ranges.push_back(RangeOf(10923, 16383, Endpoint("10.0.0.3", 7002, "c"), Endpoint("10.0.0.6", 7005, "f")));
  ranges.push_back(RangeOf(0, 5460, Endpoint("10.0.0.1", 7000, "a"), Endpoint("?", 7003, "d")));
  ranges.push_back(RangeOf(5461, 10000, Endpoint("", 7001, "b")));
  ranges.push_back(RangeOf(10001, 10922, Endpoint("10.0.0.1", 7000, "a"), Endpoint("10.0.0.4", 7004, "e")));
  const auto map = RedisSlotMap::FromClusterSlots(*Array(std::move(ranges)), answeredBy);

  // Masters in slot order, then replicas in the order of their ranges' slots.
  ASSERT_EQ(map->Nodes().size(), 5u) << "the replica without an address is left out";
  EXPECT_EQ(map->MasterCount(), 3u);
  const std::vector<RedisServerAddress> order = {
      {"10.0.0.1", 7000}, {"10.0.0.9", 7001}, {"10.0.0.3", 7002}, {"10.0.0.4", 7004}, {"10.0.0.6", 7005}};
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(map->Nodes()[i].address, order[i]) << i;
    EXPECT_EQ(map->Nodes()[i].master, i < 3) << i;
  }
  const std::vector<std::pair<int, int>> owners = {{0, 0},     {5460, 0},  {5461, 1},  {10000, 1},
                                                   {10001, 0}, {10922, 0}, {10923, 2}, {16383, 2}};
  for (const auto& [slot, owner] : owners)
    EXPECT_EQ(map->MasterOf(static_cast<uint16_t>(slot)), owner) << slot;
  EXPECT_EQ(map->UnservedSlots(), 0);

  // A MOVED reply hands one slot to another node, new or known, in a copy.
  const auto moved = map->WithSlotServedBy(42, {"10.0.0.7", 7006});
  EXPECT_EQ(moved->MasterCount(), 4u);
  EXPECT_EQ(moved->Nodes()[static_cast<size_t>(moved->MasterOf(42))].address,
            (RedisServerAddress{"10.0.0.7", 7006}));
  EXPECT_EQ(moved->MasterOf(43), 0);
  EXPECT_EQ(map->MasterOf(42), 0) << "the original map does not change";
  EXPECT_FALSE(moved->SameAs(*map));
  const auto replicaPromoted = map->WithSlotServedBy(7, {"10.0.0.4", 7004});
  EXPECT_EQ(replicaPromoted->Nodes().size(), 5u);
  EXPECT_TRUE(replicaPromoted->Nodes()[3].master);
  EXPECT_EQ(replicaPromoted->MasterCount(), 4u);

  // A cluster whose slots are not all assigned yet.
  std::vector<std::unique_ptr<RedisReply>> partial;
  partial.push_back(RangeOf(0, 99, Endpoint("h", 1, "x")));
  const auto incomplete = RedisSlotMap::FromClusterSlots(*Array(std::move(partial)), answeredBy);
  EXPECT_EQ(incomplete->UnservedSlots(), 16384 - 100);
  EXPECT_EQ(incomplete->MasterOf(100), RedisSlotMap::kNoNode);
}

TEST(RedisSlotMap, AReplyThatIsNoSlotTableIsRefusedNamingTheNode) {
  const RedisServerAddress answeredBy{"10.0.0.9", 7000};
  std::vector<std::unique_ptr<RedisReply>> bad;
  bad.push_back(Text("not an array"));
  {
    std::vector<std::unique_ptr<RedisReply>> ranges;
    ranges.push_back(Integer(3));
    bad.push_back(Array(std::move(ranges)));
  }
  {
    std::vector<std::unique_ptr<RedisReply>> ranges;
    ranges.push_back(RangeOf(9, 3, Endpoint("h", 1, "x")));  // backwards
    bad.push_back(Array(std::move(ranges)));
  }
  {
    std::vector<std::unique_ptr<RedisReply>> ranges;
    ranges.push_back(RangeOf(0, 16384, Endpoint("h", 1, "x")));  // past the last slot
    bad.push_back(Array(std::move(ranges)));
  }
  {
    std::vector<std::unique_ptr<RedisReply>> ranges;
    ranges.push_back(RangeOf(0, 5, Integer(1)));  // a node that is no array
    bad.push_back(Array(std::move(ranges)));
  }
  for (size_t i = 0; i < bad.size(); ++i) {
    try {
      RedisSlotMap::FromClusterSlots(*bad[i], answeredBy);
      ADD_FAILURE() << "case " << i << " was accepted";
    } catch (const RedisReplyError& error) {
      EXPECT_NE(std::string(error.what()).find("10.0.0.9:7000"), std::string::npos) << error.what();
    }
  }
}

TEST(RedisRedirection, MovedAndAskRepliesNameTheSlotAndTheNode) {
  const RedisServerAddress answeredBy{"10.0.0.9", 7000};
  struct Case {
    std::string text;
    std::optional<RedisRedirection::Kind> kind;  // nothing: not a redirection
    int slot = 0;
    RedisServerAddress address;
  };
  using Kind = RedisRedirection::Kind;
  const std::vector<Case> cases = {
      {"MOVED 3999 127.0.0.1:6381", Kind::kMoved, 3999, {"127.0.0.1", 6381}},
      {"ASK 3999 127.0.0.1:6381", Kind::kAsk, 3999, {"127.0.0.1", 6381}},
      {"MOVED 0 :7001", Kind::kMoved, 0, {"10.0.0.9", 7001}},  // no host: the node that answered
      {"MOVED 16383 ::1:7002", Kind::kMoved, 16383, {"::1", 7002}},
      {"ASK 5 [::1]:7002", Kind::kAsk, 5, {"::1", 7002}},
      {"MOVED 12 cache-3.example:7003", Kind::kMoved, 12, {"cache-3.example", 7003}},
      {"MOVED 12 ?:0", Kind::kMoved, 12, {"", 0}},  // unknown: only a new map can tell
      {"MOVED 16384 h:1", std::nullopt},
      {"MOVED x h:1", std::nullopt},
      {"MOVED 12", std::nullopt},
      {"MOVED 12 h", std::nullopt},
      {"MOVED 12 h:port", std::nullopt},
      {"ERR unknown command", std::nullopt},
      {"TRYAGAIN Multiple keys request during rehashing of slot", std::nullopt},
      {"moved 1 h:1", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<RedisRedirection> parsed = RedisRedirection::Parse(c.text, answeredBy);
    ASSERT_EQ(parsed.has_value(), c.kind.has_value()) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->kind, *c.kind) << c.text;
    EXPECT_EQ(parsed->slot, c.slot) << c.text;
    EXPECT_EQ(parsed->address, c.address) << c.text;
  }
}

}  // namespace
}  // namespace kelcache_test

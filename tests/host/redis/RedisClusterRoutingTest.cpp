// What a Redis Cluster client must compute exactly as the servers do: the
// hash slot of a key (CRC16, hash tags), the slot map read from a CLUSTER
// SLOTS reply, and the MOVED and ASK redirections (no server needed). The
// cluster tests (RedisClusterTest.cpp) check that keys land on the master of
// their slot in a real cluster. Also the order in which the nodes are asked
// for the slot map, over scripted transports.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "host/redis/IRedisTransport.h"
#include "host/redis/RedisCluster.h"
#include "host/redis/RedisErrors.h"
#include "host/redis/RedisKeySlot.h"
#include "host/redis/RedisProtocol.h"
#include "host/redis/RedisSlotMap.h"
#include "tests/support/TestEnvironment.h"

namespace kelcache_test {
namespace {

using namespace kelvra::caching;
using namespace std::chrono_literals;

TEST(RedisKeySlot, SlotsAndHashTagsAreThoseOfTheServers) {
  EXPECT_EQ(RedisCrc16("123456789"), 0x31C3) << "the XMODEM check value";
  EXPECT_EQ(RedisCrc16(""), 0);

  // Slots as CLUSTER KEYSLOT of Redis 7 gives them.
  const std::pair<std::string, int> slots[] = {
      {"somekey", 11058}, {"foo{hash_tag}", 2515}, {"bar{hash_tag}", 2515}, {"hash_tag", 2515}};
  for (const auto& [key, slot] : slots) EXPECT_EQ(RedisKeySlot(key), slot) << key;

  // Each row: a key, and the bytes that decide its slot.
  const std::vector<std::pair<std::string, std::string>> hashed = {
      {"{user1000}.following", "user1000"}, {"{user1000}.followers", "user1000"},
      {"foo{}{bar}", "foo{}{bar}"},  // an empty tag does not count: the whole key
      {"foo{{bar}}zap", "{bar"},     // from the first '{' to the first '}' after it
      {"foo{bar}{zap}", "bar"},      // only the first tag
      {"{}", "{}"}, {"}{a}", "a"}, {"no-brace-closes{", "no-brace-closes{"}, {"ns\nkey", "ns\nkey"},
      {std::string("nul\0{t}", 7), "t"},
  };
  for (const auto& [key, decides] : hashed) EXPECT_EQ(RedisKeySlot(key), RedisCrc16(decides) & 16383) << key;
}

// A reply as the server would send it: the RESP text parsed by the pipes'
// own parser. "[a,b]" stands for an array, ":n" for an integer, any other
// item for a bulk string; `Slots` writes a CLUSTER SLOTS reply from ranges of
// "first last host:port:id ...".
RedisReplyPtr Reply(const std::string& resp) {
  RedisReplyParser parser;
  parser.Feed(resp.data(), resp.size());
  RedisReplyPtr reply;
  EXPECT_EQ(parser.Next(&reply), RedisReplyParser::Result::kReply) << resp;
  return reply;
}
std::string Bulk(const std::string& text) { return "$" + std::to_string(text.size()) + "\r\n" + text + "\r\n"; }
std::string Int(long long value) { return ":" + std::to_string(value) + "\r\n"; }
std::string Arr(const std::vector<std::string>& items) {
  std::string out = "*" + std::to_string(items.size()) + "\r\n";
  for (const std::string& item : items) out += item;
  return out;
}
// A range of slots and its nodes, each "host:port:id".
std::string Range(int first, int last, const std::vector<std::string>& nodes) {
  std::vector<std::string> items = {Int(first), Int(last)};
  for (const std::string& node : nodes) {
    const size_t a = node.find(':'), b = node.rfind(':');
    items.push_back(Arr({Bulk(node.substr(0, a)), Int(std::stoi(node.substr(a + 1, b - a - 1))), Bulk(node.substr(b + 1))}));
  }
  return Arr(items);
}

TEST(RedisSlotMap, AClusterSlotsReplyBecomesMastersFirstWithEverySlotOwned) {
  const RedisServerAddress answeredBy{"10.0.0.9", 7000};
  // Out of slot order, a master with two ranges, a replica without a known
  // address, and a master given with an empty host (the node that answered).
  const auto map = RedisSlotMap::FromClusterSlots(
      *Reply(Arr({Range(10923, 16383, {"10.0.0.3:7002:c", "10.0.0.6:7005:f"}),
                  Range(0, 5460, {"10.0.0.1:7000:a", "?:7003:d"}), Range(5461, 10000, {":7001:b"}),
                  Range(10001, 10922, {"10.0.0.1:7000:a", "10.0.0.4:7004:e"})})),
      answeredBy);

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
  for (const auto& [slot, owner] : owners) EXPECT_EQ(map->MasterOf(static_cast<uint16_t>(slot)), owner) << slot;
  EXPECT_EQ(map->UnservedSlots(), 0);

  // A MOVED reply hands one slot to another node, new or known, in a copy.
  const auto moved = map->WithSlotServedBy(42, {"10.0.0.7", 7006});
  EXPECT_EQ(moved->MasterCount(), 4u);
  EXPECT_EQ(moved->Nodes()[static_cast<size_t>(moved->MasterOf(42))].address, (RedisServerAddress{"10.0.0.7", 7006}));
  EXPECT_EQ(moved->MasterOf(43), 0);
  EXPECT_EQ(map->MasterOf(42), 0) << "the original map does not change";
  EXPECT_FALSE(moved->SameAs(*map));
  const auto replicaPromoted = map->WithSlotServedBy(7, {"10.0.0.4", 7004});
  EXPECT_EQ(replicaPromoted->Nodes().size(), 5u);
  EXPECT_TRUE(replicaPromoted->Nodes()[3].master);
  EXPECT_EQ(replicaPromoted->MasterCount(), 4u);

  // A cluster whose slots are not all assigned yet.
  const auto incomplete = RedisSlotMap::FromClusterSlots(*Reply(Arr({Range(0, 99, {"h:1:x"})})), answeredBy);
  EXPECT_EQ(incomplete->UnservedSlots(), 16384 - 100);
  EXPECT_EQ(incomplete->MasterOf(100), RedisSlotMap::kNoNode);
}

TEST(RedisSlotMap, AReplyThatIsNoSlotTableIsRefusedNamingTheNode) {
  // Nodes past the most a map holds: a master and one more replica than fit.
  std::vector<std::string> nodes;
  for (size_t i = 0; i <= RedisSlotMap::kMaxNodes; ++i) nodes.push_back("h:" + std::to_string(i + 1) + ":n");
  const std::pair<std::string, std::string> bad[] = {  // a reply, and what its refusal says
      {Bulk("not an array"), "10.0.0.9:7000"},
      {Arr({Int(3)}), "10.0.0.9:7000"},
      {Arr({Range(9, 3, {"h:1:x"})}), "10.0.0.9:7000"},                            // backwards
      {Arr({Range(0, 16384, {"h:1:x"})}), "10.0.0.9:7000"},                        // past the last slot
      {Arr({Arr({Int(0), Int(5), Int(1)})}), "10.0.0.9:7000"},                     // a node that is no array
      {Arr({Range(0, 10, {"a:1:x"}), Range(10, 20, {"b:2:y"})}), "10.0.0.9:7000"},  // slot 10 claimed twice
      {Arr({Range(0, 0, nodes)}), "more nodes than a cluster has"},
  };
  for (const auto& [resp, says] : bad) {
    const std::string message = RaisedText<RedisReplyError>(
        [&resp = resp] { RedisSlotMap::FromClusterSlots(*Reply(resp), {"10.0.0.9", 7000}); });
    EXPECT_NE(message.find(says), std::string::npos) << resp << ": " << message;
  }
  // A full map: a redirection to yet another node leaves the slot's owner.
  nodes.pop_back();
  const auto full = RedisSlotMap::FromClusterSlots(*Reply(Arr({Range(0, 0, nodes)})), {"10.0.0.9", 7000});
  const auto redirected = full->WithSlotServedBy(0, {"elsewhere", 1});
  EXPECT_EQ(redirected->Nodes().size(), RedisSlotMap::kMaxNodes);
  EXPECT_EQ(redirected->MasterOf(0), 0);
}

TEST(RedisRedirection, MovedAndAskRepliesNameTheSlotAndTheNode) {
  const RedisServerAddress answeredBy{"10.0.0.9", 7000};
  using Kind = RedisRedirection::Kind;
  const std::pair<std::string, RedisRedirection> redirections[] = {
      {"MOVED 3999 127.0.0.1:6381", {Kind::kMoved, 3999, {"127.0.0.1", 6381}}},
      {"ASK 3999 127.0.0.1:6381", {Kind::kAsk, 3999, {"127.0.0.1", 6381}}},
      {"MOVED 0 :7001", {Kind::kMoved, 0, {"10.0.0.9", 7001}}},  // no host: the node that answered
      {"MOVED 16383 ::1:7002", {Kind::kMoved, 16383, {"::1", 7002}}},
      {"ASK 5 [::1]:7002", {Kind::kAsk, 5, {"::1", 7002}}},
      {"MOVED 12 cache-3.example:7003", {Kind::kMoved, 12, {"cache-3.example", 7003}}},
      {"MOVED 12 ?:0", {Kind::kMoved, 12, {"", 0}}},  // unknown: only a new map can tell
  };
  for (const auto& [text, expected] : redirections) {
    const std::optional<RedisRedirection> parsed = RedisRedirection::Parse(text, answeredBy);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(std::tie(parsed->kind, parsed->slot, parsed->address),
              std::tie(expected.kind, expected.slot, expected.address)) << text;
  }
  for (const char* text : {"MOVED 16384 h:1", "MOVED x h:1", "MOVED 12", "MOVED 12 h", "MOVED 12 h:port",
                           "ERR unknown command", "TRYAGAIN Multiple keys request during rehashing of slot",
                           "moved 1 h:1"}) {
    EXPECT_FALSE(RedisRedirection::Parse(text, answeredBy).has_value()) << text;
  }
}

// Two masters with half the slots each; the first cannot be reached. The
// time-outs are short, for the tests that wait them out.
const RedisServerAddress kUnreachable{"10.0.0.1", 7000};
const RedisServerAddress kAnswering{"10.0.0.2", 7000};
const RedisPoolOptions kOptions{.connectTimeout = 200ms, .commandTimeout = 300ms};

// These nodes as a scripted network: connecting to kUnreachable times out
// (as to a host that drops the packets), at once or, when
// `waitsOutTimeouts`, after the whole connect time-out; kAnswering answers
// CLUSTER SLOTS with the two masters' map and every other command with an
// error. Records the address of every connection attempt, in order.
class ScriptedNodes {
 public:
  explicit ScriptedNodes(bool waitsOutTimeouts = false) : m_waitsOutTimeouts(waitsOutTimeouts) {}

  RedisTransportFactory Factory() { return [this] { return std::make_unique<Transport>(*this); }; }
  std::vector<std::string> Attempts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_attempts;
  }

 private:
  class Transport final : public IRedisTransport {
   public:
    explicit Transport(ScriptedNodes& nodes) : m_nodes(nodes) {}
    void Connect(const RedisServerAddress& address, std::chrono::milliseconds timeout) override {
      {
        std::lock_guard<std::mutex> lock(m_nodes.m_mutex);
        m_nodes.m_attempts.push_back(address.ToString());
      }
      if (address == kUnreachable) {
        if (m_nodes.m_waitsOutTimeouts) std::this_thread::sleep_for(timeout);
        throw RedisTimeoutError(TString::fromStdString("Redis: no connection to " + address.ToString() +
                                                       " within " + std::to_string(timeout.count()) + " ms"));
      }
    }
    RedisIoResult WriteAll(std::span<const RedisByteRange> parts, std::chrono::milliseconds) override {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (const RedisByteRange& part : parts) m_requests.Feed(part.data, part.size);
      RedisReplyPtr request;
      while (m_requests.Next(&request) == RedisReplyParser::Result::kReply) {
        const std::string name(request->elements[0]->bytes->begin(), request->elements[0]->bytes->end());
        m_replies += name == "CLUSTER" && request->elements.size() == 2 ? m_nodes.m_slots : "-ERR not scripted\r\n";
      }
      m_changed.notify_all();
      return RedisIoResult{};
    }
    RedisIoResult ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) override {
      std::unique_lock<std::mutex> lock(m_mutex);
      if (!m_changed.wait_for(lock, silence, [&] { return m_shutDown || !m_replies.empty(); })) {
        return RedisIoResult::Failed(RedisIoResult::Status::kTimedOut);
      }
      if (m_shutDown) return RedisIoResult::Failed(RedisIoResult::Status::kClosed);
      const size_t taken = m_replies.copy(buffer, capacity);
      m_replies.erase(0, taken);
      return RedisIoResult{.bytes = taken};
    }
    bool WaitReadable(int, std::chrono::milliseconds) override {
      ADD_FAILURE() << "only a subscriber waits this way";
      return false;
    }
    void Shutdown() noexcept override {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_shutDown = true;
      m_changed.notify_all();
    }

   private:
    ScriptedNodes& m_nodes;
    std::mutex m_mutex;  // guards the members below
    std::condition_variable m_changed;
    RedisReplyParser m_requests;
    std::string m_replies;
    bool m_shutDown = false;
  };

  const std::string m_slots = Arr({Range(0, 8191, {"10.0.0.1:7000:a"}), Range(8192, 16383, {"10.0.0.2:7000:b"})});
  const bool m_waitsOutTimeouts;
  mutable std::mutex m_mutex;  // guards m_attempts
  std::vector<std::string> m_attempts;
};

// A node that could not even be connected to within the time-out is as
// silent as one that let a command time out: the next fetch of the slot map
// asks it last, after the nodes that answer, so the fetch does not spend a
// connect time-out on it first. Here the map's first master is unreachable.
TEST(RedisCluster, ANodeThatCouldNotBeConnectedToInTimeIsAskedForTheSlotMapLast) {
  ScriptedNodes nodes;
  RedisCluster cluster({kUnreachable, kAnswering}, kOptions, nodes.Factory());
  ASSERT_TRUE(cluster.Refresh()) << cluster.WhyUnavailable();
  ASSERT_EQ(cluster.SlotMap()->Nodes().front().address, kUnreachable) << "the map lists it first";
  EXPECT_EQ(nodes.Attempts(), (std::vector<std::string>{"10.0.0.1:7000", "10.0.0.2:7000"}));

  // Past the minimum interval between fetches and the unreachable node's
  // back-off: asked first, it would be tried again.
  std::this_thread::sleep_for(RedisCluster::kMinRefreshInterval + 200ms);
  ASSERT_TRUE(cluster.Refresh()) << cluster.WhyUnavailable();
  EXPECT_EQ(cluster.GetStatistics().refreshes, 2u);
  EXPECT_EQ(nodes.Attempts().size(), 2u) << "the second fetch tried the unreachable node first";
}

// A master that cannot be reached (its host drops the packets) takes only
// its own slots away. Here the map names it first; the cluster is known by
// the other master. After a command for one of its keys spent the connect
// time-out on it, the fetch that follows, left with less than a command's
// time, asks the answering master first; a fetch that asks the unreachable
// master first and runs out of time before it reaches the other has not
// failed on every node. Either way the cluster stays available for the other
// master's keys.
TEST(RedisCluster, AnUnreachableMasterLeavesTheClusterAvailableForTheOthersKeys) {
  for (bool command : {true, false}) {
    SCOPED_TRACE(command ? "a command for its key" : "a fetch that asks it first");
    ScriptedNodes nodes(/*waitsOutTimeouts=*/true);
    RedisCluster cluster({kAnswering}, kOptions, nodes.Factory());
    ASSERT_TRUE(cluster.Refresh()) << cluster.WhyUnavailable();
    std::this_thread::sleep_for(RedisCluster::kMinRefreshInterval + 50ms);
    if (command) {
      const std::string_view get[] = {"GET", "{hash_tag}on-the-unreachable-master"};  // slot 2515
      EXPECT_THROW(cluster.Execute(get), RedisIoError);
    } else {
      cluster.Refresh();
    }
    EXPECT_EQ(nodes.Attempts(), (std::vector<std::string>{"10.0.0.2:7000", "10.0.0.1:7000"}));
    EXPECT_EQ(cluster.GetStatistics().refreshes, command ? 2u : 1u) << "slot maps fetched in all";
    EXPECT_TRUE(cluster.IsAvailable()) << cluster.WhyUnavailable();
  }
}

}  // namespace
}  // namespace kelcache_test

// FakeRedis: an in-memory Redis behind IRedisTransport, for tests of the
// pipes that must control exactly when bytes move.
//
//   FakeRedis fake;
//   RedisServerLink link(address, options, fake.Factory());
//   fake.CloseWriteGate("big");   // writing a command on key "big" blocks
//   fake.CloseReplyGate("slow");  // the reply to a command on "slow", and
//                                 // every reply after it, is held back
//   fake.OpenWriteGate("big");  fake.OpenReplyGate("slow");
//   fake.SendUnasked("+OK\r\n");  // replies nobody has asked for yet
//   fake.DropSessions();          // the server "restarts": every open
//                                 // connection reads end-of-stream
//
// It knows GET and SET (any other command gets an error reply), and counts
// connections and the commands received per key.
//
// Thread rules: thread-safe; one mutex guards everything, and every change
// wakes every waiter (the tests are small).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/TString.h"
#include "host/redis/RedisProtocol.h"
#include "host/redis/RedisTransportFactory.h"

namespace kelcache_test {

class FakeRedis {
 public:
  kelvra::caching::RedisTransportFactory Factory() {
    return [this] { return std::make_unique<Transport>(*this); };
  }

  void CloseWriteGate(const std::string& key) { Change([&] { m_closedWriteGates.insert(key); }); }
  void OpenWriteGate(const std::string& key) { Change([&] { m_closedWriteGates.erase(key); }); }
  void CloseReplyGate(const std::string& key) { Change([&] { m_closedReplyGates.insert(key); }); }
  void OpenReplyGate(const std::string& key) { Change([&] { m_closedReplyGates.erase(key); }); }
  // Every connection open now reads `bytes` next, ahead of the replies it
  // is owed, as from a server that answers before it has read a request.
  void SendUnasked(const std::string& bytes) {
    Change([&] {
      for (auto& session : m_sessions) session->outbound.push_front({bytes, ""});
    });
  }
  // Every connection open now reads end-of-stream from here on.
  void DropSessions() {
    Change([&] {
      for (auto& session : m_sessions) session->dead = true;
    });
  }

  int Connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_sessions.size());
  }
  // Waits until `count` reads are blocked waiting for replies.
  bool WaitForBlockedReads(int count, std::chrono::milliseconds timeout) {
    return Await(timeout, [&] { return m_blockedReads >= count; });
  }
  // Waits until a write of a command whose key is `key` is held at its gate.
  bool WaitForBlockedWrite(const std::string& key, std::chrono::milliseconds timeout) {
    return Await(timeout, [&] { return m_blockedWrites[key] > 0; });
  }
  // Waits until `count` commands whose key is `key` have been received.
  bool WaitForCommands(const std::string& key, int count, std::chrono::milliseconds timeout) {
    return Await(timeout, [&] { return m_received[key] >= count; });
  }

 private:
  struct Session {
    kelvra::caching::RedisReplyParser inbound;  // a request is a RESP array of bulk strings
    struct Reply {
      std::string bytes;
      std::string key;  // its reply gate
    };
    std::deque<Reply> outbound;
    bool dead = false;      // the server side went away
    bool shutDown = false;  // our side called Shutdown
  };

  class Transport final : public kelvra::caching::IRedisTransport {
   public:
    using Io = kelvra::caching::RedisIoResult;
    explicit Transport(FakeRedis& fake) : m_fake(fake) {}

    void Connect(const kelvra::caching::RedisServerAddress&, std::chrono::milliseconds) override {
      std::lock_guard<std::mutex> lock(m_fake.m_mutex);
      m_session = std::make_shared<Session>();
      m_fake.m_sessions.push_back(m_session);
      m_fake.m_changed.notify_all();
    }

    Io WriteAll(std::span<const kelvra::caching::RedisByteRange> parts, std::chrono::milliseconds) override {
      std::unique_lock<std::mutex> lock(m_fake.m_mutex);
      for (const auto& part : parts) m_session->inbound.Feed(part.data, part.size);
      using Parsed = kelvra::caching::RedisReplyParser::Result;
      kelvra::caching::RedisReplyPtr request;
      Parsed parsed;
      while ((parsed = m_session->inbound.Next(&request)) == Parsed::kReply) {
        std::vector<std::string> command;
        for (const auto& element : request->elements) command.emplace_back(element->bytes->begin(), element->bytes->end());
        const std::string key = command.size() > 1 ? command[1] : std::string();
        // A closed write gate holds the write here, as a slow link would.
        ++m_fake.m_blockedWrites[key];
        m_fake.m_changed.notify_all();
        m_fake.m_changed.wait(lock,
                              [&] { return m_session->shutDown || !m_fake.m_closedWriteGates.count(key); });
        --m_fake.m_blockedWrites[key];
        if (m_session->shutDown) return Io::Failed(Io::Status::kClosed);
        if (m_session->dead) continue;  // the bytes go nowhere, as to a restarted server
        ++m_fake.m_received[key];
        m_session->outbound.push_back({m_fake.Execute(command), key});
        m_fake.m_changed.notify_all();
      }
      EXPECT_NE(parsed, Parsed::kProtocolError) << "not a request in the Redis protocol";
      return Io{};
    }

    Io ReadSome(char* buffer, size_t capacity, std::chrono::milliseconds silence) override {
      std::unique_lock<std::mutex> lock(m_fake.m_mutex);
      ++m_fake.m_blockedReads;
      m_fake.m_changed.notify_all();
      bool woken = m_fake.m_changed.wait_for(lock, silence, [&] { return Readable(); });
      --m_fake.m_blockedReads;
      if (!woken) return Io::Failed(Io::Status::kTimedOut);
      if (m_session->shutDown || m_session->dead) return Io::Failed(Io::Status::kClosed);
      // A read takes every reply past its gate that fits, as a socket gives
      // what has arrived.
      size_t copied = 0;
      while (copied < capacity && !m_session->outbound.empty() &&
             !m_fake.m_closedReplyGates.count(m_session->outbound.front().key)) {
        std::string& bytes = m_session->outbound.front().bytes;
        const size_t take = bytes.copy(buffer + copied, capacity - copied);
        copied += take;
        bytes.erase(0, take);
        if (bytes.empty()) m_session->outbound.pop_front();
      }
      return Io{.bytes = copied};
    }

    // Only the subscriber waits this way, never the pipes.
    bool WaitReadable(int, std::chrono::milliseconds) override {
      ADD_FAILURE() << "a pipe waited for its transport to become readable";
      return false;
    }

    void Shutdown() noexcept override {
      std::lock_guard<std::mutex> lock(m_fake.m_mutex);
      if (m_session) m_session->shutDown = true;
      m_fake.m_changed.notify_all();
    }

   private:
    // A reply past its gate, or the end of the stream; m_fake.m_mutex is held.
    bool Readable() const {
      return m_session->shutDown || m_session->dead ||
             (!m_session->outbound.empty() && !m_fake.m_closedReplyGates.count(m_session->outbound.front().key));
    }

    FakeRedis& m_fake;
    std::shared_ptr<Session> m_session;
  };

  // Runs a command on the data; the caller holds m_mutex.
  std::string Execute(const std::vector<std::string>& command) {
    const std::string& name = command[0];
    if (name == "GET" && command.size() == 2) {
      auto found = m_data.find(command[1]);
      if (found == m_data.end()) return "$-1\r\n";
      return "$" + std::to_string(found->second.size()) + "\r\n" + found->second + "\r\n";
    }
    if (name == "SET" && command.size() == 3) {
      m_data[command[1]] = command[2];
      return "+OK\r\n";
    }
    return "-ERR unknown command '" + name + "'\r\n";
  }

  template <typename F>
  void Change(F change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    change();
    m_changed.notify_all();
  }
  template <typename P>
  bool Await(std::chrono::milliseconds timeout, P condition) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, condition);
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::map<std::string, std::string> m_data;
  std::set<std::string> m_closedWriteGates;
  std::set<std::string> m_closedReplyGates;
  std::map<std::string, int> m_received;  // commands received per key
  std::vector<std::shared_ptr<Session>> m_sessions;
  std::map<std::string, int> m_blockedWrites;  // writes held at a gate, per key
  int m_blockedReads = 0;
};

}  // namespace kelcache_test

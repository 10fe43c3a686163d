// Socket helpers shared by the transports (RedisTcpTransport,
// RedisTlsTransport): making a TCP connection to a Redis server within a
// time-out, and waiting for a descriptor with poll(2).
//
// Thread rules: plain functions; they touch only the descriptors they are
// given.
#pragma once

#include <chrono>
#include <string>

#include "host/redis/RedisConfiguration.h"

namespace kelvra::caching {

// Resolves `address` (getaddrinfo; a name on a thread of its own, so that a
// slow resolver is bounded by `timeout` too, and shared by the connections
// to the same name and port made while it runs) and tries each address in turn
// with a non-blocking connect until one answers or `timeout` is used up. Returns the connected socket, still
// non-blocking, with TCP_NODELAY (requests are batched by the pipe, not by Nagle's algorithm) and TCP
// keep-alive (a dead peer of an idle connection is noticed); the caller closes it. Raises RedisIoError
// (refused, unreachable, unknown host) or RedisTimeoutError, naming the server.
int ConnectRedisSocket(const RedisServerAddress& address, std::chrono::milliseconds timeout);

// Ends the connection on `fd` at once, from any thread, without closing the
// descriptor: threads blocked on it wake, what was not sent yet is dropped
// and the peer sees a reset, so that a request cut short by a time-out
// cannot reach the server whole later (it would then be carried out although
// its caller was told that it failed, over newer writes of the same key).
// Bytes the server has received already cannot be called back.
void AbortRedisSocket(int fd) noexcept;

enum class RedisPollResult { kReady, kWoken, kTimedOut, kFailed };

// Waits up to `timeout` until `fd` has one of `events` (or an error or
// hang-up, which the next I/O call reports), or `wakeFd` (when not -1) is
// readable. kFailed leaves errno set. EINTR is retried within the time-out.
RedisPollResult PollRedisSocket(int fd, short events, int wakeFd, std::chrono::milliseconds timeout);

// The errno text ("connection reset by peer").
std::string RedisErrnoText(int error);

}  // namespace kelvra::caching

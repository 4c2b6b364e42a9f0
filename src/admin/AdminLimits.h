// AdminLimits: the bounds of the administration endpoint, in one place.
//
// A client is a local administrator's program, but it is still untrusted input: every line, every
// connection and every handle it can make the server hold is bounded here.
#pragma once

#include <chrono>
#include <cstddef>

namespace pw::admin {

// Longest request line; a longer one is answered with an error and skipped up to its end.
inline constexpr std::size_t kMaxRequestLine = 1024 * 1024;
// Lines that were not a request (not JSON, too long, not of the request's form) before the
// connection is closed.
inline constexpr int kMaxBadLines = 10;
// Connections served at once; one more is told so and closed.
inline constexpr std::size_t kMaxConnections = 16;
// Objects one connection may hold by handle.
inline constexpr std::size_t kMaxHandles = 10000;
// A connection that sends nothing for this long is closed.
inline constexpr std::chrono::minutes kIdleTimeout{10};
// Events queued for one connection that advised a Logging object; more are dropped, since logging
// never waits for a client.
inline constexpr std::size_t kMaxQueuedEvents = 1000;
// Array nesting a request may use; JSON deeper than this is refused before it is built.
inline constexpr std::size_t kMaxJsonDepth = 64;

// The protocol's version number in the greeting.
inline constexpr int kProtocolVersion = 1;

}  // namespace pw::admin

namespace pw::admin {

// A reply the client does not take within this time ends its connection: a client that stops
// reading must not hold a thread of the server forever.
inline constexpr std::chrono::seconds kWriteTimeout{60};
// Requests waiting to be accepted by the kernel.
inline constexpr int kListenBacklog = 32;
// What a client may write into an envelope: an address, sender or route of at most this many bytes,
// and at most this many recipients.
inline constexpr std::size_t kMaxEnvelopeText = 1000;
inline constexpr std::size_t kMaxEnvelopeRecipients = 10000;

// A collection's MatchPattern: its length and its "*" (each one multiplies the work of matching a
// name by the name's length).
inline constexpr std::size_t kMaxMatchPattern = 255;
inline constexpr std::size_t kMaxPatternStars = 3;
// Items of one array in a request.
inline constexpr std::size_t kMaxArrayItems = 10000;
// Places in a tree one object keeps numbers for (GetFirstChildPosition, GetPosition).
inline constexpr std::size_t kMaxTreePositions = 4096;
// A store stream's name, in bytes.
inline constexpr std::size_t kMaxStoreStreamName = 255;
// The most of a store stream GetStoreStream hands a client in one reply.
inline constexpr std::size_t kMaxStoreStream = 4 * 1024 * 1024;
// The most of a message's content Envelope.StreamOnContent hands a client in one reply.
inline constexpr std::size_t kMaxContentStream = 32 * 1024 * 1024;
// Entries of one AddressMap, and the longest address or address list it keeps.
inline constexpr std::size_t kMaxAddressMapEntries = 10000;
inline constexpr std::size_t kMaxAddressMapText = 64 * 1024;

}  // namespace pw::admin

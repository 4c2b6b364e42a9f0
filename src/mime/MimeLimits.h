// MimeLimits: how much of a hostile message the parser is willing to look at.
//
// Messages arrive from strangers. Past any of these limits a load stops and reports failure, keeping
// what it had parsed; nothing is ever read beyond the loaded bytes and nothing recurses deeper than
// kMaxPartDepth.
#pragma once

#include <cstddef>

namespace pw::mime {

// Nesting of multipart parts inside multipart parts.
inline constexpr std::size_t kMaxPartDepth = 50;
// Parts in one message, all levels together.
inline constexpr std::size_t kMaxParts = 10000;
// Fields in one header block.
inline constexpr std::size_t kMaxHeaderFields = 5000;
// One physical header line, without its line break (RFC 5322 allows 998; mailers exceed it).
inline constexpr std::size_t kMaxHeaderLine = 65536;
// A boundary parameter (RFC 2046 allows 70 characters).
inline constexpr std::size_t kMaxBoundary = 200;

// Output lines of the encoders.
inline constexpr std::size_t kBase64LineLength = 76;
inline constexpr std::size_t kQuotedPrintableSoftLimit = 64;

}  // namespace pw::mime

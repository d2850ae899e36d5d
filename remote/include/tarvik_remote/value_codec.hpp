// Values on the wire: tarvik_core::Value to the protocol's Value message and
// back, losing nothing (docs/remote.md describes the message).
//
// Every kind crosses: None, bool, int64, double (NaN, infinities and -0.0
// included), strings byte for byte, arrays with their element type and shape
// (elements little-endian, row-major), lists, tuples and mappings in order.
// User objects (teachers, proxies, nodes) cannot cross: encoding one is a
// TypeError naming its class and where it sits in the value.
//
// Decoding trusts nothing: a message from a peer that does not describe a
// valid value (an unknown element type, a shape that does not match its
// bytes, a repeated mapping key, nesting beyond kMaxDepth) is a ValueError
// saying what is wrong and where, and no part of it is kept.
#pragma once

#include <string>

#include "tarvik_core/value.hpp"

namespace tarvik::remote::v1 {
class Value;
}

namespace tarvik_remote {

namespace pb = tarvik::remote::v1;

// How deeply lists, tuples and mappings may nest, below what the protocol
// library itself accepts when it parses a message.
inline constexpr int kMaxDepth = 64;

// Writes `value` into `out` (which is cleared first).
void encode(const tarvik_core::Value& value, pb::Value& out);
tarvik_core::Value decode(const pb::Value& message);

}  // namespace tarvik_remote

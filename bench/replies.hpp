// The bytes both sides of the benchmark exchange: the request the library
// sends for a query, and controller replies of a chosen size.
#pragma once

#include <cstddef>
#include <string>

namespace quorvellan::bench {

// A query's message once the handshake is done: the short sender header.
const std::string& QueryRequest();

// A compact reply of exactly `bytes` bytes (at least ~260) that carries every
// member the library reads (sender and version as the local controller writes
// them, floor speeds, ring, run state, lock, serial number), filled up with
// motor diagnostics the library ignores, the way a busy controller would.
std::string ReplyOfSize(std::size_t bytes);

// Writes the last four digits of `count` into the reply's serial number, which
// no floor query reads: successive replies differ, as a controller's do, so
// that no reader can pass for fast by recognising a reply it saw before.
void StampReply(std::string& reply, unsigned long count);

// The same text followed by zero bytes up to the receive buffer's size, as an
// exchange hands it to the parser.
std::string ZeroPadded(const std::string& reply);

}  // namespace quorvellan::bench

#pragma once
// Chunk envelopes: a large message travels as a run of {"type": "chunk", "chunk_id",
// "chunk_index", "total_chunks", "data"} messages. The assembler keeps the incomplete ones per
// client and hands back the message once its last chunk has arrived; split_into_chunks() makes
// the envelopes on the sending side.
#include "switchyard/common.hpp"

#include "services/clock.hpp"

#include <chrono>
#include <cstdint>
#include <optional>

namespace switchyard {

inline constexpr std::size_t CHUNK_SIZE = 65536;
inline constexpr std::string_view CHUNK_HEADER_TYPE = "chunk";

class ChunkAssembler {
 public:
  explicit ChunkAssembler(Logger log) : log_(std::move(log)) {}

  // ---- caps on what peers can make the server hold
  static constexpr std::size_t kMaxMessageBytes = 64u * 1024 * 1024;
  static constexpr std::size_t kMaxBuffersPerClient = 1024;
  static constexpr std::chrono::seconds kBufferIdle{60};

  // Takes one envelope from `client_id`; the reassembled message once it is complete.
  // Invalid envelopes are logged and dropped.
  std::optional<json::object> handle_chunk(std::string_view client_id, const json::object& message);
  // Incomplete messages held for the client.
  std::size_t buffer_count(std::string_view client_id) const;
  // Drops buffers untouched for kBufferIdle (also done every few seconds by handle_chunk).
  void sweep(corvane::Clock::time_point now);

  struct Buffer {
    std::vector<std::optional<std::string>> chunks;
    std::int64_t received = 0;
    std::int64_t total = 0;
    std::size_t bytes = 0;
    corvane::Clock::time_point touched;
  };
  // client id -> chunk id -> buffer, oldest first.
  const StringMap<OrderedMap<Buffer>>& buffers() const { return buffers_; }
  void clear() { buffers_.clear(); }

 private:
  Logger log_;
  StringMap<OrderedMap<Buffer>> buffers_;
  corvane::Clock::time_point last_sweep_{};
};

// The envelopes that carry `raw_json` (the message's ASCII-only JSON text), CHUNK_SIZE
// characters each, under one new chunk id; `original_type` is the message's "type".
struct Chunked {
  std::string chunk_id;
  std::vector<std::string> envelopes;
};
Chunked split_into_chunks(std::string_view raw_json, const json::value& original_type);

}  // namespace switchyard

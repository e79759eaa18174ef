// Chunk envelopes: putting incoming ones together, and making them for a large message.
#include "switchyard/chunks.hpp"

namespace switchyard {

namespace {

constexpr std::int64_t kMaxTotalChunks = static_cast<std::int64_t>(ChunkAssembler::kMaxMessageBytes / CHUNK_SIZE);

bool is_integer(const json::value& v) { return v.is_int64() || v.is_uint64(); }

// Integers beyond int64 are clamped; they fail the range checks either way.
std::int64_t as_int(const json::value& v) {
  if (v.is_int64()) return v.get_int64();
  std::uint64_t u = v.get_uint64();
  return u > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(u);
}

}  // namespace

std::size_t ChunkAssembler::buffer_count(std::string_view client_id) const {
  auto it = buffers_.find(client_id);
  return it == buffers_.end() ? 0 : it->second.size();
}

void ChunkAssembler::sweep(corvane::Clock::time_point now) {
  for (auto& [client_id, inner] : buffers_) {
    std::vector<std::string> stale;
    for (const auto& [chunk_id, buffer] : inner)
      if (now - buffer.touched >= kBufferIdle) stale.push_back(chunk_id);
    for (const auto& chunk_id : stale) {
      log_->warn("[BusinessLayer] Discarding incomplete chunk buffer {} of {}: no chunk for {} s", chunk_id,
                 client_id, kBufferIdle.count());
      inner.erase(chunk_id);
    }
  }
}

std::optional<json::object> ChunkAssembler::handle_chunk(std::string_view client_id, const json::object& message) {
  const json::value* chunk_id_v = message.if_contains("chunk_id");
  const json::value* index_v = message.if_contains("chunk_index");
  const json::value* total_v = message.if_contains("total_chunks");
  const json::value* data_v = message.if_contains("data");

  if (!chunk_id_v || chunk_id_v->is_null() || !index_v || index_v->is_null() || !total_v || total_v->is_null()) {
    log_->error("[BusinessLayer] Invalid chunk message: missing required fields");
    return std::nullopt;
  }
  if (!is_integer(*index_v) || !is_integer(*total_v)) {
    log_->error("[BusinessLayer] Invalid chunk message: chunk_index and total_chunks must be integers");
    return std::nullopt;
  }
  std::int64_t chunk_index = as_int(*index_v);
  std::int64_t total_chunks = as_int(*total_v);
  if (chunk_index < 0 || chunk_index >= total_chunks) {
    log_->error("[BusinessLayer] Invalid chunk_index {} for total_chunks {}", py_str(*index_v), py_str(*total_v));
    return std::nullopt;
  }
  if (total_chunks > kMaxTotalChunks) {
    log_->error("[BusinessLayer] Chunked message too large: total_chunks {} exceeds {}", total_chunks, kMaxTotalChunks);
    return std::nullopt;
  }
  if (data_v && !data_v->is_string() && !data_v->is_null()) {
    log_->error("[BusinessLayer] Invalid chunk message: data must be a string or null");
    return std::nullopt;
  }
  // A chunk id that is not text is keyed by its JSON text.
  std::string chunk_id = chunk_id_v->is_string() ? std::string(chunk_id_v->get_string()) : to_json(*chunk_id_v);

  auto now = corvane::Clock::now();
  if (now - last_sweep_ >= std::chrono::seconds(5)) {
    last_sweep_ = now;
    sweep(now);
  }

  auto& inner = buffers_[std::string(client_id)];
  Buffer* buffer = inner.find(chunk_id);
  if (!buffer) {
    while (inner.size() >= kMaxBuffersPerClient) {
      auto oldest = inner.begin()->first;
      log_->warn("[BusinessLayer] Too many incomplete chunked messages from {}; discarding chunk_id {}",
                 client_id, oldest);
      inner.erase(oldest);
    }
    Buffer fresh;
    fresh.chunks.resize(static_cast<std::size_t>(total_chunks));
    fresh.total = total_chunks;
    buffer = &inner.set(chunk_id, std::move(fresh));
  }
  buffer->touched = now;
  if (chunk_index >= buffer->total) {
    log_->error("[BusinessLayer] Invalid chunk_index {} for total_chunks {}", chunk_index, buffer->total);
    return std::nullopt;
  }

  auto& slot = buffer->chunks[static_cast<std::size_t>(chunk_index)];
  if (!slot) {
    // A null "data" fills nothing but still counts (the completion check below notices it).
    if (data_v && data_v->is_string()) {
      const auto& s = data_v->get_string();
      if (buffer->bytes + s.size() > kMaxMessageBytes) {
        log_->error("[BusinessLayer] Chunked message {} exceeds {} bytes, discarding", chunk_id, kMaxMessageBytes);
        inner.erase(chunk_id);
        return std::nullopt;
      }
      buffer->bytes += s.size();
      slot.emplace(s.data(), s.size());
    } else if (!data_v) {
      slot.emplace();
    }
    buffer->received += 1;
  } else {
    return std::nullopt;  // a repeat: the first copy wins
  }

  if (buffer->received < buffer->total) return std::nullopt;

  std::string joined;
  bool incomplete = false;
  joined.reserve(buffer->bytes);
  for (const auto& part : buffer->chunks) {
    if (!part) {
      incomplete = true;
      break;
    }
    joined += *part;
  }
  inner.erase(chunk_id);
  if (incomplete) {
    log_->error("[BusinessLayer] Incomplete chunk buffer for chunk_id {}", chunk_id);
    return std::nullopt;
  }

  json::value parsed;
  std::string error;
  if (!parse_frame(joined, parsed, error)) {
    log_->error("Failed to parse reassembled message: {}", error);
    return std::nullopt;
  }
  if (!parsed.is_object()) {
    log_->error("Failed to parse reassembled message: not a JSON object");
    return std::nullopt;
  }
  if (get_str(parsed.get_object(), "type") == CHUNK_HEADER_TYPE) {
    log_->error("[BusinessLayer] Nested chunk message detected for chunk_id {}, rejecting", chunk_id);
    return std::nullopt;
  }
  return std::move(parsed.get_object());
}

Chunked split_into_chunks(std::string_view raw_json, const json::value& original_type) {
  Chunked out{new_uuid(), {}};
  const std::string& chunk_id = out.chunk_id;
  std::size_t total_chunks = (raw_json.size() + CHUNK_SIZE - 1) / CHUNK_SIZE;
  out.envelopes.reserve(total_chunks);
  for (std::size_t i = 0; i < total_chunks; ++i) {
    std::size_t begin = i * CHUNK_SIZE;
    std::size_t end = std::min(begin + CHUNK_SIZE, raw_json.size());
    json::object envelope;
    envelope["type"] = CHUNK_HEADER_TYPE;
    envelope["chunk_id"] = chunk_id;
    envelope["chunk_index"] = i;
    envelope["total_chunks"] = total_chunks;
    envelope["data"] = raw_json.substr(begin, end - begin);
    envelope["original_type"] = original_type;
    out.envelopes.push_back(to_json(envelope));
  }
  return out;
}

}  // namespace switchyard

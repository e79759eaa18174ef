// Runs of chunk envelopes through reassembly, checked against a model of the buffers: a message
// comes out exactly when every one of its chunks has arrived, and it is the message those
// chunks spell; buffers stay within their caps whatever arrives.
//
// Input: lines. Each line is a client byte (its low bit picks workbook "wb1" or "wb2"; the
// add-in and kernel of a workbook share its buffers), optional prefixes "*N" (the envelope N
// times, N <= 2048, a text chunk id suffixed "#i" on the i-th copy) and "xN" (the data N times,
// 80 MiB at most in all copies of all lines), then the JSON envelope.
#include "server_harness.hpp"

#include <boost/json/serialize.hpp>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <map>

using namespace fuzzing;
using M = switchyard::ConnectionManager;

namespace {

struct ModelBuffer {
  std::int64_t total = 0;
  // Per slot: not received; received without text (null data); received with text.
  std::vector<std::optional<std::optional<std::string>>> slots;
  std::int64_t received = 0;
  std::size_t bytes = 0;
};

using Model = std::map<std::pair<std::string, std::string>, ModelBuffer>;

bool is_integer(const json::value& v) { return v.is_int64() || v.is_uint64(); }
std::int64_t as_int(const json::value& v) {
  if (v.is_int64()) return v.get_int64();
  return v.get_uint64() > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(v.get_uint64());
}

const switchyard::ChunkAssembler::Buffer* server_buffer(const M& manager, const std::string& client, const std::string& key) {
  auto it = manager.chunks.buffers().find(client);
  return it == manager.chunks.buffers().end() ? nullptr : it->second.find(key);
}

// What reassembly must answer for `envelope`, computed from the model (which it updates).
std::optional<json::object> expected_answer(Model& model, const M& manager, const std::string& client,
                                            const json::object& envelope) {
  const json::value* id = envelope.if_contains("chunk_id");
  const json::value* index_v = envelope.if_contains("chunk_index");
  const json::value* total_v = envelope.if_contains("total_chunks");
  const json::value* data = envelope.if_contains("data");
  if (!id || id->is_null() || !index_v || index_v->is_null() || !total_v || total_v->is_null()) return std::nullopt;
  if (!is_integer(*index_v) || !is_integer(*total_v)) return std::nullopt;
  const std::int64_t index = as_int(*index_v), total = as_int(*total_v);
  if (index < 0 || index >= total) return std::nullopt;
  if (total > static_cast<std::int64_t>(switchyard::ChunkAssembler::kMaxMessageBytes / switchyard::CHUNK_SIZE)) return std::nullopt;
  if (data && !data->is_string() && !data->is_null()) return std::nullopt;

  const std::string key = id->is_string() ? std::string(id->get_string()) : switchyard::to_json(*id);
  auto slot_key = std::make_pair(client, key);
  if (!server_buffer(manager, client, key)) {
    // A new buffer (an earlier one of that id was completed, dropped, or evicted as oldest).
    ModelBuffer fresh;
    fresh.total = total;
    fresh.slots.resize(static_cast<std::size_t>(total));
    model[slot_key] = std::move(fresh);
  }
  ModelBuffer& buffer = model[slot_key];
  if (index >= buffer.total) return std::nullopt;
  auto& slot = buffer.slots[static_cast<std::size_t>(index)];
  if (slot) return std::nullopt;  // the first copy wins
  if (data && data->is_string()) {
    if (buffer.bytes + data->get_string().size() > switchyard::ChunkAssembler::kMaxMessageBytes) {
      model.erase(slot_key);
      return std::nullopt;
    }
    buffer.bytes += data->get_string().size();
    slot.emplace(std::string(data->get_string()));
  } else if (!data) {
    slot.emplace(std::string());
  } else {
    slot.emplace(std::nullopt);
  }
  if (++buffer.received < buffer.total) return std::nullopt;

  std::string joined;
  bool complete = true;
  for (const auto& s : buffer.slots) {
    if (!*s) {
      complete = false;
      break;
    }
    joined += **s;
  }
  model.erase(slot_key);
  if (!complete) return std::nullopt;
  json::value parsed;
  std::string error;
  if (!switchyard::parse_frame(joined, parsed, error) || !parsed.is_object()) return std::nullopt;
  if (switchyard::get_str(parsed.get_object(), "type") == switchyard::CHUNK_HEADER_TYPE) return std::nullopt;
  return std::move(parsed.get_object());
}

// Reads "*N" and "xN" prefixes; false when a number is malformed or out of range.
bool read_prefixes(std::string_view& line, std::size_t& copies, std::size_t& repeat) {
  copies = 1;
  repeat = 1;
  while (!line.empty() && (line[0] == '*' || line[0] == 'x')) {
    char which = line[0];
    std::size_t n = 0;
    auto [end, ec] = std::from_chars(line.data() + 1, line.data() + line.size(), n);
    if (ec != std::errc() || n == 0) return false;
    line.remove_prefix(static_cast<std::size_t>(end - line.data()));
    if (which == '*') {
      if (n > 2048) return false;
      copies = n;
    } else {
      if (n > (1u << 20)) return false;
      repeat = n;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ServerHarness harness;
  static bool started = false;
  if (!started) {
    harness.reset();
    started = true;
  }
  M& manager = harness.server().manager;
  manager.chunks.clear();
  Model model;
  std::size_t budget = 80u << 20;  // bytes of inflated data per input

  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    std::size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view{} : input.substr(end + 1);
    if (line.size() < 2) continue;
    const std::string client = (line[0] & 1) ? "wb2" : "wb1";
    line.remove_prefix(1);
    std::size_t copies, repeat;
    if (!read_prefixes(line, copies, repeat)) continue;

    json::value parsed;
    std::string error;
    if (!switchyard::parse_frame(line, parsed, error) || !parsed.is_object()) continue;
    json::object envelope = std::move(parsed.get_object());
    if (repeat > 1) {
      if (auto* d = envelope.if_contains("data"); d && d->is_string()) {
        std::size_t grown = d->get_string().size() * repeat;
        if (grown > budget || grown * copies > budget) continue;  // every copy keeps its data
        budget -= grown * copies;
        std::string text;
        text.reserve(grown);
        for (std::size_t i = 0; i < repeat; ++i) text.append(d->get_string());
        *d = std::move(text);
      }
    }

    const json::value original_id = envelope.contains("chunk_id") ? envelope["chunk_id"] : json::value();
    for (std::size_t copy = 0; copy < copies; ++copy) {
      if (copies > 1 && original_id.is_string())
        envelope["chunk_id"] = std::string(original_id.get_string()) + "#" + std::to_string(copy);
      std::optional<json::object> expected = expected_answer(model, manager, client, envelope);
      std::optional<json::object> got = manager.chunks.handle_chunk(client, envelope);
      FUZZ_CHECK_MSG(got.has_value() == expected.has_value(),
                     got ? "a message came out of reassembly before all its chunks had arrived"
                         : "all chunks arrived but no message came out");
      if (got) FUZZ_CHECK_MSG(*got == *expected, "the reassembled message is not what its chunks spell");
      FUZZ_CHECK(manager.chunks.buffer_count(client) <= switchyard::ChunkAssembler::kMaxBuffersPerClient);
      if (const json::value* id = envelope.if_contains("chunk_id"); id && id->is_string())
        if (const auto* buffer = server_buffer(manager, client, std::string(id->get_string())))
          check_chunk_buffer(*buffer);
    }
    check_chunk_buffers(manager);
  }
  return 0;
}

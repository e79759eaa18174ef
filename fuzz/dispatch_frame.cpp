// Text frames through JSON parsing and the dispatcher, against a Server whose peers of every
// client type are connected, so that whatever handler a frame reaches runs, with everything it
// sends, awaits and leaves in the background.
//
// Input: one byte whose low three bits say which peers fail their sends (FailingPeers), then
// frames separated by NUL bytes (which JSON text cannot contain). Each frame is a sender byte
// (see sender_for) and the frame's text; the frames run one after the other on one Server. A
// frame whose sender byte is 'r' is not sent: it is a reply the peers give to the requests the
// server sends them (see ServerHarness::queue_reply).
#include "server_harness.hpp"

#include "switchyard/message_arena.hpp"

#include <boost/json/serialize.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>

using namespace fuzzing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static ServerHarness harness;
  harness.reset(data[0] & 7u);
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  int frames = 0;
  while (!input.empty() && frames < 16) {
    std::size_t end = input.find('\0');
    std::string_view record = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view{} : input.substr(end + 1);
    if (record.empty()) continue;
    ++frames;
    const bool reply = record[0] == 'r';
    Sender sender = sender_for(static_cast<unsigned char>(record[0]));
    std::string_view text = record.substr(1);

    // What the connection's receive loop does with a text frame.
    static switchyard::MessageArena arena;
    arena.reset();
    json::value value(arena.storage_for(text.size()));
    std::string error;
    if (!switchyard::parse_frame(text, value, error)) continue;
    FUZZ_CHECK_MSG(json_depth(value) <= 64, "a frame nested deeper than 64 levels was accepted");
    std::string written;
    switchyard::append_json(written, value);
    FUZZ_CHECK_MSG(written == json::serialize(value), "append_json and the serializer disagree");
    if (!value.is_object()) continue;
    if (reply) {
      harness.queue_reply(json::object(std::move(value.get_object()), json::storage_ptr()));
      continue;
    }
    // Handled at once when nothing has to wait, as the receive loop does; else as a task, with
    // its own copy of the message. The arena is emptied before anything else runs, as the next
    // message would: whatever kept a reference into it is caught by the sanitizer.
    json::object& message = value.get_object();
    std::exception_ptr outcome;
    std::optional<json::object> for_task;
    try {
      if (!switchyard::dispatch_now(harness.server(), sender.type, sender.id, message))
        for_task.emplace(std::move(message), json::storage_ptr());
    } catch (...) {
      outcome = std::current_exception();
    }
    value.emplace_null();
    arena.reset();
    if (!outcome) {
      outcome = for_task ? harness.run(switchyard::handle_message(harness.server(), sender.type, sender.id,
                                                                  std::move(*for_task)))
                         : harness.run([]() -> switchyard::awaitable<void> { co_return; }());  // what it left running
    }
    ServerHarness::check_outcome(outcome);
    harness.check_idle_invariants();
  }
  return 0;
}

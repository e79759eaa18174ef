#pragma once
// The registry of live connections and all sending: to one connection, to a workbook's add-in or
// kernel, to every connection of a type; requests that wait for the reply carrying their id; and
// the reassembly of chunked messages.
//
// One instance per Server. Everything runs on the server's single event loop; tables are only
// changed between waiting points, so nothing here takes a lock. What the server keeps about a
// workbook lives in its Workbook (workbook.hpp), not here.
#include "switchyard/chunks.hpp"
#include "switchyard/common.hpp"
#include "switchyard/peer.hpp"

#include "services/clock.hpp"

#include <functional>
#include <optional>
#include <stdexcept>

namespace switchyard {

class TaskGroup;

inline constexpr std::string_view kClientTypes[] = {"addin", "ide", "kernel", "inspector"};

// `send_and_wait_response` failures, caught by type.
class NotConnectedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class RequestTimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A display name or connection arguments, remembered with the client type that gave them so
// that one peer's disconnect does not erase what the other peer of the workbook gave.
struct NamedEntry {
  std::string name;
  std::string owner_type;
};
struct ArgsEntry {
  json::object args;
  std::string owner_type;
};

struct PendingRequest {
  explicit PendingRequest(const asio::any_io_executor& ex) : timer(ex) {}
  corvane::Timer timer;
  std::optional<json::object> response;
};

class ConnectionManager {
 public:
  // `background` runs the sends of connections that cannot queue frames by themselves.
  explicit ConnectionManager(TaskGroup& background);
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // ---- registry
  awaitable<void> connect(const std::string& client_type, const std::string& client_id, PeerPtr websocket,
                          std::string name = {}, json::object connection_args = {});
  // Removes the entry of (type, id). With `only` set, does nothing unless that entry is `only`
  // (the connection being cleaned up has not been superseded by a newer one).
  void disconnect(const std::string& client_type, const std::string& client_id,
                  const PeerConnection* only = nullptr);
  PeerPtr get_connection(std::string_view client_type, std::string_view client_id) const;
  // True when (type, id) holds a connection other than `peer`.
  bool is_superseded(std::string_view client_type, std::string_view client_id, const PeerConnection* peer) const;
  // The ids connected as `client_type`, in registry order.
  std::vector<std::string> connected_ids(std::string_view client_type) const;
  // Display name / connection arguments stored for a client id (empty when none).
  std::string_view client_name(std::string_view client_id) const;
  const json::object* client_arguments(std::string_view client_id) const;

  // ---- sending
  awaitable<void> send_message(std::string_view client_type, std::string_view client_id, const json::object& message);
  awaitable<void> send_text(std::string_view client_type, std::string_view client_id, Text text);
  awaitable<void> send_to_ide(const json::object& message);
  awaitable<void> send_to_addin(std::string_view workbook_id, const json::object& message);
  awaitable<void> send_to_kernel(std::string_view workbook_id, const json::object& message);
  awaitable<void> broadcast(std::string_view client_type, const json::object& message);
  awaitable<void> broadcast_text(std::string_view client_type, Text text);
  // Queues a frame to the peer behind those already queued and returns without waiting for the
  // write. A frame that cannot be delivered is handed to the undelivered-frame handler.
  void post_text(const PeerPtr& peer, Text text);
  // Who is told of the frames post_text could not deliver.
  void on_undelivered(std::function<void(const Text&)> handler) { undelivered_handler_ = std::move(handler); }
  // Sends a message to one client, as chunk envelopes when its text is longer than CHUNK_SIZE.
  awaitable<void> send_message_with_chunking(std::string client_type, std::string client_id, json::object message);
  awaitable<void> _send_chunked_to_client(PeerPtr websocket, const std::string& raw_json,
                                          const json::object& original_message);

  // ---- request/response correlation
  awaitable<json::object> send_and_wait_response(std::string client_type, std::string client_id,
                                                 json::object message, double timeout = 30.0);
  // Completes the request waiting for this message's id; false when none waits.
  bool handle_response(const json::object& message);

  // ---- chunk reassembly
  awaitable<std::optional<json::object>> _handle_chunk_message(std::string_view client_type,
                                                               std::string_view client_id,
                                                               const json::object& message);

  // ---- tables
  OrderedMap<OrderedMap<PeerPtr>> active_connections;
  StringMap<NamedEntry> client_names;
  StringMap<ArgsEntry> client_args;
  StringMap<PendingRequest*> _pending_requests;
  ChunkAssembler chunks;

  const Logger& log() const { return log_; }

 private:
  TaskGroup& background_;
  Logger log_;
  std::function<void(const Text&)> undelivered_handler_;
  // Where connections report frames of post_text that failed; gone with the manager.
  std::shared_ptr<UndeliveredFrames> undelivered_;
  std::weak_ptr<UndeliveredFrames> undelivered_sink_;
};

}  // namespace switchyard

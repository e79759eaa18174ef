// Connection registry and sending.
#include "switchyard/connection_manager.hpp"
#include "switchyard/task_group.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/experimental/channel.hpp>
#include <boost/asio/redirect_error.hpp>

namespace switchyard {

namespace {

struct UndeliveredToManager final : UndeliveredFrames {
  explicit UndeliveredToManager(std::function<void(const Text&)>& h) : handler(h) {}
  void undelivered(const Text& frame) override {
    if (handler) handler(frame);
  }
  std::function<void(const Text&)>& handler;
};

}  // namespace

ConnectionManager::ConnectionManager(TaskGroup& background)
    : chunks(corvane::logging::get_logger("business_layer.switchyard")),
      background_(background),
      log_(corvane::logging::get_logger("business_layer.switchyard")),
      undelivered_(std::make_shared<UndeliveredToManager>(undelivered_handler_)),
      undelivered_sink_(undelivered_) {
  for (auto type : kClientTypes) active_connections.set(type, {});
}

awaitable<void> ConnectionManager::connect(const std::string& client_type, const std::string& client_id,
                                           PeerPtr websocket, std::string name, json::object connection_args) {
  co_await websocket->accept();
  OrderedMap<PeerPtr>* table = active_connections.find(client_type);
  if (!table) table = &active_connections.set(client_type, {});
  table->set(client_id, std::move(websocket));
  if (!name.empty()) client_names[client_id] = NamedEntry{std::move(name), client_type};
  if (!connection_args.empty()) client_args[client_id] = ArgsEntry{std::move(connection_args), client_type};
}

void ConnectionManager::disconnect(const std::string& client_type, const std::string& client_id,
                                   const PeerConnection* only) {
  if (only && is_superseded(client_type, client_id, only)) return;
  if (auto* table = active_connections.find(client_type)) table->erase(client_id);
  if (auto it = client_names.find(client_id); it != client_names.end() && it->second.owner_type == client_type)
    client_names.erase(it);
  if (auto it = client_args.find(client_id); it != client_args.end() && it->second.owner_type == client_type)
    client_args.erase(it);
}

std::vector<std::string> ConnectionManager::connected_ids(std::string_view client_type) const {
  std::vector<std::string> ids;
  if (const auto* table = active_connections.find(client_type))
    for (const auto& [id, _] : *table) ids.push_back(id);
  return ids;
}

PeerPtr ConnectionManager::get_connection(std::string_view client_type, std::string_view client_id) const {
  const auto* table = active_connections.find(client_type);
  if (!table) return nullptr;
  const PeerPtr* peer = table->find(client_id);
  return peer ? *peer : nullptr;
}

bool ConnectionManager::is_superseded(std::string_view client_type, std::string_view client_id,
                                      const PeerConnection* peer) const {
  PeerPtr current = get_connection(client_type, client_id);
  return current && current.get() != peer;
}

std::string_view ConnectionManager::client_name(std::string_view client_id) const {
  auto it = client_names.find(client_id);
  return it == client_names.end() ? std::string_view{} : std::string_view(it->second.name);
}

const json::object* ConnectionManager::client_arguments(std::string_view client_id) const {
  auto it = client_args.find(client_id);
  return it == client_args.end() ? nullptr : &it->second.args;
}

awaitable<void> ConnectionManager::send_text(std::string_view client_type, std::string_view client_id, Text text) {
  PeerPtr peer = get_connection(client_type, client_id);
  if (!peer) co_return;
  co_await peer->send_text(std::move(text));
}

awaitable<void> ConnectionManager::send_message(std::string_view client_type, std::string_view client_id,
                                                const json::object& message) {
  PeerPtr peer = get_connection(client_type, client_id);
  if (!peer) co_return;
  co_await peer->send_text(std::make_shared<const std::string>(to_json(message)));
}

void ConnectionManager::post_text(const PeerPtr& peer, Text text) {
  if (peer->post_text(text, undelivered_sink_)) return;
  // A connection that cannot queue by itself: a task sends the frame (it starts at once, so the
  // frame keeps its place).
  auto send = [](PeerPtr peer, Text text, std::weak_ptr<UndeliveredFrames> sink) -> awaitable<void> {
    try {
      co_await peer->send_text(text);
    } catch (const std::exception&) {
      if (auto s = sink.lock()) s->undelivered(text);
    }
  };
  background_.spawn(send(peer, std::move(text), undelivered_sink_));
}

awaitable<void> ConnectionManager::send_to_ide(const json::object& message) { return broadcast("ide", message); }

awaitable<void> ConnectionManager::send_to_addin(std::string_view workbook_id, const json::object& message) {
  return send_message("addin", workbook_id, message);
}

awaitable<void> ConnectionManager::send_to_kernel(std::string_view workbook_id, const json::object& message) {
  return send_message("kernel", workbook_id, message);
}

awaitable<void> ConnectionManager::broadcast(std::string_view client_type, const json::object& message) {
  const auto* table = active_connections.find(client_type);
  if (!table || table->empty()) co_return;
  co_await broadcast_text(client_type, std::make_shared<const std::string>(to_json(message)));
}

awaitable<void> ConnectionManager::broadcast_text(std::string_view client_type, Text text) {
  const auto* table = active_connections.find(client_type);
  if (!table || table->empty()) co_return;
  // Snapshot: the registry may change while the sends are in flight.
  std::vector<PeerPtr> peers;
  peers.reserve(table->size());
  for (const auto& [_, peer] : *table) peers.push_back(peer);
  if (peers.size() == 1) {
    try {
      co_await peers.front()->send_text(text);
    } catch (const std::exception&) {
      // One failing peer affects neither the others nor the caller.
    }
    co_return;
  }
  // All sends run at once; wait for every one of them to finish or fail.
  auto ex = co_await asio::this_coro::executor;
  auto remaining = std::make_shared<std::size_t>(peers.size());
  auto done = std::make_shared<asio::steady_timer>(ex, asio::steady_timer::time_point::max());
  for (auto& peer : peers) {
    asio::co_spawn(
        ex,
        [peer, text]() -> awaitable<void> { co_await peer->send_text(text); },
        [remaining, done](std::exception_ptr) {
          if (--*remaining == 0) done->cancel();
        });
  }
  boost::system::error_code ec;
  while (*remaining > 0) co_await done->async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

awaitable<void> ConnectionManager::send_message_with_chunking(std::string client_type, std::string client_id,
                                                              json::object message) {
  PeerPtr peer = get_connection(client_type, client_id);
  if (!peer) co_return;
  std::string text = to_ascii_json(message);
  if (text.size() > CHUNK_SIZE) {
    co_await _send_chunked_to_client(peer, text, message);
  } else {
    co_await peer->send_text(std::make_shared<const std::string>(std::move(text)));
  }
}

awaitable<void> ConnectionManager::_send_chunked_to_client(PeerPtr websocket, const std::string& raw_json,
                                                           const json::object& original_message) {
  auto type_it = original_message.find("type");
  std::string type_log = type_it == original_message.end() ? "None" : py_str(type_it->value());
  json::value original_type = type_it == original_message.end() ? json::value("unknown") : type_it->value();
  Chunked chunked = split_into_chunks(raw_json, original_type);
  log_->info("[BusinessLayer] Chunking large message: type={}, size={}, chunks={}", type_log, raw_json.size(),
             chunked.envelopes.size());
  for (auto& envelope : chunked.envelopes)
    co_await websocket->send_text(std::make_shared<const std::string>(std::move(envelope)));
  log_->debug("[BusinessLayer] Sent {} chunks, chunk_id={}", chunked.envelopes.size(), chunked.chunk_id);
}

awaitable<std::optional<json::object>> ConnectionManager::_handle_chunk_message(std::string_view,
                                                                               std::string_view client_id,
                                                                               const json::object& message) {
  co_return chunks.handle_chunk(client_id, message);
}

}  // namespace switchyard

// The life of one WebSocket connection: validation, registration, ping, receive loop, and the
// clean-up when the peer goes away.
#include "switchyard/execution.hpp"
#include "switchyard/hooks.hpp"
#include "switchyard/kernels.hpp"
#include "switchyard/message_arena.hpp"
#include "switchyard/server.hpp"
#include "switchyard/validation.hpp"

namespace switchyard {

namespace {

bool is_client_type(std::string_view type) {
  for (auto t : kClientTypes)
    if (t == type) return true;
  return false;
}

const Text& ping_text() {
  static const Text text = std::make_shared<const std::string>(R"({"type":"ping"})");
  return text;
}

}  // namespace

awaitable<std::optional<std::string_view>> PeerConnection::receive_view() {
  std::optional<std::string> message = co_await receive();
  if (!message) co_return std::nullopt;
  received_ = std::move(*message);
  co_return std::string_view(received_);
}

awaitable<void> websocket_endpoint(Server& server, PeerPtr websocket, std::string client_type,
                                   std::string client_id, json::object query) {
  const auto& log = server.logger;
  if (!is_client_type(client_type)) {
    co_await websocket->close(4001, "Invalid client type");
    co_return;
  }
  if (auto v = validate_client_id(client_id); !v.valid) {
    co_await websocket->close(4002, "Invalid client ID: " + v.error);
    co_return;
  }

  std::string name(get_str(query, "name"));
  co_await server.manager.connect(client_type, client_id, websocket, name, std::move(query));
  log->info("Client connected: {}/{} (name: {})", client_type, client_id, name);

  TaskGroup pending_tasks(server.executor, log, client_type + "/" + client_id);
  server.connection_groups.push_back(&pending_tasks);
  auto group_it = std::prev(server.connection_groups.end());

  // The connection's hook runs beside the receive loop and is cancelled with it.
  if (ConnectionHook hook = connection_hook(client_type)) pending_tasks.spawn(hook(server, websocket, client_type, client_id));

  bool established = false;
  try {
    co_await websocket->send_text(ping_text());
    established = true;
  } catch (const std::exception&) {
    // Gone during the ping: clean up as not established.
  }

  if (established) {
    MessageArena arena;
    while (true) {
      std::optional<std::string_view> frame = co_await websocket->receive_view();
      if (!frame) break;
      arena.reset();  // the previous message is gone
      json::value value(arena.storage_for(frame->size()));
      std::string error;
      if (!parse_frame(*frame, value, error)) {
        log->warn("Skipping message from {}/{} that is not valid JSON: {}", client_type, client_id, error);
        continue;
      }
      if (!value.is_object()) {
        log->warn("Skipping message from {}/{} that is not a JSON object", client_type, client_id);
        continue;
      }
      // The main path's hot messages are handled here when nothing has to wait; the rest, or
      // those that have to wait after all, become a task of the connection.
      json::object& message = value.get_object();
      if (!pending_tasks.run_now([&] { return dispatch_now(server, client_type, client_id, message); }))
        pending_tasks.spawn(
            handle_message(server, client_type, client_id, json::object(std::move(message), json::storage_ptr())));
    }
  }

  // ---- disconnect clean-up
  pending_tasks.cancel_all();
  server.connection_groups.erase(group_it);
  log->info("Client disconnected: {}/{}", client_type, client_id);

  // A newer connection with the same type and id has taken over: its entry, its kernel and its
  // peers' view of it stay as they are.
  if (server.manager.is_superseded(client_type, client_id, websocket.get())) co_return;
  server.manager.disconnect(client_type, client_id, websocket.get());

  try {
    if (client_type == "addin") {
      terminate_kernel(server, client_id);
      if (established) {
        json::object note;
        note["type"] = "workbook_disconnected";
        note["workbook_id"] = client_id;
        co_await server.manager.broadcast("ide", note);
      }
    } else if (client_type == "kernel") {
      // The kernel's own view of the workbook goes with it.
      if (Workbook* wb = server.workbooks.find(client_id)) {
        wb->win32_tree.reset();
        wb->win32_definitions.reset();
      }
      fail_pending_executions(server, client_id, "Kernel disconnected");
      json::object note;
      note["type"] = "kernel_disconnected";
      note["workbook_id"] = client_id;
      co_await server.manager.send_to_addin(client_id, note);
    }
  } catch (const std::exception& e) {
    log->warn("Clean-up of {}/{} could not notify its peers: {}", client_type, client_id, e.what());
  }
}

}  // namespace switchyard

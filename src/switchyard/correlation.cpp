// Request/response correlation: send a request with an id and wait for the message that
// carries the same id back.
#include "switchyard/connection_manager.hpp"
#include "switchyard/server.hpp"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace switchyard {

namespace {

// The id of a message: "request_id", else "requestId"; missing, null or empty counts as none.
std::optional<std::string> message_id(const json::object& message) {
  for (std::string_view key : {"request_id", "requestId"}) {
    auto it = message.find(key);
    if (it == message.end()) continue;
    const auto& v = it->value();
    if (v.is_null()) continue;
    if (v.is_string()) {
      if (v.get_string().empty()) continue;
      return std::string(v.get_string());
    }
    if (is_missing(message, key)) continue;
    return py_str(v);
  }
  return std::nullopt;
}

}  // namespace

awaitable<json::object> ConnectionManager::send_and_wait_response(std::string client_type, std::string client_id,
                                                                  json::object message, double timeout) {
  std::string request_id = message_id(message).value_or(std::string());
  if (request_id.empty()) request_id = new_uuid();
  message["request_id"] = request_id;
  message["requestId"] = request_id;

  auto ex = co_await asio::this_coro::executor;
  PendingRequest pending(ex);
  _pending_requests[request_id] = &pending;
  struct Cleanup {
    StringMap<PendingRequest*>& table;
    const std::string& id;
    PendingRequest* mine;
    ~Cleanup() {
      auto it = table.find(id);
      if (it != table.end() && it->second == mine) table.erase(it);
    }
  } cleanup{_pending_requests, request_id, &pending};

  PeerPtr peer = get_connection(client_type, client_id);
  if (!peer) throw NotConnectedError(client_type + " " + client_id + " not connected");

  std::string type = py_member(message, "type");
  co_await peer->send_text(std::make_shared<const std::string>(to_json(message)));
  log_->debug("Sent message to {} {}: {}", client_type, client_id, type);

  if (!pending.response) {
    pending.timer.expires_after(std::chrono::duration_cast<corvane::Clock::duration>(
        std::chrono::duration<double>(timeout)));
    boost::system::error_code ec;
    co_await pending.timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (!pending.response) {
      auto cs = co_await asio::this_coro::cancellation_state;
      if (ec == asio::error::operation_aborted && cs.cancelled() != asio::cancellation_type::none)
        throw boost::system::system_error(asio::error::operation_aborted);
      log_->error("Timeout waiting for response to {} from {} {}", type, client_type, client_id);
      throw RequestTimeoutError("Timeout waiting for response from " + client_type + " " + client_id);
    }
  }
  co_return std::move(*pending.response);
}

bool ConnectionManager::handle_response(const json::object& message) {
  if (_pending_requests.empty()) return false;
  auto id = message_id(message);
  if (!id) return false;
  auto it = _pending_requests.find(*id);
  if (it == _pending_requests.end() || it->second->response) return false;
  it->second->response.emplace(message, json::storage_ptr());  // its own copy: `message` may live in an arena
  it->second->timer.cancel();
  log_->debug("Completed pending request: {}", *id);
  return true;
}

void before_handler(Server& server, std::string_view client_type, const json::object& message) {
  try {
    server.manager.handle_response(message);
  } catch (const std::exception& e) {
    server.logger->error("Error handling response: {}", e.what());
  }
  const auto& log = server.logger;
  if (log->should_log(spdlog::level::debug)) {
    log->debug("[TIMING] Received from {}: type={}, request_id={}", client_type, py_member(message, "type"),
               message.contains("request_id") ? py_member(message, "request_id") : std::string("N/A"));
  }
}

awaitable<void> handle_response_message(Server&, std::string, json::object) { co_return; }

}  // namespace switchyard

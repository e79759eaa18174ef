// The dispatcher: chunk reassembly, correlation, then the routing table.
#include "switchyard/handlers.hpp"

#include <atomic>

namespace switchyard {

void HandlerTable::add(std::string_view client_type, std::string_view message_type, Handler handler) {
  OrderedMap<Handler>* table = tables_.find(client_type);
  if (!table) table = &tables_.set(client_type, {});
  table->set(message_type, handler);
  // Unique across every table of the process, so that a cached lookup never outlives its table.
  static std::atomic<std::uint64_t> versions{0};
  version_ = ++versions;
}

Handler HandlerTable::find(std::string_view client_type, std::string_view message_type) const {
  const OrderedMap<Handler>* table = tables_.find(client_type);
  if (!table) return nullptr;
  const Handler* h = table->find(message_type);
  return h ? *h : nullptr;
}

namespace {

using HandlerNow = bool (*)(Server&, std::string_view client_type, const std::string& client_id, json::object& message);

// The synchronous twins of what the routing table holds for the hot messages, looked up again
// only when the table changes.
struct HotRoutes {
  const HandlerTable* table = nullptr;
  std::uint64_t version = 0;
  HandlerNow function_execution = nullptr;  // addin / "function_execution"
  HandlerNow execution_result = nullptr;    // kernel / "execution_result"
  HandlerNow execution_error = nullptr;     // kernel / "execution_error"
};

HandlerNow twin(Handler handler) {
  if (handler == &handle_function_event_execution) return handle_function_execution_now;
  if (handler == &handle_kernel_execution_result) return handle_kernel_execution_result_now;
  if (handler == &handle_kernel_execution_error) return handle_kernel_execution_error_now;
  return nullptr;
}

const HotRoutes& hot_routes(const HandlerTable& table) {
  thread_local HotRoutes routes;
  if (routes.table != &table || routes.version != table.version()) {
    routes.table = &table;
    routes.version = table.version();
    routes.function_execution = twin(table.find("addin", "function_execution"));
    routes.execution_result = twin(table.find("kernel", "execution_result"));
    routes.execution_error = twin(table.find("kernel", "execution_error"));
  }
  return routes;
}

}  // namespace

bool dispatch_now(Server& server, std::string_view client_type, const std::string& client_id, json::object& message) {
  auto type_it = message.find("type");
  if (type_it == message.end() || !type_it->value().is_string()) return false;
  std::string_view type(type_it->value().get_string());
  const HotRoutes& routes = hot_routes(server.MESSAGE_HANDLERS);
  HandlerNow now = nullptr;
  if (client_type == "addin") {
    if (type == "function_execution") now = routes.function_execution;
  } else if (client_type == "kernel") {
    if (type == "execution_result") now = routes.execution_result;
    else if (type == "execution_error") now = routes.execution_error;
  }
  return now && now(server, client_type, client_id, message);
}

awaitable<void> handle_message(Server& server, std::string client_type, std::string client_id, json::object message) {
  auto type_it = message.find("type");
  const bool has_string_type = type_it != message.end() && type_it->value().is_string();
  std::string_view type = has_string_type ? std::string_view(type_it->value().get_string()) : std::string_view{};

  if (has_string_type && type == CHUNK_HEADER_TYPE) {
    auto complete = co_await server.manager._handle_chunk_message(client_type, client_id, message);
    if (complete && !complete->empty())
      co_await handle_message(server, std::move(client_type), std::move(client_id), std::move(*complete));
    co_return;
  }

  before_handler(server, client_type, message);

  const auto& log = server.logger;
  Handler handler = has_string_type ? server.MESSAGE_HANDLERS.find(client_type, type) : nullptr;
  if (!handler) {
    log->warn("No handler for {}/{}", client_type, py_member(message, "type"));
    co_return;
  }
  co_await handler(server, std::move(client_id), std::move(message));
}

}  // namespace switchyard

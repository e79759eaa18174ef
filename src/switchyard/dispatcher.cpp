// The dispatcher: chunk reassembly, correlation, then the routing table.
#include "switchyard/handlers.hpp"

namespace switchyard {

void HandlerTable::add(std::string_view client_type, std::string_view message_type, Handler handler, FastPath now) {
  OrderedMap<Route>* table = tables_.find(client_type);
  if (!table) table = &tables_.set(client_type, {});
  table->set(message_type, Route{handler, now});
}

const Route* HandlerTable::find(std::string_view client_type, std::string_view message_type) const {
  const OrderedMap<Route>* table = tables_.find(client_type);
  return table ? table->find(message_type) : nullptr;
}

bool dispatch_now(Server& server, std::string_view client_type, const std::string& client_id, json::object& message) {
  auto type_it = message.find("type");
  if (type_it == message.end() || !type_it->value().is_string()) return false;
  const Route* route = server.MESSAGE_HANDLERS.find(client_type, type_it->value().get_string());
  return route && route->now && route->now(server, client_type, client_id, message);
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
  const Route* route = has_string_type ? server.MESSAGE_HANDLERS.find(client_type, type) : nullptr;
  if (!route) {
    log->warn("No handler for {}/{}", client_type, py_member(message, "type"));
    co_return;
  }
  co_await route->handler(server, std::move(client_id), std::move(message));
}

}  // namespace switchyard

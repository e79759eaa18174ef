// Event handlers: the per-workbook event manager state (object trees, event definitions, handler
// registries), its merge into the editors' view model, handler registration through the add-in,
// and the event configuration pushed to the add-in and the kernel.
#include "switchyard/events.hpp"

#include "switchyard/handlers.hpp"
#include "switchyard/py_repr.hpp"

namespace switchyard {

namespace {

const json::object kEmptyObject;

std::string_view kind_name(json::kind k) {
  switch (k) {
    case json::kind::string: return "a text";
    case json::kind::array: return "a list";
    default: return "an object";
  }
}

// Drops the member when it is null or not of kind `k`; returns true when a present non-null
// value of the wrong kind was dropped (the caller warns).
bool drop_unless(json::object& o, std::string_view key, json::kind k) {
  auto it = o.find(key);
  if (it == o.end() || it->value().kind() == k) return false;
  const bool wrong = !it->value().is_null();
  o.erase(it);
  return wrong;
}

template <class V>
const V* lookup(const StringMap<V>& table, std::string_view workbook_id) {
  auto it = table.find(workbook_id);
  return it == table.end() ? nullptr : &it->second;
}

const json::object& object_or_empty(const StringMap<json::object>& table, std::string_view workbook_id) {
  const json::object* o = lookup(table, workbook_id);
  return o ? *o : kEmptyObject;
}

// Node members of the wrong type are dropped, and so are children that are not objects. The
// depth is bounded by the JSON depth cap of every received message.
void clean_tree_node(json::object& node, std::string_view what, const std::string& workbook_id, const Logger& log) {
  for (std::string_view key : {"type", "id", "name"})
    if (drop_unless(node, key, json::kind::string))
      log->warn("Ignoring '{}' of a node of {} for {}: not a text", key, what, workbook_id);
  if (drop_unless(node, "children", json::kind::array))
    log->warn("Ignoring 'children' of a node of {} for {}: not a list", what, workbook_id);
  auto* children = node.if_contains("children");
  if (!children) return;
  auto& list = children->get_array();
  for (auto it = list.begin(); it != list.end();) {
    if (!it->is_object()) {
      log->warn("Ignoring a child of a node of {} for {}: not an object", what, workbook_id);
      it = list.erase(it);
      continue;
    }
    clean_tree_node(it->get_object(), what, workbook_id, log);
    ++it;
  }
}

void clean_definitions(json::object& definitions, std::string_view what, const std::string& workbook_id,
                       const Logger& log) {
  for (auto it = definitions.begin(); it != definitions.end();) {
    std::string type(it->key());
    if (!it->value().is_array()) {
      if (!it->value().is_null())
        log->warn("Ignoring the definitions of type '{}' in {} for {}: not a list", type, what, workbook_id);
      it = definitions.erase(it);
      continue;
    }
    auto& list = it->value().get_array();
    for (auto d = list.begin(); d != list.end();) {
      if (!d->is_object()) {
        log->warn("Ignoring a definition of type '{}' in {} for {}: not an object", type, what, workbook_id);
        d = list.erase(d);
        continue;
      }
      auto& def = d->get_object();
      for (auto [key, kind] : {std::pair<std::string_view, json::kind>{"eventType", json::kind::string},
                               {"eventName", json::kind::string},
                               {"eventArgsType", json::kind::string},
                               {"args", json::kind::array}})
        if (drop_unless(def, key, kind))
          log->warn("Ignoring '{}' of a definition of type '{}' in {} for {}: not {}", key, type, what, workbook_id,
                    kind_name(kind));
      ++d;
    }
    ++it;
  }
}

json::value member_or(const json::object& o, std::string_view key, json::value fallback, json::kind k) {
  auto* v = o.if_contains(key);
  return v && v->kind() == k ? *v : std::move(fallback);
}

json::object merge_node(const json::object& node, const json::object& definitions, const HandlerRegistry* registry,
                        bool is_com) {
  std::string_view type = get_str(node, "type");
  std::string_view id = get_str(node, "id");
  json::array events;
  if (auto* defs = definitions.if_contains(type); defs && defs->is_array()) {
    for (const auto& d : defs->get_array()) {
      if (!d.is_object()) continue;
      const auto& def = d.get_object();
      std::string_view event_name = get_str(def, "eventName");
      std::string python_function;
      if (const json::object* entry = registry ? registry->find(id, event_name) : nullptr;
          entry && !is_missing(*entry, "module_name") && !is_missing(*entry, "function_name"))
        python_function = py_member(*entry, "module_name") + "." + py_member(*entry, "function_name");
      json::object event;
      event["name"] = event_name;
      event["type"] = get_str(def, "eventType");
      event["arg_type"] = get_str(def, "eventArgsType");
      event["com_args"] = member_or(def, "args", json::array(), json::kind::array);
      event["is_com"] = is_com;
      event["python_function"] = std::move(python_function);
      events.push_back(std::move(event));
    }
  }
  json::array children;
  if (auto* c = node.if_contains("children"); c && c->is_array())
    for (const auto& child : c->get_array())
      if (child.is_object()) children.push_back(merge_node(child.get_object(), definitions, registry, is_com));
  json::object merged;
  merged["id"] = id;
  merged["name"] = get_str(node, "name");
  merged["type"] = type;
  merged["events"] = std::move(events);
  merged["children"] = std::move(children);
  return merged;
}

// A required text of an editor's request: present, a text and not empty.
std::optional<std::string> required_text(const json::object& message, std::string_view key) {
  std::string_view v = get_str(message, key);
  if (v.empty()) return std::nullopt;
  return std::string(v);
}

json::object handler_result(std::string_view type, std::string_view workbook_id, std::string_view object_id,
                            std::string_view event_name, bool success) {
  json::object m;
  m["type"] = type;
  m["workbook_id"] = workbook_id;
  m["object_id"] = object_id;
  m["event_name"] = event_name;
  m["success"] = success;
  return m;
}

}  // namespace

// ---- conversions ------------------------------------------------------------------------------

HandlerRegistry _events_from_addin_to_ide(Server& server, const json::value& config) {
  HandlerRegistry registry;
  if (config.is_null()) return registry;
  const auto& log = server.logger;
  if (!config.is_object()) {
    log->warn("Ignoring an events configuration that is not an object");
    return registry;
  }
  for (const auto& [object_id, value] : config.get_object()) {
    const json::value* type = value.is_object() ? value.get_object().if_contains("ObjectType") : nullptr;
    if (!type || !type->is_string()) {
      log->warn("Skipping events configuration of object '{}': no ObjectType", std::string_view(object_id));
      continue;
    }
    const json::value* events = value.get_object().if_contains("events");
    if (!events || events->is_null()) continue;
    if (!events->is_object()) {
      log->warn("Skipping events configuration of object '{}': its events are not an object",
                std::string_view(object_id));
      continue;
    }
    for (const auto& [event_name, entry] : events->get_object()) {
      if (!entry.is_object()) {
        log->warn("Skipping handler '{}'.'{}': its entry is not an object", std::string_view(object_id),
                  std::string_view(event_name));
        continue;
      }
      json::object copy = entry.get_object();
      copy["object_type"] = *type;
      registry.set(object_id, event_name, std::move(copy));
    }
  }
  return registry;
}

json::object _events_from_ide_to_addin(const HandlerRegistry& registry) {
  json::object config;
  for (const auto& item : registry) {
    json::value* object = config.if_contains(item.object_id);
    if (!object) {
      json::object o;
      const json::value* type = item.entry.if_contains("object_type");
      o["ObjectType"] = type ? *type : json::value("");
      o["events"] = json::object();
      object = &(config[item.object_id] = std::move(o));
    }
    object->get_object()["events"].get_object()[item.event_name] = item.entry;
  }
  return config;
}

json::object _events_to_com_config(const HandlerRegistry& registry) {
  json::object config;
  for (const auto& item : registry) config[python_pair_repr(item.object_id, item.event_name)] = item.entry;
  return config;
}

// ---- stores and the merged state --------------------------------------------------------------

void ConnectionManager::store_workbook_tree(const std::string& workbook_id, json::value tree, bool win32) {
  std::string_view what = win32 ? "the Win32 workbook tree" : "the workbook tree";
  json::object clean;
  if (tree.is_object()) {
    clean = std::move(tree.get_object());
    clean_tree_node(clean, what, workbook_id, log_);
  } else if (!tree.is_null()) {
    log_->warn("Ignoring {} for {}: not an object", what, workbook_id);
  }
  (win32 ? win32_workbook_tree : workbook_tree)[workbook_id] = std::move(clean);
}

void ConnectionManager::store_event_definitions(const std::string& workbook_id, json::value definitions, bool win32) {
  std::string_view what = win32 ? "the Win32 event definitions" : "the event definitions";
  json::object clean;
  if (definitions.is_object()) {
    clean = std::move(definitions.get_object());
    clean_definitions(clean, what, workbook_id, log_);
  } else if (!definitions.is_null()) {
    log_->warn("Ignoring {} for {}: not an object", what, workbook_id);
  }
  (win32 ? win32_event_definitions : event_definitions)[workbook_id] = std::move(clean);
}

void ConnectionManager::handle_workbook_structure_update(const std::string& workbook_id, json::value tree) {
  store_workbook_tree(workbook_id, std::move(tree));
  log_->info("Received workbook structure update for: {}", workbook_id);
  server_.background.spawn(_push_event_manager_state(workbook_id));
}

void ConnectionManager::handle_event_definitions_update(const std::string& workbook_id, json::value definitions) {
  store_event_definitions(workbook_id, std::move(definitions));
  log_->info("Received event definitions for: {}", workbook_id);
  server_.background.spawn(_push_event_manager_state(workbook_id));
}

json::array ConnectionManager::_merge_tree_with_events(const json::object& tree, const json::object& definitions,
                                                       const HandlerRegistry* registry, bool is_com) {
  json::array view;
  if (!tree.empty()) view.push_back(merge_node(tree, definitions, registry, is_com));
  return view;
}

awaitable<void> ConnectionManager::_push_event_manager_state(std::string workbook_id, PeerPtr websocket) {
  try {
    json::array view = _merge_tree_with_events(object_or_empty(workbook_tree, workbook_id),
                                               object_or_empty(event_definitions, workbook_id),
                                               lookup(registered_handlers, workbook_id), false);
    // The add-in and the kernel share the workbook id; the latest connection's arguments count.
    if (const json::object* args = client_arguments(workbook_id); args && get_str(*args, "platform") == "win32") {
      json::array com = _merge_tree_with_events(object_or_empty(win32_workbook_tree, workbook_id),
                                                object_or_empty(win32_event_definitions, workbook_id),
                                                lookup(win32_registered_handlers, workbook_id), true);
      for (auto& node : com) view.push_back(std::move(node));
    }
    const HandlerRegistry* handlers = lookup(registered_handlers, workbook_id);
    const std::size_t count = handlers ? handlers->size() : 0;
    json::object message;
    message["type"] = "event_manager_state";
    message["workbook_id"] = workbook_id;
    message["view_model"] = std::move(view);
    if (websocket) {
      co_await websocket->send_text(std::make_shared<const std::string>(to_json(message)));
      log_->debug("Pushed merged event manager state to IDE websocket for: {}. {} handlers.", workbook_id, count);
    } else {
      co_await broadcast("ide", message);
      log_->debug("Pushed merged event manager state to IDE for: {}. {} handlers.", workbook_id, count);
    }
  } catch (const std::exception& e) {
    log_->error("Error pushing event manager state: {}", e.what());
  }
}

// ---- registration -----------------------------------------------------------------------------

awaitable<bool> ConnectionManager::handle_register_handler(std::string workbook_id, std::string object_type,
                                                           std::string object_id, std::string event_name,
                                                           std::string module_name, std::string function_name,
                                                           bool is_com) {
  log_->info("Registering handler: {}/{}[{}].{} -> {}.{}", workbook_id, object_type, object_id, event_name,
             module_name, function_name);
  json::object request;
  request["type"] = "register_handler_request";
  request["object_type"] = object_type;
  request["object_id"] = object_id;
  request["event_name"] = event_name;
  request["module_name"] = module_name;
  request["function_name"] = function_name;
  request["is_com"] = is_com;
  std::optional<json::object> reply;
  try {
    reply = co_await send_and_wait_response("addin", workbook_id, std::move(request), _handler_registration_timeout);
  } catch (const NotConnectedError& e) {
    log_->warn("Error registering handler: {}", e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error registering handler: {}", e.what());
  }
  if (!reply) co_return false;
  const bool success = !is_missing(*reply, "success");
  if (success) {
    json::object entry;
    entry["module_name"] = module_name;
    entry["function_name"] = function_name;
    entry["object_type"] = object_type;
    (is_com ? win32_registered_handlers : registered_handlers)[workbook_id].set(object_id, event_name,
                                                                                std::move(entry));
    log_->debug("Registered handler in local registry");
    if (is_com) co_await _push_com_events_config_to_kernel(workbook_id);
    co_await _push_event_manager_state(workbook_id);
  }
  co_return success;
}

awaitable<bool> ConnectionManager::handle_unregister_handler(std::string workbook_id, std::string object_id,
                                                             std::string event_name, bool is_com) {
  log_->info("Unregistering handler: {}/{}.{}", workbook_id, object_id, event_name);
  json::object request;
  request["type"] = "unregister_handler_request";
  request["object_id"] = object_id;
  request["event_name"] = event_name;
  request["is_com"] = is_com;
  std::optional<json::object> reply;
  try {
    reply = co_await send_and_wait_response("addin", workbook_id, std::move(request), _handler_registration_timeout);
  } catch (const NotConnectedError& e) {
    log_->warn("Error unregistering handler: {}", e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error unregistering handler: {}", e.what());
  }
  if (!reply) co_return false;
  const bool success = !is_missing(*reply, "success");
  if (success) {
    auto& table = is_com ? win32_registered_handlers : registered_handlers;
    if (auto it = table.find(workbook_id); it != table.end()) it->second.erase(object_id, event_name);
    log_->debug("Unregistered handler from local registry");
    if (is_com) co_await _push_com_events_config_to_kernel(workbook_id);
    co_await _push_event_manager_state(workbook_id);
  }
  co_return success;
}

// ---- configuration pushes ---------------------------------------------------------------------

awaitable<void> ConnectionManager::_push_events_config_to_addin(std::string workbook_id, const HandlerRegistry* config,
                                                                bool save, PeerPtr websocket) {
  try {
    if (!config || config->empty()) config = lookup(registered_handlers, workbook_id);
    const HandlerRegistry* com = lookup(win32_registered_handlers, workbook_id);
    const std::string id = new_uuid();
    json::object message;
    message["type"] = "save_event_config_request";
    message["workbook_id"] = workbook_id;
    message["config"] = config ? _events_from_ide_to_addin(*config) : json::object();
    message["com_config"] = com ? _events_from_ide_to_addin(*com) : json::object();
    message["request_id"] = id;
    message["requestId"] = id;
    message["save"] = save;
    if (websocket) {
      co_await websocket->send_text(std::make_shared<const std::string>(to_json(message)));
      log_->debug("Pushed events configuration to IDE websocket for: {}", workbook_id);
    } else {
      co_await send_to_addin(workbook_id, message);
      log_->debug("Pushed events configuration to IDE for: {}", workbook_id);
    }
  } catch (const std::exception& e) {
    log_->error("Error pushing events configuration: {}", e.what());
  }
}

awaitable<void> ConnectionManager::_push_com_events_config_to_kernel(std::string workbook_id,
                                                                     const HandlerRegistry* registry,
                                                                     PeerPtr websocket) {
  try {
    if (!registry || registry->empty()) registry = lookup(win32_registered_handlers, workbook_id);
    const std::string id = new_uuid();
    json::object message;
    message["type"] = "com_event_config_update";
    message["workbook_id"] = workbook_id;
    message["com_config"] = registry ? _events_to_com_config(*registry) : json::object();
    message["request_id"] = id;
    message["requestId"] = id;
    if (websocket) {
      co_await websocket->send_text(std::make_shared<const std::string>(to_json(message)));
      log_->debug("Pushed COM events configuration to Kernell websocket for: {}", workbook_id);
    } else {
      co_await send_to_kernel(workbook_id, message);
      log_->debug("Pushed COM events configuration to Kernel for: {}", workbook_id);
    }
  } catch (const std::exception& e) {
    log_->error("Error pushing events configuration: {}", e.what());
  }
}

// ---- handlers: add-in -------------------------------------------------------------------------

awaitable<void> handle_workbook_structure_update(Server& server, std::string client_id, json::object message) {
  auto* tree = message.if_contains("tree");
  server.manager.handle_workbook_structure_update(client_id, tree ? std::move(*tree) : json::value());
  co_return;
}

awaitable<void> handle_event_definitions_update(Server& server, std::string client_id, json::object message) {
  auto* definitions = message.if_contains("definitions");
  server.manager.handle_event_definitions_update(client_id, definitions ? std::move(*definitions) : json::value());
  co_return;
}

awaitable<void> handle_workbook_name_changed(Server& server, std::string client_id, json::object message) {
  auto& manager = server.manager;
  auto text_or_null = [&](std::string_view key) -> json::value {
    auto* v = message.if_contains(key);
    if (v && v->is_string()) return *v;
    if (v && !v->is_null()) server.logger->warn("Ignoring '{}' of workbook_name_changed: not a text", key);
    return nullptr;
  };
  json::value old_name = text_or_null("old_name");
  json::value new_name = text_or_null("new_name");
  std::string path(get_str(message, "path"));
  if (new_name.is_string()) manager.client_names[client_id] = NamedEntry{std::string(new_name.get_string()), "addin"};
  else manager.client_names.erase(client_id);
  server.logger->info("Workbook name changed: {} -> {} (workbook_id: {}, path: {})", py_str(old_name),
                      py_str(new_name), client_id, path);
  json::object notice;
  notice["type"] = "workbook_name_changed";
  notice["workbook_id"] = client_id;
  notice["old_name"] = std::move(old_name);
  notice["new_name"] = std::move(new_name);
  notice["path"] = path;
  co_await manager.send_to_ide(notice);
}

awaitable<void> handle_event_config_response(Server& server, std::string client_id, json::object message) {
  message["workbook_id"] = client_id;
  co_await server.manager.send_to_ide(message);
}

// ---- handlers: kernel -------------------------------------------------------------------------

awaitable<void> handle_win32_event_definitions(Server& server, std::string client_id, json::object message) {
  auto* definitions = message.if_contains("definitions");
  server.manager.store_event_definitions(client_id, definitions ? std::move(*definitions) : json::value(), true);
  server.logger->info("Stored Win32 event definitions for {}", client_id);
  co_await server.manager._push_event_manager_state(client_id);
}

awaitable<void> handle_win32_workbook_tree_update(Server& server, std::string client_id, json::object message) {
  auto* tree = message.if_contains("tree");
  server.manager.store_workbook_tree(client_id, tree ? std::move(*tree) : json::value(), true);
  server.logger->debug("Updated Win32 workbook tree for {}", client_id);
  co_await server.manager._push_event_manager_state(client_id);
}

// ---- handlers: editors ------------------------------------------------------------------------

awaitable<void> handle_get_object_registry(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received get_object_registry from IDE without workbook_id");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  server.logger->debug("[Server] Forwarding get_object_registry to kernel {}", workbook_id);
  co_await server.manager.send_to_kernel(workbook_id, message);
}

awaitable<void> handle_event_request_to_addin(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received {} from IDE without workbook_id", py_member(message, "type"));
    co_return;
  }
  co_await server.manager.send_to_addin(py_member(message, "workbook_id"), message);
}

awaitable<void> handle_refresh_event_manager_state(Server& server, std::string, json::object message) {
  auto& manager = server.manager;
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received refresh_event_manager_state from IDE without workbook_id");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  if (manager.workbook_tree.contains(workbook_id) && manager.event_definitions.contains(workbook_id)) {
    co_await manager._push_event_manager_state(workbook_id);
    server.logger->debug("Pushed cached event manager state for: {}", workbook_id);
    co_return;
  }
  server.logger->debug("No cached data, triggering scan for: {}", workbook_id);
  json::object scan;
  scan["type"] = "scan_objects_request";
  scan["workbook_id"] = workbook_id;
  co_await manager.send_to_addin(workbook_id, scan);
}

awaitable<void> handle_register_handler(Server& server, std::string, json::object message) {
  auto workbook_id = required_text(message, "workbook_id");
  auto object_type = required_text(message, "object_type");
  auto object_id = required_text(message, "object_id");
  auto event_name = required_text(message, "event_name");
  auto module_name = required_text(message, "module_name");
  auto function_name = required_text(message, "function_name");
  if (!workbook_id || !object_type || !object_id || !event_name || !module_name || !function_name) {
    server.logger->warn("Received register_handler from IDE with missing parameters");
    co_return;
  }
  const bool is_com = !is_missing(message, "is_com");
  bool success = co_await server.manager.handle_register_handler(*workbook_id, *object_type, *object_id, *event_name,
                                                                 *module_name, *function_name, is_com);
  co_await server.manager.send_to_ide(
      handler_result("register_handler_result", *workbook_id, *object_id, *event_name, success));
}

awaitable<void> handle_unregister_handler(Server& server, std::string, json::object message) {
  auto workbook_id = required_text(message, "workbook_id");
  auto object_id = required_text(message, "object_id");
  auto event_name = required_text(message, "event_name");
  if (!workbook_id || !object_id || !event_name) {
    server.logger->warn("Received unregister_handler from IDE with missing parameters");
    co_return;
  }
  const bool is_com = !is_missing(message, "is_com");
  bool success = co_await server.manager.handle_unregister_handler(*workbook_id, *object_id, *event_name, is_com);
  co_await server.manager.send_to_ide(
      handler_result("unregister_handler_result", *workbook_id, *object_id, *event_name, success));
}

awaitable<void> handle_rename_module_in_events(Server& server, std::string, json::object message) {
  const auto& log = server.logger;
  auto workbook_id = required_text(message, "workbook_id");
  auto old_module = required_text(message, "old_module_name");
  auto new_module = required_text(message, "new_module_name");
  if (!workbook_id || !old_module || !new_module) {
    log->warn("Received rename_module_in_events from IDE with missing parameters");
    co_return;
  }
  json::array events;
  if (auto* e = message.if_contains("events"); e && e->is_array()) events = std::move(e->get_array());
  else if (e && !e->is_null()) log->warn("Ignoring 'events' of rename_module_in_events: not a list");
  if (events.empty()) {
    log->debug("[BusinessLayer] No events to update for module rename: {} -> {}", *old_module, *new_module);
    co_return;
  }
  log->info("[BusinessLayer] Renaming module in {} event handler(s): {} -> {}", events.size(), *old_module,
            *new_module);
  for (const auto& item : events) {
    const json::object& event = item.is_object() ? item.get_object() : kEmptyObject;
    auto object_type = required_text(event, "object_type");
    auto object_id = required_text(event, "object_id");
    auto event_name = required_text(event, "event_name");
    auto function_name = required_text(event, "function_name");
    if (!object_type || !object_id || !event_name || !function_name) {
      log->warn("[BusinessLayer] Skipping event with missing parameters: {}", py_str(item));
      continue;
    }
    const bool is_com = !is_missing(event, "is_com");
    co_await server.manager.handle_unregister_handler(*workbook_id, *object_id, *event_name, is_com);
    co_await server.manager.handle_register_handler(*workbook_id, *object_type, *object_id, *event_name, *new_module,
                                                    *function_name, is_com);
  }
  log->info("[BusinessLayer] Successfully updated event handlers for module rename");
}

}  // namespace switchyard

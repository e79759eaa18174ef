// Event handlers: the per-workbook event manager state (object trees, event definitions, handler
// registries), its merge into the editors' view model, handler registration through the add-in,
// and the event configuration pushed to the add-in and the kernel.
#include "switchyard/events.hpp"

#include "switchyard/handlers.hpp"
#include "switchyard/push_and_ask.hpp"
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

const json::object& object_or_empty(const std::optional<json::object>& o) { return o ? *o : kEmptyObject; }

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

// The member when it is of kind `k`, else `fallback`.
json::value member_of_kind_or(const json::object& o, std::string_view key, json::value fallback, json::kind k) {
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
      event["com_args"] = member_of_kind_or(def, "args", json::array(), json::kind::array);
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

void store_workbook_tree(Server& server, const std::string& workbook_id, json::value tree, bool win32) {
  std::string_view what = win32 ? "the Win32 workbook tree" : "the workbook tree";
  json::object clean;
  if (tree.is_object()) {
    clean = std::move(tree.get_object());
    clean_tree_node(clean, what, workbook_id, server.logger);
  } else if (!tree.is_null()) {
    server.logger->warn("Ignoring {} for {}: not an object", what, workbook_id);
  }
  Workbook& wb = server.workbooks.at(workbook_id);
  (win32 ? wb.win32_tree : wb.tree) = std::move(clean);
}

void store_event_definitions(Server& server, const std::string& workbook_id, json::value definitions, bool win32) {
  std::string_view what = win32 ? "the Win32 event definitions" : "the event definitions";
  json::object clean;
  if (definitions.is_object()) {
    clean = std::move(definitions.get_object());
    clean_definitions(clean, what, workbook_id, server.logger);
  } else if (!definitions.is_null()) {
    server.logger->warn("Ignoring {} for {}: not an object", what, workbook_id);
  }
  Workbook& wb = server.workbooks.at(workbook_id);
  (win32 ? wb.win32_definitions : wb.definitions) = std::move(clean);
}

void handle_workbook_structure_update(Server& server, const std::string& workbook_id, json::value tree) {
  store_workbook_tree(server, workbook_id, std::move(tree));
  server.logger->info("Received workbook structure update for: {}", workbook_id);
  server.background.spawn(_push_event_manager_state(server, workbook_id));
}

void handle_event_definitions_update(Server& server, const std::string& workbook_id, json::value definitions) {
  store_event_definitions(server, workbook_id, std::move(definitions));
  server.logger->info("Received event definitions for: {}", workbook_id);
  server.background.spawn(_push_event_manager_state(server, workbook_id));
}

json::array _merge_tree_with_events(const json::object& tree, const json::object& definitions,
                                                       const HandlerRegistry* registry, bool is_com) {
  json::array view;
  if (!tree.empty()) view.push_back(merge_node(tree, definitions, registry, is_com));
  return view;
}

awaitable<void> _push_event_manager_state(Server& server, std::string workbook_id, PeerPtr websocket) {
  static const Workbook none;
  const Workbook* found = server.workbooks.find(workbook_id);
  const Workbook& wb = found ? *found : none;
  json::array view = _merge_tree_with_events(object_or_empty(wb.tree), object_or_empty(wb.definitions), &wb.handlers,
                                             false);
  // The add-in and the kernel share the workbook id; the latest connection's arguments count.
  if (const json::object* args = server.manager.client_arguments(workbook_id);
      args && get_str(*args, "platform") == "win32") {
    json::array com = _merge_tree_with_events(object_or_empty(wb.win32_tree), object_or_empty(wb.win32_definitions),
                                              &wb.win32_handlers, true);
    for (auto& node : com) view.push_back(std::move(node));
  }
  json::object message;
  message["type"] = "event_manager_state";
  message["workbook_id"] = workbook_id;
  message["view_model"] = std::move(view);
  const PushNames names{.what = "merged event manager state",
                        .tail = fmt::format(" for: {}. {} handlers.", workbook_id, wb.handlers.size()),
                        .failure = "Error pushing event manager state"};
  co_await push(server, message, websocket, names);
}

// ---- registration -----------------------------------------------------------------------------

awaitable<bool> handle_register_handler(Server& server, std::string workbook_id, std::string object_type,
                                        std::string object_id, std::string event_name, std::string module_name,
                                        std::string function_name, bool is_com) {
  server.logger->info("Registering handler: {}/{}[{}].{} -> {}.{}", workbook_id, object_type, object_id, event_name,
                      module_name, function_name);
  json::object request;
  request["type"] = "register_handler_request";
  request["object_type"] = object_type;
  request["object_id"] = object_id;
  request["event_name"] = event_name;
  request["module_name"] = module_name;
  request["function_name"] = function_name;
  request["is_com"] = is_com;
  std::optional<json::object> reply = co_await ask_addin(server, workbook_id, std::move(request),
                                                         server.handler_registration_timeout,
                                                         "Error registering handler");
  if (!reply) co_return false;
  const bool success = !is_missing(*reply, "success");
  if (success) {
    json::object entry;
    entry["module_name"] = module_name;
    entry["function_name"] = function_name;
    entry["object_type"] = object_type;
    Workbook& wb = server.workbooks.at(workbook_id);
    (is_com ? wb.win32_handlers : wb.handlers).set(object_id, event_name, std::move(entry));
    server.logger->debug("Registered handler in local registry");
    if (is_com) co_await _push_com_events_config_to_kernel(server, workbook_id);
    co_await _push_event_manager_state(server, workbook_id);
  }
  co_return success;
}

awaitable<bool> handle_unregister_handler(Server& server, std::string workbook_id, std::string object_id,
                                          std::string event_name, bool is_com) {
  server.logger->info("Unregistering handler: {}/{}.{}", workbook_id, object_id, event_name);
  json::object request;
  request["type"] = "unregister_handler_request";
  request["object_id"] = object_id;
  request["event_name"] = event_name;
  request["is_com"] = is_com;
  std::optional<json::object> reply = co_await ask_addin(server, workbook_id, std::move(request),
                                                         server.handler_registration_timeout,
                                                         "Error unregistering handler");
  if (!reply) co_return false;
  const bool success = !is_missing(*reply, "success");
  if (success) {
    if (Workbook* wb = server.workbooks.find(workbook_id))
      (is_com ? wb->win32_handlers : wb->handlers).erase(object_id, event_name);
    server.logger->debug("Unregistered handler from local registry");
    if (is_com) co_await _push_com_events_config_to_kernel(server, workbook_id);
    co_await _push_event_manager_state(server, workbook_id);
  }
  co_return success;
}

// ---- configuration pushes ---------------------------------------------------------------------

awaitable<void> _push_events_config_to_addin(Server& server, std::string workbook_id, const HandlerRegistry* config,
                                             bool save, PeerPtr websocket) {
  const Workbook* wb = server.workbooks.find(workbook_id);
  if ((!config || config->empty()) && wb) config = &wb->handlers;
  const std::string id = new_uuid();
  json::object message;
  message["type"] = "save_event_config_request";
  message["workbook_id"] = workbook_id;
  message["config"] = config ? _events_from_ide_to_addin(*config) : json::object();
  message["com_config"] = wb ? _events_from_ide_to_addin(wb->win32_handlers) : json::object();
  message["request_id"] = id;
  message["requestId"] = id;
  message["save"] = save;
  const PushNames names{.what = "events configuration", .tail = " for: " + workbook_id,
                        .failure = "Error pushing events configuration"};
  co_await push(server, message, websocket, names, {"addin", workbook_id});
}

awaitable<void> _push_com_events_config_to_kernel(Server& server, std::string workbook_id,
                                                  const HandlerRegistry* registry, PeerPtr websocket) {
  const Workbook* wb = server.workbooks.find(workbook_id);
  if ((!registry || registry->empty()) && wb) registry = &wb->win32_handlers;
  const std::string id = new_uuid();
  json::object message;
  message["type"] = "com_event_config_update";
  message["workbook_id"] = workbook_id;
  message["com_config"] = registry ? _events_to_com_config(*registry) : json::object();
  message["request_id"] = id;
  message["requestId"] = id;
  const PushNames names{.what = "COM events configuration", .tail = " for: " + workbook_id,
                        .failure = "Error pushing events configuration", .to_one = "Kernell websocket",
                        .to_all = "Kernel"};
  co_await push(server, message, websocket, names, {"kernel", workbook_id});
}

// ---- handlers: add-in -------------------------------------------------------------------------

awaitable<void> handle_workbook_structure_update(Server& server, std::string client_id, json::object message) {
  auto* tree = message.if_contains("tree");
  handle_workbook_structure_update(server, client_id, tree ? std::move(*tree) : json::value());
  co_return;
}

awaitable<void> handle_event_definitions_update(Server& server, std::string client_id, json::object message) {
  auto* definitions = message.if_contains("definitions");
  handle_event_definitions_update(server, client_id, definitions ? std::move(*definitions) : json::value());
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
  store_event_definitions(server, client_id, definitions ? std::move(*definitions) : json::value(), true);
  server.logger->info("Stored Win32 event definitions for {}", client_id);
  co_await _push_event_manager_state(server, client_id);
}

awaitable<void> handle_win32_workbook_tree_update(Server& server, std::string client_id, json::object message) {
  auto* tree = message.if_contains("tree");
  store_workbook_tree(server, client_id, tree ? std::move(*tree) : json::value(), true);
  server.logger->debug("Updated Win32 workbook tree for {}", client_id);
  co_await _push_event_manager_state(server, client_id);
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
  if (const Workbook* wb = server.workbooks.find(workbook_id); wb && wb->tree && wb->definitions) {
    co_await _push_event_manager_state(server, workbook_id);
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
  bool success = co_await handle_register_handler(server, *workbook_id, *object_type, *object_id, *event_name,
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
  bool success = co_await handle_unregister_handler(server, *workbook_id, *object_id, *event_name, is_com);
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
    co_await handle_unregister_handler(server, *workbook_id, *object_id, *event_name, is_com);
    co_await handle_register_handler(server, *workbook_id, *object_type, *object_id, *event_name, *new_module,
                                     *function_name, is_com);
  }
  log->info("[BusinessLayer] Successfully updated event handlers for module rename");
}

}  // namespace switchyard

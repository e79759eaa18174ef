// The module cache, the module requests to the add-in, the editor's module handlers and the
// code pushes to kernels.
#include "switchyard/handlers.hpp"
#include "switchyard/validation.hpp"

namespace switchyard {

namespace {

json::object module_request(std::string_view type) {
  json::object m;
  m["type"] = type;
  return m;
}

std::string text_member(const json::object& o, std::string_view key) { return std::string(get_str(o, key)); }

json::object update_module_message(std::string_view workbook_id, std::string_view module_name, std::string_view code) {
  json::object m;
  m["type"] = "update_module";
  m["workbook_id"] = workbook_id;
  m["module_name"] = module_name;
  m["code"] = code;
  return m;
}

}  // namespace

// ---- cache ------------------------------------------------------------------------------------

void ConnectionManager::touch_modules(const std::string& workbook_id) {
  _module_generation[workbook_id] = ++next_generation_;
}

std::uint64_t ConnectionManager::module_generation(std::string_view workbook_id) const {
  auto it = _module_generation.find(workbook_id);
  return it == _module_generation.end() ? 0 : it->second;
}

void ConnectionManager::save_module(const std::string& workbook_id, const std::string& module_name, std::string code) {
  std::string hash = compute_code_hash(code);
  workbook_modules[workbook_id].set(module_name, CachedModule{std::move(code), std::move(hash)});
  touch_modules(workbook_id);
  log_->debug("Saved module '{}' for workbook '{}'", module_name, workbook_id);
}

bool ConnectionManager::delete_module(const std::string& workbook_id, const std::string& module_name) {
  auto it = workbook_modules.find(workbook_id);
  if (it == workbook_modules.end() || !it->second.erase(module_name)) return false;
  touch_modules(workbook_id);
  log_->debug("Deleted module '{}' from workbook '{}'", module_name, workbook_id);
  return true;
}

std::optional<std::string> ConnectionManager::get_module(std::string_view workbook_id,
                                                         std::string_view module_name) const {
  auto it = workbook_modules.find(workbook_id);
  if (it == workbook_modules.end()) return std::nullopt;
  const CachedModule* m = it->second.find(module_name);
  if (!m) return std::nullopt;
  return m->code;
}

const ModuleTable& ConnectionManager::list_modules(std::string_view workbook_id) const {
  static const ModuleTable empty;
  auto it = workbook_modules.find(workbook_id);
  return it == workbook_modules.end() ? empty : it->second;
}

void ConnectionManager::replace_modules(const std::string& workbook_id, const json::object& modules) {
  ModuleTable table;
  for (const auto& kv : modules) {
    if (!kv.value().is_string()) {
      log_->warn("Ignoring module '{}' of workbook {}: its code is not text", std::string_view(kv.key()), workbook_id);
      continue;
    }
    std::string code(kv.value().get_string());
    std::string hash = compute_code_hash(code);
    table.set(kv.key(), CachedModule{std::move(code), std::move(hash)});
  }
  workbook_modules[workbook_id] = std::move(table);
  touch_modules(workbook_id);
}

json::object ConnectionManager::modules_object(std::string_view workbook_id) const {
  json::object out;
  for (const auto& [name, module] : list_modules(workbook_id)) out[name] = module.code;
  return out;
}

// ---- requests to the add-in -------------------------------------------------------------------

awaitable<const ModuleTable*> ConnectionManager::request_modules_from_addin(std::string workbook_id) {
  try {
    json::object reply = co_await send_and_wait_response("addin", workbook_id, module_request("get_modules_request"),
                                                         _addin_request_timeout);
    json::object modules;
    if (auto* m = reply.if_contains("modules")) {
      if (m->is_object()) modules = m->get_object();
      else if (!m->is_null()) log_->warn("Workbook {} sent modules that are not an object; using none", workbook_id);
    }
    replace_modules(workbook_id, modules);
    log_->debug("Fetched {} modules from workbook: {}", modules.size(), workbook_id);
    co_return &workbook_modules[workbook_id];
  } catch (const NotConnectedError& e) {
    log_->warn("Error fetching modules from workbook {}: {}", workbook_id, e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error fetching modules from workbook {}: {}", workbook_id, e.what());
  }
  co_return nullptr;
}

awaitable<std::optional<json::array>> ConnectionManager::request_functions_from_addin(std::string workbook_id) {
  try {
    json::object reply = co_await send_and_wait_response("addin", workbook_id,
                                                         module_request("get_functions_request"), _addin_request_timeout);
    json::array functions;
    if (auto* f = reply.if_contains("functions"); f && f->is_array()) functions = std::move(f->get_array());
    log_->info("Received {} functions from addin for workbook {}", functions.size(), workbook_id);
    co_return functions;
  } catch (const NotConnectedError& e) {
    log_->warn("Error requesting functions from addin for workbook {}: {}", workbook_id, e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error requesting functions from addin for workbook {}: {}", workbook_id, e.what());
  }
  co_return std::nullopt;
}

awaitable<std::optional<json::object>> ConnectionManager::request_packages_from_addin(std::string workbook_id) {
  try {
    json::object reply = co_await send_and_wait_response("addin", workbook_id,
                                                         module_request("get_packages_request"), _addin_request_timeout);
    json::object out;
    auto take_list = [&](std::string_view key) {
      auto* v = reply.if_contains(key);
      return v && v->is_array() ? std::move(v->get_array()) : json::array();
    };
    out["packages"] = take_list("packages");
    out["python_paths"] = take_list("python_paths");
    log_->info("Received {} packages and {} python paths from addin for workbook {}",
               out["packages"].get_array().size(), out["python_paths"].get_array().size(), workbook_id);
    co_return out;
  } catch (const NotConnectedError& e) {
    log_->warn("Error requesting packages from addin for workbook {}: {}", workbook_id, e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error requesting packages from addin for workbook {}: {}", workbook_id, e.what());
  }
  co_return std::nullopt;
}

awaitable<std::optional<json::object>> ConnectionManager::request_events_info_from_addin(std::string workbook_id) {
  try {
    json::object reply = co_await send_and_wait_response("addin", workbook_id, module_request("get_events_request"),
                                                         _addin_request_timeout);
    json::object out;
    auto count = [](const json::value& v) -> std::size_t {
      return v.is_object() ? v.get_object().size() : v.is_array() ? v.get_array().size() : 0;
    };
    for (std::string_view key : {"events_registered", "com_events_registered", "events_definition", "events_tree"}) {
      auto* v = reply.if_contains(key);
      out[key] = v ? std::move(*v) : json::value(json::object());
    }
    log_->info("Received {} events_registered and {} events_definition and {} events_tree from addin for workbook {}",
               count(out["events_registered"]), count(out["events_definition"]), count(out["events_tree"]),
               workbook_id);
    co_return out;
  } catch (const NotConnectedError& e) {
    log_->warn("Error requesting events from addin for workbook {}: {}", workbook_id, e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error requesting events from addin for workbook {}: {}", workbook_id, e.what());
  }
  co_return std::nullopt;
}

awaitable<bool> ConnectionManager::save_module_to_addin(std::string workbook_id, std::string module_name,
                                                        std::string code) {
  try {
    json::object request = module_request("save_module_request");
    request["module_name"] = module_name;
    request["code"] = code;
    json::object reply = co_await send_and_wait_response("addin", workbook_id, std::move(request), _addin_request_timeout);
    bool success = !is_missing(reply, "success");
    if (success) {
      save_module(workbook_id, module_name, std::move(code));
      log_->debug("Saved module '{}' to workbook: {}", module_name, workbook_id);
    }
    co_return success;
  } catch (const NotConnectedError& e) {
    log_->warn("Error saving module to workbook {}: {}", workbook_id, e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error saving module to workbook {}: {}", workbook_id, e.what());
  }
  co_return false;
}

awaitable<std::optional<std::string>> ConnectionManager::load_module_from_addin(std::string workbook_id,
                                                                               std::string module_name) {
  try {
    json::object request = module_request("load_module_request");
    request["module_name"] = module_name;
    json::object reply = co_await send_and_wait_response("addin", workbook_id, std::move(request), _addin_request_timeout);
    auto* code = reply.if_contains("code");
    if (!code || code->is_null()) co_return std::nullopt;
    if (!code->is_string()) {
      log_->warn("Workbook {} sent code for module '{}' that is not text; ignoring it", workbook_id, module_name);
      co_return std::nullopt;
    }
    std::string text(code->get_string());
    save_module(workbook_id, module_name, text);
    log_->debug("Loaded module '{}' from workbook: {}", module_name, workbook_id);
    co_return text;
  } catch (const NotConnectedError& e) {
    log_->warn("Error loading module from workbook {}: {}", workbook_id, e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error loading module from workbook {}: {}", workbook_id, e.what());
  }
  co_return std::nullopt;
}

awaitable<bool> ConnectionManager::delete_module_from_addin(std::string workbook_id, std::string module_name) {
  try {
    json::object request = module_request("delete_module_request");
    request["module_name"] = module_name;
    json::object reply = co_await send_and_wait_response("addin", workbook_id, std::move(request), _addin_request_timeout);
    bool success = !is_missing(reply, "success");
    if (success) {
      delete_module(workbook_id, module_name);
      log_->debug("Deleted module '{}' from workbook: {}", module_name, workbook_id);
    }
    co_return success;
  } catch (const NotConnectedError& e) {
    log_->warn("Error deleting module from workbook {}: {}", workbook_id, e.what());
  } catch (const RequestTimeoutError& e) {
    log_->warn("Error deleting module from workbook {}: {}", workbook_id, e.what());
  }
  co_return false;
}

// ---- pushes -----------------------------------------------------------------------------------

awaitable<void> ConnectionManager::_push_modules(std::string workbook_id, const json::object* modules,
                                                 PeerPtr websocket) {
  try {
    json::object message;
    message["type"] = "workbook_connected";
    message["workbook_id"] = workbook_id;
    message["modules"] = (modules && !modules->empty()) ? *modules : modules_object(workbook_id);
    message["name"] = client_name(workbook_id);
    if (websocket) {
      co_await websocket->send_text(std::make_shared<const std::string>(to_json(message)));
      log_->debug("Pushed modules state to IDE websocket for: {}", workbook_id);
    } else {
      co_await broadcast("ide", message);
      log_->debug("Pushed modules state to IDE for: {}", workbook_id);
    }
  } catch (const std::exception& e) {
    log_->error("Error pushing modules state: {}", e.what());
  }
}

awaitable<void> send_modules_to_kernel(Server& server, std::string workbook_id) {
  auto& manager = server.manager;
  // Snapshot: the cache may change while the sends are in flight.
  std::vector<std::pair<std::string, std::string>> modules;
  for (const auto& [name, module] : manager.list_modules(workbook_id)) modules.emplace_back(name, module.code);
  for (const auto& [name, code] : modules)
    co_await manager.send_to_kernel(workbook_id, update_module_message(workbook_id, name, code));
  server.logger->info("Synced {} module(s) to kernel for workbook: {}", modules.size(), workbook_id);
}

awaitable<void> send_python_paths_to_kernel(Server& server, std::string workbook_id) {
  auto& manager = server.manager;
  auto it = manager.workbook_python_paths.find(workbook_id);
  if (it == manager.workbook_python_paths.end() || !it->second.is_array() || it->second.get_array().empty()) co_return;
  json::array paths = it->second.get_array();
  std::size_t count = paths.size();
  json::object message;
  message["type"] = "set_python_paths";
  message["old_paths"] = json::array();
  message["new_paths"] = std::move(paths);
  co_await manager.send_to_kernel(workbook_id, message);
  server.logger->info("Sent {} python paths to kernel for workbook {}", count, workbook_id);
}

bool code_is_synced(Server& server, std::string_view workbook_id) {
  auto& manager = server.manager;
  auto it = manager._synced_generation.find(workbook_id);
  return it != manager._synced_generation.end() && it->second == manager.module_generation(workbook_id);
}

awaitable<void> full_code_sync(Server& server, std::string workbook_id) {
  auto& manager = server.manager;
  auto& synced = manager._synced_hashes[workbook_id];
  const std::uint64_t generation = manager.module_generation(workbook_id);
  // Nothing changed since the last complete comparison: every hash still matches.
  if (auto it = manager._synced_generation.find(workbook_id);
      it != manager._synced_generation.end() && it->second == generation)
    co_return;

  // Modules whose code differs from what was last pushed, in table order.
  std::vector<std::pair<std::string, const CachedModule*>> changed;
  for (const auto& [name, module] : manager.list_modules(workbook_id)) {
    auto h = synced.find(name);
    if (h == synced.end() || h->second != module.hash) changed.emplace_back(name, &module);
  }
  if (changed.empty()) {
    manager._synced_generation[workbook_id] = generation;
    co_return;
  }
  // Copy what is about to be sent: the cache may change during the sends.
  std::vector<std::tuple<std::string, std::string, std::string>> pushes;
  pushes.reserve(changed.size());
  for (const auto& [name, module] : changed) pushes.emplace_back(name, module->code, module->hash);

  // The hashes are recorded before the first push is queued: frames to a peer leave in order, so
  // a concurrent call that finds them recorded is sent after these pushes, and does not push the
  // same code again.
  auto& recorded = manager._synced_hashes[workbook_id];
  for (auto& [name, code, hash] : pushes) recorded[name] = std::move(hash);

  int count = 0;
  for (auto& [name, code, hash] : pushes) {
    co_await manager.send_to_kernel(workbook_id, update_module_message(workbook_id, name, code));
    ++count;
    server.logger->debug("[Full Sync] Synced module '{}' to kernel", name);
  }
  if (manager.module_generation(workbook_id) == generation) manager._synced_generation[workbook_id] = generation;
  if (count > 0) server.logger->info("[Full Sync] Synced {} module(s) to kernel for workbook: {}", count, workbook_id);
}

// ---- editor handlers --------------------------------------------------------------------------

awaitable<void> handle_run_module(Server& server, std::string, json::object message) {
  const auto& log = server.logger;
  if (is_missing(message, "workbook_id")) {
    log->warn("Received run_module from IDE without workbook_id");
    co_return;
  }
  if (is_missing(message, "module_name")) {
    log->warn("Received run_module from IDE without module_name");
    co_return;
  }
  if (is_missing(message, "function_name")) {
    log->warn("Received run_module from IDE without function_name");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  std::string module_name = py_member(message, "module_name");
  std::string function_name = py_member(message, "function_name");
  if (auto v = validate_python_identifier(module_name); !v.valid) {
    log->warn("Invalid module name '{}': {}", module_name, v.error);
    co_return;
  }
  if (auto v = validate_python_identifier(function_name); !v.valid) {
    log->warn("Invalid function name '{}': {}", function_name, v.error);
    co_return;
  }
  log->info("[BusinessLayer] Routing run_module to kernel: {}.{} (workbook_id={})", module_name, function_name,
            workbook_id);
  co_await server.manager.send_to_kernel(workbook_id, message);
}

awaitable<void> handle_update_module(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id") || is_missing(message, "module_name")) {
    server.logger->warn("Received update_module from IDE without workbook_id or module_name");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  std::string module_name = py_member(message, "module_name");
  std::string code = text_member(message, "code");
  // The workbook's copy is saved in the background; the kernel does not wait for it.
  server.background.spawn([](Server& s, std::string wb, std::string name, std::string c) -> awaitable<void> {
    co_await s.manager.save_module_to_addin(std::move(wb), std::move(name), std::move(c));
  }(server, workbook_id, module_name, code));
  server.manager.save_module(workbook_id, module_name, std::move(code));
  co_await server.manager.send_to_kernel(workbook_id, message);
}

awaitable<void> handle_save_module(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id") || is_missing(message, "module_name")) {
    server.logger->warn("Received save_module from IDE without workbook_id or module_name");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  std::string module_name = py_member(message, "module_name");
  std::string code = text_member(message, "code");
  bool success = co_await server.manager.save_module_to_addin(workbook_id, module_name, code);
  server.manager.save_module(workbook_id, module_name, code);

  message["type"] = "update_module";
  if (!message.contains("code")) message["code"] = "";
  co_await server.manager.send_to_kernel(workbook_id, message);

  json::object reply;
  reply["type"] = "module_saved";
  reply["workbook_id"] = workbook_id;
  reply["module_name"] = module_name;
  reply["success"] = success;
  co_await server.manager.send_to_ide(reply);
}

awaitable<void> handle_delete_module(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id") || is_missing(message, "module_name")) {
    server.logger->warn("Received delete_module from IDE without workbook_id or module_name");
    co_return;
  }
  auto& manager = server.manager;
  std::string workbook_id = py_member(message, "workbook_id");
  std::string module_name = py_member(message, "module_name");
  bool success = co_await manager.delete_module_from_addin(workbook_id, module_name);
  manager.delete_module(workbook_id, module_name);

  json::object to_kernel;
  to_kernel["type"] = "delete_module";
  to_kernel["workbook_id"] = workbook_id;
  to_kernel["module_name"] = module_name;
  co_await manager.send_to_kernel(workbook_id, to_kernel);

  if (auto it = manager._synced_hashes.find(workbook_id); it != manager._synced_hashes.end()) {
    it->second.erase(module_name);
    manager._synced_generation.erase(workbook_id);
  }

  json::object reply;
  reply["type"] = "module_deleted";
  reply["workbook_id"] = workbook_id;
  reply["module_name"] = module_name;
  reply["success"] = success;
  co_await manager.send_to_ide(reply);
}

awaitable<void> handle_debug_command(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received {} from IDE without workbook_id", py_member(message, "type"));
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  co_await server.manager.send_to_kernel(workbook_id, message);
}

awaitable<void> handle_list_modules(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received list_modules from IDE without workbook_id");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  json::array names;
  for (const auto& [name, _] : server.manager.list_modules(workbook_id)) names.emplace_back(name);
  json::object reply;
  reply["type"] = "module_list";
  reply["workbook_id"] = workbook_id;
  reply["modules"] = std::move(names);
  co_await server.manager.send_to_ide(reply);
}

awaitable<void> handle_get_module(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id") || is_missing(message, "module_name")) {
    server.logger->warn("Received get_module from IDE without workbook_id or module_name");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  std::string module_name = py_member(message, "module_name");
  std::optional<std::string> code = server.manager.get_module(workbook_id, module_name);
  if (!code) code = co_await server.manager.load_module_from_addin(workbook_id, module_name);
  json::object reply;
  reply["type"] = "module_content";
  reply["workbook_id"] = workbook_id;
  reply["module_name"] = module_name;
  if (code) reply["code"] = *code;
  else reply["code"] = nullptr;
  co_await server.manager.send_to_ide(reply);
}

awaitable<void> handle_get_all_modules(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received get_all_modules from IDE without workbook_id");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  json::object reply;
  reply["type"] = "all_modules";
  reply["workbook_id"] = workbook_id;
  reply["modules"] = server.manager.modules_object(workbook_id);
  co_await server.manager.send_to_ide(reply);
}

awaitable<void> handle_kernel_request_module_sync(Server& server, std::string client_id, json::object message) {
  std::string module_name = py_member(message, "module_name");
  std::string workbook_id = is_missing(message, "workbook_id") ? client_id : py_member(message, "workbook_id");
  server.logger->info("[Server] Kernel requesting module sync: {} for workbook: {}", module_name, workbook_id);
  std::optional<std::string> code = server.manager.get_module(workbook_id, module_name);
  if (code && !code->empty()) {
    server.logger->info("[Server] Sending cached module {} to kernel", module_name);
    json::object reply;
    reply["type"] = "update_module";
    reply["module_name"] = message.contains("module_name") ? message["module_name"] : json::value(nullptr);
    reply["code"] = *code;
    co_await server.manager.send_to_kernel(workbook_id, reply);
    co_return;
  }
  server.logger->info("[Server] Module {} not in cache, requesting from addin", module_name);
  json::object request;
  request["type"] = "get_module_request";
  request["module_name"] = message.contains("module_name") ? message["module_name"] : json::value(nullptr);
  request["for_streaming"] = true;
  co_await server.manager.send_to_addin(workbook_id, request);
}

}  // namespace switchyard

// The module cache, the module requests to the add-in, the editor's module handlers and the
// code pushes to kernels.
#include "switchyard/modules.hpp"

#include "switchyard/handlers.hpp"
#include "switchyard/push_and_ask.hpp"
#include "switchyard/validation.hpp"

namespace switchyard {

namespace {

json::object module_request(std::string_view type) {
  json::object m;
  m["type"] = type;
  return m;
}

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

namespace {

const Logger& cache_log() {
  static const Logger log = corvane::logging::get_logger("business_layer.switchyard");
  return log;
}

void modules_changed(Workbook& wb) { ++wb.module_generation; }

}  // namespace

void save_module(Workbook& wb, const std::string& module_name, std::string code) {
  std::string hash = compute_code_hash(code);
  wb.modules.set(module_name, CachedModule{std::move(code), std::move(hash)});
  modules_changed(wb);
  cache_log()->debug("Saved module '{}' for workbook '{}'", module_name, wb.id);
}

bool delete_module(Workbook& wb, const std::string& module_name) {
  if (!wb.modules.erase(module_name)) return false;
  modules_changed(wb);
  cache_log()->debug("Deleted module '{}' from workbook '{}'", module_name, wb.id);
  return true;
}

std::optional<std::string> get_module(const Workbook* wb, std::string_view module_name) {
  const CachedModule* m = wb ? wb->modules.find(module_name) : nullptr;
  if (!m) return std::nullopt;
  return m->code;
}

const ModuleTable& list_modules(const Workbook* wb) {
  static const ModuleTable empty;
  return wb ? wb->modules : empty;
}

void replace_modules(Workbook& wb, const json::object& modules) {
  ModuleTable table;
  for (const auto& kv : modules) {
    if (!kv.value().is_string()) {
      cache_log()->warn("Ignoring module '{}' of workbook {}: its code is not text", std::string_view(kv.key()), wb.id);
      continue;
    }
    std::string code(kv.value().get_string());
    std::string hash = compute_code_hash(code);
    table.set(kv.key(), CachedModule{std::move(code), std::move(hash)});
  }
  wb.modules = std::move(table);
  modules_changed(wb);
}

json::object modules_object(const Workbook* wb) {
  json::object out;
  for (const auto& [name, module] : list_modules(wb)) out[name] = module.code;
  return out;
}

// ---- requests to the add-in -------------------------------------------------------------------

namespace {

// Asks the workbook's add-in one of the module, function, package or event questions; a failure
// is logged as "{failure} {workbook_id}: {reason}".
awaitable<std::optional<json::object>> ask_workbook(Server& server, const std::string& workbook_id,
                                                    json::object request, std::string_view failure) {
  return ask_addin(server, workbook_id, std::move(request), server.addin_request_timeout,
                   std::string(failure) + " " + workbook_id);
}

}  // namespace

awaitable<const ModuleTable*> request_modules_from_addin(Server& server, std::string workbook_id) {
  auto reply = co_await ask_workbook(server, workbook_id, module_request("get_modules_request"),
                                     "Error fetching modules from workbook");
  if (!reply) co_return nullptr;
  json::object modules;
  if (auto* m = reply->if_contains("modules")) {
    if (m->is_object()) modules = m->get_object();
    else if (!m->is_null()) server.logger->warn("Workbook {} sent modules that are not an object; using none", workbook_id);
  }
  Workbook& wb = server.workbooks.at(workbook_id);
  replace_modules(wb, modules);
  server.logger->debug("Fetched {} modules from workbook: {}", modules.size(), workbook_id);
  co_return &wb.modules;
}

awaitable<std::optional<json::array>> request_functions_from_addin(Server& server, std::string workbook_id) {
  auto reply = co_await ask_workbook(server, workbook_id, module_request("get_functions_request"),
                                     "Error requesting functions from addin for workbook");
  if (!reply) co_return std::nullopt;
  json::array functions;
  if (auto* f = reply->if_contains("functions"); f && f->is_array()) functions = std::move(f->get_array());
  server.logger->info("Received {} functions from addin for workbook {}", functions.size(), workbook_id);
  co_return functions;
}

awaitable<std::optional<json::object>> request_packages_from_addin(Server& server, std::string workbook_id) {
  auto reply = co_await ask_workbook(server, workbook_id, module_request("get_packages_request"),
                                     "Error requesting packages from addin for workbook");
  if (!reply) co_return std::nullopt;
  json::object out;
  auto take_list = [&](std::string_view key) {
    auto* v = reply->if_contains(key);
    return v && v->is_array() ? std::move(v->get_array()) : json::array();
  };
  out["packages"] = take_list("packages");
  out["python_paths"] = take_list("python_paths");
  server.logger->info("Received {} packages and {} python paths from addin for workbook {}",
                      out["packages"].get_array().size(), out["python_paths"].get_array().size(), workbook_id);
  co_return out;
}

awaitable<std::optional<json::object>> request_events_info_from_addin(Server& server, std::string workbook_id) {
  auto reply = co_await ask_workbook(server, workbook_id, module_request("get_events_request"),
                                     "Error requesting events from addin for workbook");
  if (!reply) co_return std::nullopt;
  json::object out;
  auto count = [](const json::value& v) -> std::size_t {
    return v.is_object() ? v.get_object().size() : v.is_array() ? v.get_array().size() : 0;
  };
  for (std::string_view key : {"events_registered", "com_events_registered", "events_definition", "events_tree"}) {
    auto* v = reply->if_contains(key);
    out[key] = v ? std::move(*v) : json::value(json::object());
  }
  server.logger->info(
      "Received {} events_registered and {} events_definition and {} events_tree from addin for workbook {}",
      count(out["events_registered"]), count(out["events_definition"]), count(out["events_tree"]), workbook_id);
  co_return out;
}

awaitable<bool> save_module_to_addin(Server& server, std::string workbook_id, std::string module_name,
                                     std::string code) {
  json::object request = module_request("save_module_request");
  request["module_name"] = module_name;
  request["code"] = code;
  auto reply = co_await ask_workbook(server, workbook_id, std::move(request),
                                     "Error saving module to workbook");
  if (!reply) co_return false;
  bool success = !is_missing(*reply, "success");
  if (success) {
    save_module(server.workbooks.at(workbook_id), module_name, std::move(code));
    server.logger->debug("Saved module '{}' to workbook: {}", module_name, workbook_id);
  }
  co_return success;
}

awaitable<std::optional<std::string>> load_module_from_addin(Server& server, std::string workbook_id,
                                                             std::string module_name) {
  json::object request = module_request("load_module_request");
  request["module_name"] = module_name;
  auto reply = co_await ask_workbook(server, workbook_id, std::move(request),
                                     "Error loading module from workbook");
  if (!reply) co_return std::nullopt;
  auto* code = reply->if_contains("code");
  if (!code || code->is_null()) co_return std::nullopt;
  if (!code->is_string()) {
    server.logger->warn("Workbook {} sent code for module '{}' that is not text; ignoring it", workbook_id, module_name);
    co_return std::nullopt;
  }
  std::string text(code->get_string());
  save_module(server.workbooks.at(workbook_id), module_name, text);
  server.logger->debug("Loaded module '{}' from workbook: {}", module_name, workbook_id);
  co_return text;
}

awaitable<bool> delete_module_from_addin(Server& server, std::string workbook_id, std::string module_name) {
  json::object request = module_request("delete_module_request");
  request["module_name"] = module_name;
  auto reply = co_await ask_workbook(server, workbook_id, std::move(request),
                                     "Error deleting module from workbook");
  if (!reply) co_return false;
  bool success = !is_missing(*reply, "success");
  if (success) {
    delete_module(server.workbooks.at(workbook_id), module_name);
    server.logger->debug("Deleted module '{}' from workbook: {}", module_name, workbook_id);
  }
  co_return success;
}

// ---- pushes -----------------------------------------------------------------------------------

awaitable<void> _push_modules(Server& server, std::string workbook_id, const json::object* modules, PeerPtr websocket) {
  json::object message;
  message["type"] = "workbook_connected";
  message["workbook_id"] = workbook_id;
  message["modules"] = (modules && !modules->empty()) ? *modules : modules_object(server.workbooks.find(workbook_id));
  message["name"] = server.manager.client_name(workbook_id);
  const PushNames names{.what = "modules state", .tail = " for: " + workbook_id,
                        .failure = "Error pushing modules state"};
  co_await push(server, message, websocket, names);
}

awaitable<void> send_modules_to_kernel(Server& server, std::string workbook_id) {
  // Snapshot: the cache may change while the sends are in flight.
  std::vector<std::pair<std::string, std::string>> modules;
  for (const auto& [name, module] : list_modules(server.workbooks.find(workbook_id)))
    modules.emplace_back(name, module.code);
  for (const auto& [name, code] : modules)
    co_await server.manager.send_to_kernel(workbook_id, update_module_message(workbook_id, name, code));
  server.logger->info("Synced {} module(s) to kernel for workbook: {}", modules.size(), workbook_id);
}

awaitable<void> send_python_paths_to_kernel(Server& server, std::string workbook_id) {
  const Workbook* wb = server.workbooks.find(workbook_id);
  if (!wb || !wb->python_paths.is_array() || wb->python_paths.get_array().empty()) co_return;
  json::array paths = wb->python_paths.get_array();
  std::size_t count = paths.size();
  json::object message;
  message["type"] = "set_python_paths";
  message["old_paths"] = json::array();
  message["new_paths"] = std::move(paths);
  co_await server.manager.send_to_kernel(workbook_id, message);
  server.logger->info("Sent {} python paths to kernel for workbook {}", count, workbook_id);
}

bool code_is_synced(const Workbook* wb) { return wb && wb->synced_generation == wb->module_generation; }

awaitable<void> full_code_sync(Server& server, std::string workbook_id) {
  Workbook& wb = server.workbooks.at(workbook_id);
  // Nothing changed since the last complete comparison: every hash still matches.
  if (code_is_synced(&wb)) co_return;
  const std::uint64_t generation = wb.module_generation;

  // Modules whose code differs from what was last pushed, in table order. Their text is copied:
  // the cache may change during the sends.
  std::vector<std::pair<std::string, std::string>> pushes;
  for (const auto& [name, module] : wb.modules) {
    auto h = wb.synced_hashes.find(name);
    if (h != wb.synced_hashes.end() && h->second == module.hash) continue;
    // The hash is recorded before the first push is queued: frames to a peer leave in order, so
    // a concurrent call that finds it recorded is sent after these pushes, and does not push the
    // same code again.
    wb.synced_hashes[name] = module.hash;
    pushes.emplace_back(name, module.code);
  }

  int count = 0;
  for (auto& [name, code] : pushes) {
    co_await server.manager.send_to_kernel(workbook_id, update_module_message(workbook_id, name, code));
    ++count;
    server.logger->debug("[Full Sync] Synced module '{}' to kernel", name);
  }
  if (wb.module_generation == generation) wb.synced_generation = generation;
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
  std::string code(get_str(message, "code"));
  // The workbook's copy is saved in the background; the kernel does not wait for it.
  server.background.spawn([](Server& s, std::string wb, std::string name, std::string c) -> awaitable<void> {
    co_await save_module_to_addin(s, std::move(wb), std::move(name), std::move(c));
  }(server, workbook_id, module_name, code));
  save_module(server.workbooks.at(workbook_id), module_name, std::move(code));
  co_await server.manager.send_to_kernel(workbook_id, message);
}

awaitable<void> handle_save_module(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id") || is_missing(message, "module_name")) {
    server.logger->warn("Received save_module from IDE without workbook_id or module_name");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  std::string module_name = py_member(message, "module_name");
  std::string code(get_str(message, "code"));
  bool success = co_await save_module_to_addin(server, workbook_id, module_name, code);
  save_module(server.workbooks.at(workbook_id), module_name, code);

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
  bool success = co_await delete_module_from_addin(server, workbook_id, module_name);
  Workbook& wb = server.workbooks.at(workbook_id);
  delete_module(wb, module_name);

  json::object to_kernel;
  to_kernel["type"] = "delete_module";
  to_kernel["workbook_id"] = workbook_id;
  to_kernel["module_name"] = module_name;
  co_await manager.send_to_kernel(workbook_id, to_kernel);

  wb.synced_hashes.erase(module_name);
  wb.synced_generation.reset();

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
  for (const auto& [name, _] : list_modules(server.workbooks.find(workbook_id))) names.emplace_back(name);
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
  std::optional<std::string> code = get_module(server.workbooks.find(workbook_id), module_name);
  if (!code) code = co_await load_module_from_addin(server, workbook_id, module_name);
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
  reply["modules"] = modules_object(server.workbooks.find(workbook_id));
  co_await server.manager.send_to_ide(reply);
}

awaitable<void> handle_kernel_request_module_sync(Server& server, std::string client_id, json::object message) {
  std::string module_name = py_member(message, "module_name");
  std::string workbook_id = is_missing(message, "workbook_id") ? client_id : py_member(message, "workbook_id");
  server.logger->info("[Server] Kernel requesting module sync: {} for workbook: {}", module_name, workbook_id);
  std::optional<std::string> code = get_module(server.workbooks.find(workbook_id), module_name);
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

// Published functions: parameter extraction through the parameter helper, and the
// published-function lists of the add-in, the editors and the server kept in step.
#include "switchyard/published_functions.hpp"

#include "switchyard/handlers.hpp"
#include "switchyard/modules.hpp"
#include "switchyard/param_helper.hpp"
#include "switchyard/push_and_ask.hpp"

#include "services/json_truth.hpp"

namespace switchyard {

namespace {

using corvane::truthy;

// What Python prints for the type of a JSON value.
std::string_view python_type(const json::value& v) {
  switch (v.kind()) {
    case json::kind::null: return "<class 'NoneType'>";
    case json::kind::bool_: return "<class 'bool'>";
    case json::kind::int64:
    case json::kind::uint64: return "<class 'int'>";
    case json::kind::double_: return "<class 'float'>";
    case json::kind::string: return "<class 'str'>";
    case json::kind::array: return "<class 'list'>";
    case json::kind::object: return "<class 'dict'>";
  }
  return "<class 'object'>";
}

// The member as a name: its text, or Python's str() of another value (which never equals an
// identifier, so it never finds a module or a function).
std::string name_text(const json::value& v) {
  return v.is_string() ? std::string(v.get_string()) : py_str(v);
}

json::array stored_functions(const Server& server, std::string_view workbook_id) {
  const Workbook* wb = server.workbooks.find(workbook_id);
  if (!wb || !wb->published_functions.is_array()) return {};
  return wb->published_functions.get_array();
}

// The raw "functions" items of an add-in message; not a list counts as none.
const json::array& addin_items(Server& server, const json::object& message) {
  static const json::array none;
  const auto* functions = message.if_contains("functions");
  if (!functions) return none;
  if (functions->is_array()) return functions->get_array();
  server.logger->warn("[Server] Ignoring functions that are not a list: {}", python_type(*functions));
  return none;
}

json::array convert_addin_items(const json::array& items) {
  json::array out;
  for (const auto& item : items) {
    const auto* entry = item.if_object();
    if (!entry) continue;
    json::value module_name = entry->contains("module") ? entry->at("module") : member_or(*entry, "module_name", "");
    json::value function_name =
        entry->contains("function") ? entry->at("function") : member_or(*entry, "function_name", "");
    json::value excel_name = member_or(*entry, "excel_name", "");
    if (!truthy(module_name) || !truthy(function_name) || !truthy(excel_name)) continue;
    json::object converted;
    converted["module_name"] = std::move(module_name);
    converted["function_name"] = std::move(function_name);
    converted["excel_name"] = std::move(excel_name);
    converted["dimension"] = member_or(*entry, "dimension", "Scalar");
    converted["streaming"] = member_or(*entry, "streaming", false);
    out.emplace_back(std::move(converted));
  }
  return out;
}

}  // namespace

// ---- parameter extraction ------------------------------------------------------------------

ParameterHelper& get_parameter_helper(Server& server) {
  if (!server.parameter_helper)
    server.parameter_helper = std::make_shared<ParameterHelper>(
        server.executor, ParameterHelper::default_command(server.python_executable));
  return *server.parameter_helper;
}

json::array select_function_parameters(const SourceDefinitions& found, std::string_view function_name,
                                       const Logger& log) {
  json::array parameters;
  switch (found.outcome) {
    case SourceDefinitions::Outcome::syntax_error:
      log->warn("Syntax error in code when extracting parameters for '{}': {}", function_name, found.error);
      return parameters;
    case SourceDefinitions::Outcome::error:
    case SourceDefinitions::Outcome::unavailable:
      log->warn("Unexpected error extracting parameters for '{}': {}", function_name, found.error);
      return parameters;
    case SourceDefinitions::Outcome::parsed:
      break;
  }
  for (const auto& definition : found.functions) {
    if (definition.is_async || definition.name != function_name) continue;
    for (const auto& name : definition.parameters) {
      if (name == "self" || name == "cls") continue;
      json::object parameter;
      parameter["name"] = name;
      parameter["type"] = "any";  // annotations are not mapped: cells hold dynamic values
      parameters.emplace_back(std::move(parameter));
    }
    break;
  }
  return parameters;
}

awaitable<json::array> extract_function_parameters(Server& server, std::string code, std::string function_name,
                                                   std::string code_hash) {
  ParameterHelper& helper = get_parameter_helper(server);
  HelperTicket ticket = helper.request(code_hash, code);
  DefinitionsPtr found = co_await helper.wait(std::move(ticket));
  co_return select_function_parameters(*found, function_name, server.logger);
}

// ---- the published-function store ----------------------------------------------------------

bool _validate_function_entry(const json::value& entry) {
  const auto* o = entry.if_object();
  return o && o->contains("module_name") && o->contains("function_name") && o->contains("excel_name");
}

awaitable<void> handle_update_published_functions(Server& server, std::string workbook_id, json::array functions) {
  server.logger->info("Updating published functions for workbook: {}, count: {}", workbook_id, functions.size());
  server.workbooks.at(workbook_id).published_functions = functions;
  co_await _push_custom_functions_to_addin(server, workbook_id, &functions);
  co_await _push_published_functions_state(server, workbook_id, &functions);
}

awaitable<void> _push_custom_functions_to_addin(Server& server, std::string workbook_id,
                                                const json::array* functions) {
  json::array list = (functions && !functions->empty()) ? *functions : stored_functions(server, workbook_id);
  ParameterHelper& helper = get_parameter_helper(server);

  // Every module is handed to the helper before the first answer is awaited, each version
  // once, from the sources stored now.
  struct Pending {
    const json::object* entry = nullptr;  // null: skipped
    json::value module_name;
    json::value function_name;
    HelperTicket ticket;
  };
  std::vector<Pending> pending;
  pending.reserve(list.size());
  StringMap<HelperTicket> by_module;
  const ModuleTable& modules = list_modules(server.workbooks.find(workbook_id));
  for (const auto& item : list) {
    Pending p;
    static const json::object no_entry;
    const json::object& entry = item.is_object() ? item.get_object() : no_entry;
    p.module_name = member_or(entry, "module_name", "");
    p.function_name = member_or(entry, "function_name", "");
    if (truthy(p.module_name) && truthy(p.function_name)) {
      p.entry = &entry;
      std::string module = name_text(p.module_name);
      auto known = by_module.find(module);
      if (known != by_module.end()) {
        p.ticket = known->second;
      } else {
        const CachedModule* source = p.module_name.is_string() ? modules.find(module) : nullptr;
        p.ticket = source ? helper.request(source->hash, source->code) : helper.request({}, {});
        by_module.emplace(std::move(module), p.ticket);
      }
    }
    pending.push_back(std::move(p));
  }

  json::array registrations;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    Pending& p = pending[i];
    if (!p.entry) {
      server.logger->warn("Skipping function with missing module_name or function_name: {}", py_str(list[i]));
      continue;
    }
    DefinitionsPtr found = co_await helper.wait(p.ticket);
    json::object registration;
    registration["module"] = p.module_name;
    registration["function"] = p.function_name;
    registration["excel_name"] = member_or(*p.entry, "excel_name", "");
    registration["parameters"] = select_function_parameters(*found, name_text(p.function_name), server.logger);
    registration["dimension"] = member_or(*p.entry, "dimension", "Scalar");
    registration["streaming"] = member_or(*p.entry, "streaming", false);
    registrations.emplace_back(std::move(registration));
  }

  json::object message;
  message["type"] = "sync_custom_functions";
  message["functions"] = std::move(registrations);
  const PushNames names{.what = "custom functions", .tail = " for: " + workbook_id,
                        .failure = "Error pushing custom functions to Add-in", .to_all = "Add-in"};
  co_await push(server, message, nullptr, names, {"addin", workbook_id});
}

awaitable<void> _push_published_functions_state(Server& server, std::string workbook_id, const json::array* functions,
                                                PeerPtr websocket) {
  json::object message;
  message["type"] = "published_functions_state";
  message["workbook_id"] = workbook_id;
  message["functions"] = functions ? *functions : stored_functions(server, workbook_id);
  const PushNames names{.what = "published functions state", .tail = " for: " + workbook_id,
                        .failure = "Error pushing published functions state"};
  co_await push(server, message, websocket, names);
}

json::array get_functions_from_addin_message(Server& server, const json::object& message) {
  const json::array& items = addin_items(server, message);
  server.logger->info("[Server] Client syncing {} functions", items.size());
  return convert_addin_items(items);
}

// ---- handlers ------------------------------------------------------------------------------

awaitable<void> handle_update_published_functions(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received update_published_functions from IDE without workbook_id");
    co_return;
  }
  std::string workbook_id = py_member(message, "workbook_id");
  json::value functions = json::array();
  if (auto* given = message.if_contains("functions")) functions = std::move(*given);
  if (!functions.is_array()) {
    server.logger->warn("Received update_published_functions with invalid functions type: {}", python_type(functions));
    co_return;
  }
  json::array valid;
  for (auto& entry : functions.get_array()) {
    if (_validate_function_entry(entry)) valid.emplace_back(std::move(entry));
    else server.logger->warn("Skipping invalid function entry: {}", py_str(entry));
  }
  co_await handle_update_published_functions(server, std::move(workbook_id), std::move(valid));
}

awaitable<void> handle_get_function_at_position(Server& server, std::string, json::object message) {
  if (PeerPtr inspector = server.manager.get_connection("inspector", "main")) {
    co_await inspector->send_text(std::make_shared<const std::string>(to_json(message)));
    server.logger->debug("Forwarded get_function_at_position to inspector");
    co_return;
  }
  server.logger->warn("Inspector not connected, cannot process get_function_at_position");
  json::object reply;
  reply["type"] = "function_at_position_result";
  reply["request_id"] = member_or(message, "request_id", nullptr);
  reply["function_name"] = nullptr;
  reply["error"] = "Inspector service not available";
  co_await server.manager.send_to_ide(reply);
}

awaitable<void> handle_client_sync_functions(Server& server, std::string client_id, json::object message) {
  json::array functions = get_functions_from_addin_message(server, message);
  server.workbooks.at(client_id).published_functions = functions;
  co_await _push_published_functions_state(server, client_id, &functions);
  server.logger->debug("[Server] Synced functions to IDE for workbook: {}", client_id);
}

awaitable<void> handle_client_restored_functions(Server& server, std::string client_id, json::object message) {
  const json::array& items = addin_items(server, message);
  server.logger->info("[Server] Client restored {} functions for workbook: {}", items.size(), client_id);
  json::array functions = convert_addin_items(items);
  server.workbooks.at(client_id).published_functions = functions;
  co_await _push_published_functions_state(server, client_id, &functions);
  server.logger->debug("[Server] Synced restored functions to IDE for workbook: {}", client_id);
}

}  // namespace switchyard

// Plain relays between the peers, the small service handlers around them (ping, settings, editor
// control, add-in log lines), and the pushes that bring the editors up to date.
#include "switchyard/relays.hpp"

#include "switchyard/events.hpp"
#include "switchyard/handlers.hpp"
#include "switchyard/modules.hpp"
#include "switchyard/packages.hpp"
#include "switchyard/published_functions.hpp"
#include "switchyard/push_and_ask.hpp"

#include <cctype>

namespace switchyard {

namespace {

// The first `count` characters (code points) of UTF-8 text.
std::string_view first_chars(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < text.size() && seen < count; ++seen) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return text.substr(0, i);
}

// One logger per add-in script, created on first use and kept. A peer cannot make the server
// hold more than this many; later scripts log under "addin".
constexpr std::size_t kMaxScriptLoggers = 256;

Logger addin_logger(const std::string& name) {
  static StringMap<Logger> loggers;
  if (auto it = loggers.find(name); it != loggers.end()) return it->second;
  if (name != "addin" && loggers.size() >= kMaxScriptLoggers) return addin_logger("addin");
  return loggers.emplace(name, corvane::logging::get_logger(name)).first->second;
}

}  // namespace

// ---- plain relays -------------------------------------------------------------------------

awaitable<void> handle_execution_request(Server& server, std::string client_id, json::object message) {
  co_await server.manager.send_message("kernel", client_id, message);
}

awaitable<void> handle_excel_response(Server& server, std::string client_id, json::object message) {
  co_await server.manager.send_message("kernel", client_id, message);
}

awaitable<void> handle_sys_response(Server& server, std::string client_id, json::object message) {
  server.logger->debug("[Server] Routing sys_response from addin {} to kernel", client_id);
  co_await server.manager.send_message("kernel", client_id, message);
}

awaitable<void> handle_lsp_request(Server& server, std::string client_id, json::object message) {
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received {} from IDE without workbook_id", py_member(message, "type"));
    co_return;
  }
  co_await server.manager.send_message("kernel", py_member(message, "workbook_id"), message);
}

awaitable<void> handle_inspector_result(Server& server, std::string client_id, json::object message) {
  co_await server.manager.send_to_ide(message);
  server.logger->debug("Forwarded {} to IDE", py_member(message, "type"));
}

// ---- service handlers ---------------------------------------------------------------------

awaitable<void> handle_ping_from_addin(Server& server, std::string client_id, json::object message) {
  json::object pong;
  pong["type"] = "pong";
  pong["timestamp"] = unix_time();
  co_await server.manager.send_to_addin(client_id, pong);
}

awaitable<void> handle_set_hover_mode(Server& server, std::string client_id, json::object message) {
  json::value mode = member_or(message, "mode", "compact");
  server.logger->debug("[Server] Broadcasting set_hover_mode to all kernels: {}", py_str(mode));
  std::vector<std::string> kernels = server.manager.connected_ids("kernel");
  json::object out;
  out["type"] = "set_hover_mode";
  out["mode"] = std::move(mode);
  for (const auto& workbook_id : kernels) co_await server.manager.send_message("kernel", workbook_id, out);
}

awaitable<void> handle_get_settings(Server& server, std::string client_id, json::object message) {
  json::value path = member_or(message, "path", "");
  json::value value = path.is_string() ? server.settings_manager.get(path.get_string()) : json::value(nullptr);
  json::object out;
  out["type"] = "settings_response";
  out["request_id"] = member_or(message, "request_id", nullptr);
  out["path"] = std::move(path);
  out["value"] = std::move(value);
  co_await server.manager.send_to_ide(out);
}

awaitable<void> handle_set_setting(Server& server, std::string client_id, json::object message) {
  json::value path = member_or(message, "path", nullptr);
  // Only a stored value counts as saved: a path that names nothing is refused, and a file that
  // cannot be written is reported as a failure.
  bool success = false;
  if (path.is_string() && !path.get_string().empty()) {
    success = server.settings_manager.set(path.get_string(), member_or(message, "value", nullptr));
  } else {
    server.logger->warn("[BusinessLayer] Refusing set_setting with path {}: not a setting name", py_str(path));
  }
  json::object out;
  out["type"] = "setting_saved";
  out["request_id"] = member_or(message, "request_id", nullptr);
  out["path"] = std::move(path);
  out["success"] = success;
  co_await server.manager.send_to_ide(out);
}

awaitable<void> handle_get_all_settings(Server& server, std::string client_id, json::object message) {
  json::object out;
  out["type"] = "all_settings_response";
  out["request_id"] = member_or(message, "request_id", nullptr);
  out["initial"] = member_or(message, "initial", false);
  out["settings"] = server.settings_manager.get_all();
  co_await server.manager.send_to_ide(out);
}

awaitable<void> handle_show_ide(Server& server, std::string client_id, json::object message) {
  const auto& log = server.logger;
  if (!server.ide_manager) {
    log->error("IDE manager not initialized");
    co_return;
  }
  log->info("Received show_ide request from addin: {}", client_id);
  if (server.ide_manager->ensure_running()) {
    json::object out;
    out["type"] = "show_ide";
    co_await server.manager.send_to_ide(out);
    log->info("Sent show_ide message to IDE");
  } else {
    log->error("Failed to start IDE");
  }
}

awaitable<void> handle_kill_ide(Server& server, std::string client_id, json::object message) {
  const auto& log = server.logger;
  log->info("[BusinessLayer] Received kill_ide from {}", client_id);
  if (!server.ide_manager) {
    log->warn("[BusinessLayer] IDE manager not initialized");
    co_return;
  }
  if (server.ide_manager->kill_and_restart())
    log->info("[BusinessLayer] IDE killed and restarted successfully");
  else
    log->error("[BusinessLayer] Failed to restart IDE");
}

awaitable<void> handle_message_ide(Server& server, std::string client_id, json::object message) {
  const auto& log = server.logger;
  log->info("[BusinessLayer] Received message_ide from {}", client_id);
  json::value text = member_or(message, "message", "");
  std::string shown = py_str(text);
  json::object out;
  out["type"] = "message_ide";
  out["message"] = std::move(text);
  out["from_client"] = client_id;
  co_await server.manager.send_to_ide(out);
  log->debug("[BusinessLayer] Forwarded message_ide to IDE: {}...", first_chars(shown, 50));
}

awaitable<void> handle_restart_addin(Server& server, std::string client_id, json::object message) {
  const auto& log = server.logger;
  std::string workbook_id = is_missing(message, "workbook_id") ? client_id : py_member(message, "workbook_id");
  log->info("[BusinessLayer] Received restart_addin request for workbook: {}", workbook_id);
  json::object out;
  out["type"] = "restart_addin";
  co_await server.manager.send_to_addin(workbook_id, out);
  log->info("[BusinessLayer] Sent restart_addin to add-in: {}", workbook_id);
}

std::string addin_logger_name(std::string_view caller) {
  // The leftmost "/<name>.js:<digits>:<digits>"; <name> holds no "/" and is as long as it can be.
  auto digits_at = [&](std::size_t i) {
    std::size_t j = i;
    while (j < caller.size() && std::isdigit(static_cast<unsigned char>(caller[j]))) ++j;
    return j - i;
  };
  auto position_at = [&](std::size_t i) {  // ":<digits>:<digits>" starts at i
    if (i >= caller.size() || caller[i] != ':') return false;
    std::size_t n = digits_at(i + 1);
    if (n == 0) return false;
    i += 1 + n;
    return i < caller.size() && caller[i] == ':' && digits_at(i + 1) > 0;
  };
  for (std::size_t slash = caller.find('/'); slash != std::string_view::npos; slash = caller.find('/', slash + 1)) {
    std::size_t start = slash + 1;
    std::size_t limit = std::min(caller.find('/', start), caller.size());
    for (std::size_t end = limit; end >= start + 4; --end) {
      if (caller.substr(end - 3, 3) != ".js" || !position_at(end)) continue;
      std::string script(caller.substr(start, end - start));
      for (std::size_t pos; (pos = script.find(".js")) != std::string::npos;) script.erase(pos, 3);
      return "addin." + script;
    }
  }
  return "addin";
}

awaitable<void> handle_log_entry(Server& server, std::string client_id, json::object message) {
  Logger own = addin_logger("addin");
  std::string level(get_str(message, "level", "DEBUG"));
  for (char& c : level) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  std::string line;
  auto text_of = [&](const json::value& item) {
    if (item.is_object() || item.is_array()) {
      try {
        return python_json_dumps(item);
      } catch (const std::exception& e) {
        own->debug("Failed to serialize object: {}", e.what());
      }
    }
    return py_str(item);
  };
  if (const auto* messages = message.if_contains("messages")) {
    bool first = true;
    auto append = [&](const json::value& item) {
      if (!first) line += ' ';
      first = false;
      line += text_of(item);
    };
    if (messages->is_array()) {
      for (const auto& item : messages->get_array()) append(item);
    } else {
      append(*messages);
    }
  }

  std::string_view caller = get_str(message, "caller");
  Logger target = caller.empty() ? own : addin_logger(addin_logger_name(caller));
  if (level == "ERROR")
    target->error("{}", line);
  else if (level == "WARNING")
    target->warn("{}", line);
  else if (level == "INFO")
    target->info("{}", line);
  else
    target->debug("{}", line);
  co_return;
}

// ---- pushes to the editors ----------------------------------------------------------------

awaitable<void> _push_object_clear(Server& server, std::string workbook_id, PeerPtr websocket) {
  json::object message;
  message["type"] = "object_registry_update";
  message["action"] = "clear_all";
  message["workbook_id"] = workbook_id;
  const PushNames names{.what = "object clear", .tail = " for: " + workbook_id,
                        .failure = "Error pushing object clear"};
  co_await push(server, message, websocket, names);
}

awaitable<void> _push_message_to_ide_console(Server& server, std::string message, std::string color,
                                             PeerPtr websocket) {
  json::object out;
  out["type"] = "log_to_console";
  out["content"] = message;
  if (!color.empty()) out["color"] = color;
  const PushNames names{.what = "console message", .tail = {}, .failure = "Error pushing console message"};
  co_await push(server, out, websocket, names);
}

awaitable<void> send_workbook_list_to_ide(Server& server, PeerPtr websocket) {
  auto& manager = server.manager;
  json::array workbooks;
  for (const auto& workbook_id : manager.connected_ids("addin")) {
    std::string_view name = manager.client_name(workbook_id);
    json::object entry;
    entry["id"] = workbook_id;
    entry["name"] = name.empty() ? std::string_view("Untitled") : name;
    entry["modules"] = modules_object(server.workbooks.find(workbook_id));
    workbooks.push_back(std::move(entry));
  }
  json::object message;
  message["type"] = "workbook_list";
  message["workbooks"] = std::move(workbooks);
  const PushNames names{.what = {}, .tail = {}, .failure = "Error sending workbook list"};
  co_await push(server, message, websocket, names);
}

awaitable<void> send_workbook_info_to_ide(Server& server, std::string workbook_id, PeerPtr websocket) {
  co_await _push_event_manager_state(server, workbook_id, websocket);
  co_await _push_published_functions_state(server, workbook_id, nullptr, websocket);
  co_await _push_packages_and_python_paths(server, workbook_id, nullptr, nullptr, nullptr, websocket);
  co_await _push_modules(server, workbook_id, nullptr, websocket);
}

}  // namespace switchyard

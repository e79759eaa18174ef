// Connection hooks. Each runs as a task of its connection and is cancelled with it. A failure
// that escapes a step ends the hook there; the steps before it stay done.
#include "switchyard/hooks.hpp"

#include "switchyard/events.hpp"
#include "switchyard/handlers.hpp"
#include "switchyard/packages.hpp"
#include "switchyard/published_functions.hpp"
#include "switchyard/relays.hpp"
#include "switchyard/validation.hpp"

#include "services/clock.hpp"
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace switchyard {

namespace {

// Lets registration and the endpoint's ping complete before a hook talks to anyone.
awaitable<void> pause(Server& server) {
  if (server.hook_pause_ms <= 0) co_return;
  corvane::Timer timer(co_await asio::this_coro::executor);
  timer.expires_after(std::chrono::milliseconds(server.hook_pause_ms));
  co_await timer.async_wait(asio::use_awaitable);
}

const json::value& member_or_empty_object(const json::object& o, std::string_view key) {
  static const json::value empty = json::object();
  const json::value* v = o.if_contains(key);
  return v ? *v : empty;
}

}  // namespace

awaitable<void> on_addin_coonection(Server& server, PeerPtr websocket, std::string client_type,
                                    std::string workbook_id) {
  auto& manager = server.manager;
  co_await pause(server);

  // Modules: an add-in that does not answer leaves the workbook with no cached module.
  if (!co_await manager.request_modules_from_addin(workbook_id)) manager.replace_modules(workbook_id, json::object());

  // Published functions. An add-in that does not answer (or answers with the wrong shape) counts
  // as publishing none, so that its workbook still gets a kernel.
  std::optional<json::array> functions = co_await manager.request_functions_from_addin(workbook_id);
  json::object wrapped;
  wrapped["functions"] = functions ? std::move(*functions) : json::array();
  manager.published_functions[workbook_id] = get_functions_from_addin_message(server, wrapped);

  // Packages and import paths.
  std::optional<json::object> packages_reply = co_await manager.request_packages_from_addin(workbook_id);
  json::object reply = packages_reply ? std::move(*packages_reply) : json::object();
  auto [packages, python_paths] = get_pacakages_and_python_paths_from_addin_message(reply);
  manager.workbook_packages[workbook_id] = packages;
  manager.workbook_installed_packages[workbook_id] = std::move(packages);
  json::array normalized;
  for (auto& path : normalize_python_paths(python_paths, server.logger)) normalized.emplace_back(path);
  manager.workbook_python_paths[workbook_id] = std::move(normalized);
  manager.package_errors[workbook_id] = json::object();

  // Event state.
  std::optional<json::object> events = co_await manager.request_events_info_from_addin(workbook_id);
  json::object info = events ? std::move(*events) : json::object();
  manager.store_event_definitions(workbook_id, member_or_empty_object(info, "events_definition"));
  manager.store_workbook_tree(workbook_id, member_or_empty_object(info, "events_tree"));
  manager.registered_handlers[workbook_id] =
      _events_from_addin_to_ide(server, member_or_empty_object(info, "events_registered"));
  manager.win32_registered_handlers[workbook_id] =
      _events_from_addin_to_ide(server, member_or_empty_object(info, "com_events_registered"));

  // The kernel, unless one is connected already (an add-in reload).
  if (!manager.get_connection("kernel", workbook_id)) {
    if (manager.spawn_kernel(workbook_id)) co_await pause(server);
    else server.logger->warn("Failed to spawn kernel for {}", workbook_id);
  }

  co_await send_workbook_list_to_ide(server);
  co_await send_workbook_info_to_ide(server, workbook_id);
}

awaitable<void> on_ide_connection(Server& server, PeerPtr websocket, std::string client_type, std::string client_id) {
  co_await pause(server);
  co_await send_workbook_list_to_ide(server, websocket);
  // Every editor, the new one included, gets every open workbook's state.
  std::vector<std::string> workbooks;
  if (const auto* addins = server.manager.active_connections.find("addin"))
    for (const auto& [workbook_id, peer] : *addins) workbooks.push_back(workbook_id);
  for (const auto& workbook_id : workbooks) co_await send_workbook_info_to_ide(server, workbook_id);
}

awaitable<void> on_kernel_connection(Server& server, PeerPtr websocket, std::string client_type,
                                     std::string workbook_id) {
  auto& manager = server.manager;
  co_await pause(server);
  if (manager.get_connection("addin", workbook_id)) {
    co_await send_modules_to_kernel(server, workbook_id);
    co_await send_python_paths_to_kernel(server, workbook_id);
  }
  co_await handle_workbook_packages_install(server, workbook_id);
  co_await manager._push_custom_functions_to_addin(workbook_id);
  co_await manager._push_events_config_to_addin(workbook_id, nullptr, false);
  co_await manager._push_object_clear(workbook_id);
  co_await manager._push_com_events_config_to_kernel(workbook_id);
  std::string_view name = manager.client_name(workbook_id);
  co_await manager._push_message_to_ide_console("Kernell connected for workbook " +
                                                std::string(name.empty() ? std::string_view(workbook_id) : name));
}

ConnectionHook connection_hook(std::string_view client_type) {
  if (client_type == "addin") return on_addin_coonection;
  if (client_type == "ide") return on_ide_connection;
  if (client_type == "kernel") return on_kernel_connection;
  return nullptr;
}

}  // namespace switchyard

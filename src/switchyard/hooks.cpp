// Connection hooks. Each runs as a task of its connection and is cancelled with it. A failure
// that escapes a step ends the hook there; the steps before it stay done.
#include "switchyard/hooks.hpp"

#include "switchyard/events.hpp"
#include "switchyard/handlers.hpp"
#include "switchyard/kernels.hpp"
#include "switchyard/modules.hpp"
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

// Pulls the workbook's modules, published functions, packages and import paths, and event state
// from its add-in into the workbook's entry. An add-in that does not answer (or answers with the
// wrong shape) counts as having none of them, so that its workbook still gets a kernel.
awaitable<void> fetch_workbook_state(Server& server, const std::string& workbook_id) {
  // Entries are never dropped: the reference holds across the waits.
  Workbook& wb = server.workbooks.at(workbook_id);
  if (!co_await request_modules_from_addin(server, workbook_id)) replace_modules(wb, json::object());

  std::optional<json::array> functions = co_await request_functions_from_addin(server, workbook_id);
  json::object wrapped;
  wrapped["functions"] = functions ? std::move(*functions) : json::array();
  wb.published_functions = get_functions_from_addin_message(server, wrapped);

  std::optional<json::object> packages_reply = co_await request_packages_from_addin(server, workbook_id);
  json::object reply = packages_reply ? std::move(*packages_reply) : json::object();
  auto [packages, python_paths] = get_packages_and_python_paths_from_addin_message(reply);
  wb.packages = packages;
  wb.installed_packages = std::move(packages);
  wb.python_paths = string_array(normalize_python_paths(python_paths, server.logger));
  wb.package_errors = json::object();

  std::optional<json::object> events = co_await request_events_info_from_addin(server, workbook_id);
  json::object info = events ? std::move(*events) : json::object();
  store_event_definitions(server, workbook_id, member_or_empty_object(info, "events_definition"));
  store_workbook_tree(server, workbook_id, member_or_empty_object(info, "events_tree"));
  wb.handlers = _events_from_addin_to_ide(server, member_or_empty_object(info, "events_registered"));
  wb.win32_handlers = _events_from_addin_to_ide(server, member_or_empty_object(info, "com_events_registered"));
}

}  // namespace

awaitable<void> on_addin_connection(Server& server, PeerPtr websocket, std::string client_type,
                                    std::string workbook_id) {
  // Before anything else: what the workbook's kernel did before this connection counts no more.
  start_kernel_supervision_afresh(server.workbooks.at(workbook_id));
  co_await pause(server);
  co_await fetch_workbook_state(server, workbook_id);

  // The kernel, unless one is connected or started already (an add-in reload, a second add-in
  // of the same workbook).
  if (!server.manager.get_connection("kernel", workbook_id) && !kernel_running(server.workbooks.find(workbook_id))) {
    if (spawn_kernel(server, workbook_id)) co_await pause(server);
    else server.logger->warn("Failed to spawn kernel for {}", workbook_id);
  }

  co_await send_workbook_list_to_ide(server);
  co_await send_workbook_info_to_ide(server, workbook_id);
  server.logger->debug("Add-in connection set up for workbook: {}", workbook_id);
}

awaitable<void> on_ide_connection(Server& server, PeerPtr websocket, std::string client_type, std::string client_id) {
  co_await pause(server);
  co_await send_workbook_list_to_ide(server, websocket);
  // Every editor, the new one included, gets every open workbook's state.
  for (const auto& workbook_id : server.manager.connected_ids("addin"))
    co_await send_workbook_info_to_ide(server, workbook_id);
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
  co_await _push_custom_functions_to_addin(server, workbook_id);
  co_await _push_events_config_to_addin(server, workbook_id, nullptr, false);
  co_await _push_object_clear(server, workbook_id);
  co_await _push_com_events_config_to_kernel(server, workbook_id);
  std::string_view name = manager.client_name(workbook_id);
  co_await _push_message_to_ide_console(server, "Kernell connected for workbook " +
                                                    std::string(name.empty() ? std::string_view(workbook_id) : name));
}

ConnectionHook connection_hook(std::string_view client_type) {
  if (client_type == "addin") return on_addin_connection;
  if (client_type == "ide") return on_ide_connection;
  if (client_type == "kernel") return on_kernel_connection;
  return nullptr;
}

}  // namespace switchyard

#pragma once
// A workbook's modules: the cache, the requests to the add-in that keeps them, the pushes to the
// editors, and the code pushed to the workbook's kernel.
#include "switchyard/server.hpp"

#include <optional>

namespace switchyard {

// ---- the cache. Readers take the workbook's entry or null (a workbook never seen has none).
void save_module(Workbook& wb, const std::string& module_name, std::string code);
bool delete_module(Workbook& wb, const std::string& module_name);
// Replaces the whole table; members whose code is not text are skipped with a warning.
void replace_modules(Workbook& wb, const json::object& modules);
std::optional<std::string> get_module(const Workbook* wb, std::string_view module_name);
const ModuleTable& list_modules(const Workbook* wb);
// Module name -> code.
json::object modules_object(const Workbook* wb);

// ---- requests to the workbook's add-in; a missing or silent add-in gives none / false
awaitable<const ModuleTable*> request_modules_from_addin(Server& server, std::string workbook_id);
awaitable<std::optional<json::array>> request_functions_from_addin(Server& server, std::string workbook_id);
awaitable<std::optional<json::object>> request_packages_from_addin(Server& server, std::string workbook_id);
awaitable<std::optional<json::object>> request_events_info_from_addin(Server& server, std::string workbook_id);
awaitable<bool> save_module_to_addin(Server& server, std::string workbook_id, std::string module_name, std::string code);
awaitable<std::optional<std::string>> load_module_from_addin(Server& server, std::string workbook_id,
                                                             std::string module_name);
awaitable<bool> delete_module_from_addin(Server& server, std::string workbook_id, std::string module_name);

// The workbook's modules ("workbook_connected") to `websocket`, or to every editor.
awaitable<void> _push_modules(Server& server, std::string workbook_id, const json::object* modules = nullptr,
                              PeerPtr websocket = nullptr);

// ---- code pushes to the workbook's kernel
awaitable<void> send_modules_to_kernel(Server& server, std::string workbook_id);
awaitable<void> send_python_paths_to_kernel(Server& server, std::string workbook_id);
// Pushes every module whose code differs from what the kernel was last sent.
awaitable<void> full_code_sync(Server& server, std::string workbook_id);
// True when full_code_sync would find nothing to push for the workbook.
bool code_is_synced(const Workbook* wb);

}  // namespace switchyard

#pragma once
// Message handlers: (server, sender's client id, message). The routing table maps message types
// to them per client type.
#include "switchyard/server.hpp"

namespace switchyard {

#define SWITCHYARD_HANDLER(name) awaitable<void> name(Server& server, std::string client_id, json::object message)

// kernel processes
SWITCHYARD_HANDLER(handle_spawn_kernel);
SWITCHYARD_HANDLER(handle_terminate_kernel);
SWITCHYARD_HANDLER(handle_kill_kernel);

// modules and code sync
SWITCHYARD_HANDLER(handle_run_module);
SWITCHYARD_HANDLER(handle_update_module);
SWITCHYARD_HANDLER(handle_save_module);
SWITCHYARD_HANDLER(handle_delete_module);
SWITCHYARD_HANDLER(handle_debug_command);
SWITCHYARD_HANDLER(handle_list_modules);
SWITCHYARD_HANDLER(handle_get_module);
SWITCHYARD_HANDLER(handle_get_all_modules);
SWITCHYARD_HANDLER(handle_kernel_request_module_sync);

// function and event execution
SWITCHYARD_HANDLER(handle_function_event_execution);
SWITCHYARD_HANDLER(handle_streaming_function_execution);
SWITCHYARD_HANDLER(handle_cancel_streaming_function);
SWITCHYARD_HANDLER(handle_python_function_call);
SWITCHYARD_HANDLER(handle_ide_execution_request);
SWITCHYARD_HANDLER(handle_kernel_execution_result);
SWITCHYARD_HANDLER(handle_kernel_execution_error);
SWITCHYARD_HANDLER(handle_kernel_transfert);
SWITCHYARD_HANDLER(handle_kernel_to_addin);
SWITCHYARD_HANDLER(handle_kernel_to_ide);
SWITCHYARD_HANDLER(handle_kernel_batch);

// packages and paths
SWITCHYARD_HANDLER(handle_client_sync_packages);
SWITCHYARD_HANDLER(handle_package_install_request);
SWITCHYARD_HANDLER(handle_get_package_versions_request);
SWITCHYARD_HANDLER(handle_get_package_extras_request);
SWITCHYARD_HANDLER(handle_get_package_info_request);
SWITCHYARD_HANDLER(handle_add_workbook_package);
SWITCHYARD_HANDLER(handle_remove_workbook_package);
SWITCHYARD_HANDLER(handle_update_workbook_package);
SWITCHYARD_HANDLER(handle_restore_workbook_packages);
SWITCHYARD_HANDLER(handle_update_package_status);
SWITCHYARD_HANDLER(handle_reorder_workbook_packages);
SWITCHYARD_HANDLER(handle_install_workbook_packages);
SWITCHYARD_HANDLER(handle_get_workbook_packages);
SWITCHYARD_HANDLER(handle_get_resolved_deps);
SWITCHYARD_HANDLER(handle_update_python_paths);

#undef SWITCHYARD_HANDLER

// Code pushes to a workbook's kernel.
awaitable<void> send_modules_to_kernel(Server& server, std::string workbook_id);
awaitable<void> send_python_paths_to_kernel(Server& server, std::string workbook_id);
awaitable<void> full_code_sync(Server& server, std::string workbook_id);

// Python's json.dumps default text (", " and ": " separators, non-ASCII escaped).
std::string python_json_dumps(const json::value& v);

}  // namespace switchyard

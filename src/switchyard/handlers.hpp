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
SWITCHYARD_HANDLER(handle_kernel_transfer);
SWITCHYARD_HANDLER(handle_kernel_to_addin);
SWITCHYARD_HANDLER(handle_kernel_to_ide);
SWITCHYARD_HANDLER(handle_kernel_batch);

// event manager state, handler registration and event configuration
SWITCHYARD_HANDLER(handle_workbook_structure_update);
SWITCHYARD_HANDLER(handle_workbook_name_changed);
SWITCHYARD_HANDLER(handle_event_definitions_update);
SWITCHYARD_HANDLER(handle_event_config_response);
SWITCHYARD_HANDLER(handle_win32_event_definitions);
SWITCHYARD_HANDLER(handle_win32_workbook_tree_update);
SWITCHYARD_HANDLER(handle_get_object_registry);
SWITCHYARD_HANDLER(handle_event_request_to_addin);
SWITCHYARD_HANDLER(handle_refresh_event_manager_state);
SWITCHYARD_HANDLER(handle_register_handler);
SWITCHYARD_HANDLER(handle_unregister_handler);
SWITCHYARD_HANDLER(handle_rename_module_in_events);
// relays and service handlers (relays.cpp)
SWITCHYARD_HANDLER(handle_ping_from_addin);
SWITCHYARD_HANDLER(handle_execution_request);
SWITCHYARD_HANDLER(handle_excel_response);
SWITCHYARD_HANDLER(handle_sys_response);
SWITCHYARD_HANDLER(handle_show_ide);
SWITCHYARD_HANDLER(handle_kill_ide);
SWITCHYARD_HANDLER(handle_message_ide);
SWITCHYARD_HANDLER(handle_log_entry);
SWITCHYARD_HANDLER(handle_restart_addin);
SWITCHYARD_HANDLER(handle_lsp_request);
SWITCHYARD_HANDLER(handle_set_hover_mode);
SWITCHYARD_HANDLER(handle_get_settings);
SWITCHYARD_HANDLER(handle_set_setting);
SWITCHYARD_HANDLER(handle_get_all_settings);
SWITCHYARD_HANDLER(handle_inspector_result);
// published functions
SWITCHYARD_HANDLER(handle_update_published_functions);
SWITCHYARD_HANDLER(handle_get_function_at_position);
SWITCHYARD_HANDLER(handle_client_sync_functions);
SWITCHYARD_HANDLER(handle_client_restored_functions);
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

// Fast paths (see FastPath) of the main path's hot messages, registered beside their handlers.
bool handle_function_execution_now(Server& server, std::string_view client_type, const std::string& client_id,
                                   json::object& message);
bool handle_kernel_execution_result_now(Server& server, std::string_view client_type, const std::string& client_id,
                                        json::object& message);
bool handle_kernel_execution_error_now(Server& server, std::string_view client_type, const std::string& client_id,
                                       json::object& message);

}  // namespace switchyard

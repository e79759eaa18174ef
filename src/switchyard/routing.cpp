// The routing table: client type -> message type -> handler, in the documented order.
// Messages of types not listed get the "No handler" warning.
#include "switchyard/handlers.hpp"

namespace switchyard {

void build_message_handlers(HandlerTable& t) {
  // ---- from the spreadsheet add-in (client id = workbook id)
  t.add("addin", "ping", handle_ping_from_addin);
  t.add("addin", "execution_request", handle_execution_request);
  t.add("addin", "spawn_kernel", handle_spawn_kernel);
  t.add("addin", "terminate_kernel", handle_terminate_kernel);
  t.add("addin", "excel_response", handle_excel_response);
  t.add("addin", "sys_response", handle_sys_response);
  t.add("addin", "function_execution", handle_function_event_execution, handle_function_execution_now);
  t.add("addin", "event_execution", handle_function_event_execution);
  t.add("addin", "streaming_function_execution", handle_streaming_function_execution);
  t.add("addin", "cancel_streaming_function", handle_cancel_streaming_function);
  t.add("addin", "python_function_call", handle_python_function_call);
  t.add("addin", "show_ide", handle_show_ide);
  t.add("addin", "kill_ide", handle_kill_ide);
  t.add("addin", "message_ide", handle_message_ide);
  t.add("addin", "kill_kernel", handle_kill_kernel);
  for (auto type : {"get_modules_response", "get_functions_response", "get_packages_response",
                    "save_module_response", "load_module_response", "delete_module_response",
                    "register_handler_response", "unregister_handler_response", "get_event_config_response"})
    t.add("addin", type, handle_response_message);
  t.add("addin", "workbook_structure_update", handle_workbook_structure_update);
  t.add("addin", "workbook_name_changed", handle_workbook_name_changed);
  t.add("addin", "event_definitions_update", handle_event_definitions_update);
  t.add("addin", "save_event_config_response", handle_event_config_response);
  t.add("addin", "validate_handler_response", handle_event_config_response);
  t.add("addin", "log_entry", handle_log_entry);
  t.add("addin", "client_sync_functions", handle_client_sync_functions);
  t.add("addin", "client_restored_functions", handle_client_restored_functions);
  t.add("addin", "client_sync_packages", handle_client_sync_packages);

  // ---- from a workbook's kernel (client id = workbook id)
  t.add("kernel", "batch", handle_kernel_batch);
  for (auto type : {"stdout", "stderr", "result_output", "event_execution_result", "streaming_function_result"})
    t.add("kernel", type, handle_kernel_transfer);
  t.add("kernel", "execution_result", handle_kernel_execution_result, handle_kernel_execution_result_now);
  t.add("kernel", "execution_error", handle_kernel_execution_error, handle_kernel_execution_error_now);
  t.add("kernel", "sys_request", handle_kernel_to_addin);
  for (auto type : {"completion_response", "signature_help_response", "hover_response", "diagnostic_response",
                    "object_registry_update", "object_registry_response", "debug_terminated", "debug_paused",
                    "debug_exception", "debug_evaluate_result"})
    t.add("kernel", type, handle_kernel_to_ide);
  t.add("kernel", "request_module_sync", handle_kernel_request_module_sync);
  t.add("kernel", "show_message_box", handle_kernel_to_addin);
  t.add("kernel", "set_enable_events", handle_kernel_to_addin);
  t.add("kernel", "win32_event_definitions", handle_win32_event_definitions);
  t.add("kernel", "win32_workbook_tree_update", handle_win32_workbook_tree_update);

  // ---- from an editor (client id = the editor's own id)
  t.add("ide", "execution_request", handle_ide_execution_request);
  t.add("ide", "run_module", handle_run_module);
  t.add("ide", "update_module", handle_update_module);
  t.add("ide", "save_module", handle_save_module);
  t.add("ide", "delete_module", handle_delete_module);
  for (auto type : {"debug_continue", "debug_step_over", "debug_step_into", "debug_step_out", "debug_stop",
                    "debug_evaluate", "debug_update_breakpoints"})
    t.add("ide", type, handle_debug_command);
  t.add("ide", "list_modules", handle_list_modules);
  t.add("ide", "get_module", handle_get_module);
  t.add("ide", "get_all_modules", handle_get_all_modules);
  t.add("ide", "spawn_kernel", handle_spawn_kernel);
  t.add("ide", "terminate_kernel", handle_terminate_kernel);
  t.add("ide", "kill_kernel", handle_kill_kernel);
  t.add("ide", "restart_addin", handle_restart_addin);
  for (auto type : {"completion_request", "signature_help_request", "diagnostic_request", "hover_request"})
    t.add("ide", type, handle_lsp_request);
  t.add("ide", "set_hover_mode", handle_set_hover_mode);
  t.add("ide", "get_object_registry", handle_get_object_registry);
  t.add("ide", "package_install_request", handle_package_install_request);
  t.add("ide", "get_package_versions_request", handle_get_package_versions_request);
  t.add("ide", "get_package_extras_request", handle_get_package_extras_request);
  t.add("ide", "get_package_info_request", handle_get_package_info_request);
  t.add("ide", "add_workbook_package", handle_add_workbook_package);
  t.add("ide", "remove_workbook_package", handle_remove_workbook_package);
  t.add("ide", "update_workbook_package", handle_update_workbook_package);
  t.add("ide", "restore_workbook_packages", handle_restore_workbook_packages);
  t.add("ide", "update_package_status", handle_update_package_status);
  t.add("ide", "reorder_workbook_packages", handle_reorder_workbook_packages);
  t.add("ide", "install_workbook_packages", handle_install_workbook_packages);
  t.add("ide", "get_workbook_packages", handle_get_workbook_packages);
  t.add("ide", "get_resolved_deps", handle_get_resolved_deps);
  t.add("ide", "update_python_paths", handle_update_python_paths);
  for (auto type : {"scan_objects_request", "get_event_config_request", "save_event_config_request"})
    t.add("ide", type, handle_event_request_to_addin);
  t.add("ide", "refresh_event_manager_state", handle_refresh_event_manager_state);
  t.add("ide", "register_handler", handle_register_handler);
  t.add("ide", "unregister_handler", handle_unregister_handler);
  t.add("ide", "rename_module_in_events", handle_rename_module_in_events);
  t.add("ide", "update_published_functions", handle_update_published_functions);
  t.add("ide", "get_function_at_position", handle_get_function_at_position);
  t.add("ide", "get_settings", handle_get_settings);
  t.add("ide", "set_setting", handle_set_setting);
  t.add("ide", "get_all_settings", handle_get_all_settings);

  // ---- from the inspector service
  for (auto type : {"function_at_position_result", "list_functions_result", "validate_syntax_result"})
    t.add("inspector", type, handle_inspector_result);
}

}  // namespace switchyard

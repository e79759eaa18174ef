// The routing table: client type -> message type -> handler, in the documented order.
// Handlers of features that are not built yet are absent; their messages get the
// "No handler" warning.
#include "switchyard/handlers.hpp"

namespace switchyard {

void build_message_handlers(HandlerTable& t) {
  // ---- from the spreadsheet add-in (client id = workbook id)
  t.add("addin", "spawn_kernel", handle_spawn_kernel);
  t.add("addin", "terminate_kernel", handle_terminate_kernel);
  t.add("addin", "function_execution", handle_function_event_execution);
  t.add("addin", "event_execution", handle_function_event_execution);
  t.add("addin", "streaming_function_execution", handle_streaming_function_execution);
  t.add("addin", "cancel_streaming_function", handle_cancel_streaming_function);
  t.add("addin", "python_function_call", handle_python_function_call);
  t.add("addin", "kill_kernel", handle_kill_kernel);
  for (auto type : {"get_modules_response", "get_functions_response", "get_packages_response",
                    "save_module_response", "load_module_response", "delete_module_response",
                    "register_handler_response", "unregister_handler_response", "get_event_config_response"})
    t.add("addin", type, handle_response_message);
  t.add("addin", "client_sync_packages", handle_client_sync_packages);

  // ---- from a workbook's kernel (client id = workbook id)
  t.add("kernel", "batch", handle_kernel_batch);
  for (auto type : {"stdout", "stderr", "result_output", "event_execution_result", "streaming_function_result"})
    t.add("kernel", type, handle_kernel_transfert);
  t.add("kernel", "execution_result", handle_kernel_execution_result);
  t.add("kernel", "execution_error", handle_kernel_execution_error);
  t.add("kernel", "sys_request", handle_kernel_to_addin);
  for (auto type : {"completion_response", "signature_help_response", "hover_response", "diagnostic_response",
                    "object_registry_update", "object_registry_response", "debug_terminated", "debug_paused",
                    "debug_exception", "debug_evaluate_result"})
    t.add("kernel", type, handle_kernel_to_ide);
  t.add("kernel", "request_module_sync", handle_kernel_request_module_sync);
  t.add("kernel", "show_message_box", handle_kernel_to_addin);
  t.add("kernel", "set_enable_events", handle_kernel_to_addin);

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

  // ---- from the inspector: nothing routed yet
  (void)t;
}

}  // namespace switchyard

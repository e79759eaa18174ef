#include "support.hpp"

namespace switchyard::testing {
namespace {

class Dispatcher : public ServerTest {};

std::string b64url(std::string_view in, bool pad) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    for (int k = 3; k >= 0; --k) out += alphabet[(v >> (6 * k)) & 63];
  }
  if (i < in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (i + 1 < in.size() ? (unsigned char)in[i + 1] << 8 : 0);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    if (i + 1 < in.size()) out += alphabet[(v >> 6) & 63];
    if (pad) out += (i + 1 < in.size()) ? "=" : "==";
  }
  return out;
}

TEST_F(Dispatcher, UnknownTypesAndMissingTypeAreWarnedAboutAndDropped) {
  auto addin = connect("addin", "wb");
  dispatch("addin", "wb", obj(R"({"type":"pong"})"));
  dispatch("ide", "main", obj(R"({"data":1})"));
  dispatch("martian", "x", obj(R"({"type":"ping"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for addin/pong"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for ide/None"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for martian/ping"));
  EXPECT_TRUE(addin->frames.empty());
}

TEST_F(Dispatcher, RoutesBySenderType) {
  auto kernel = connect("kernel", "wb");
  // The same type from the add-in and from an editor reaches different handlers.
  dispatch("ide", "main", obj(R"({"type":"execution_request","workbook_id":"wb","code":"1"})"));
  ASSERT_EQ(kernel->frames.size(), 1u);
  dispatch("ide", "main", obj(R"({"type":"execution_request","code":"1"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received execution_request from IDE without workbook_id"));
  // A kernel message type sent by an editor has no route.
  dispatch("ide", "main", obj(R"({"type":"execution_result"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for ide/execution_result"));
}

TEST_F(Dispatcher, EveryMessageIsOfferedToCorrelationAndStillRouted) {
  connect("addin", "wb");
  bool done = false;
  json::object reply;
  asio::co_spawn(ioc, server->manager.send_and_wait_response("addin", "wb", obj(R"({"type":"q","request_id":"x1"})"), 5),
                 [&](std::exception_ptr, json::object r) {
                   reply = std::move(r);
                   done = true;
                 });
  settle();
  dispatch("addin", "wb", obj(R"({"type":"pong","request_id":"x1"})"));
  settle();
  EXPECT_TRUE(done);
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for addin/pong"));
}

TEST_F(Dispatcher, TimingLineAtDebug) {
  dispatch("addin", "wb", obj(R"({"type":"get_modules_response","request_id":"r9"})"));
  dispatch("addin", "wb", obj(R"({"type":"get_modules_response"})"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "[TIMING] Received from addin: type=get_modules_response, request_id=r9"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "[TIMING] Received from addin: type=get_modules_response, request_id=N/A"));
}

TEST_F(Dispatcher, BulkMessageDecodesWithOrWithoutPadding) {
  auto kernel = connect("kernel", "wb");
  std::string envelope = R"({"client_type":"ide","client_id":"main","message":{"type":"execution_request","workbook_id":"wb","code":"é"}})";
  for (bool pad : {true, false}) {
    auto result = run(bulk_message(*server, b64url(envelope, pad)));
    EXPECT_EQ(get_str(result, "status"), "ok");
  }
  EXPECT_EQ(kernel->frames.size(), 2u);
  EXPECT_TRUE(has_log(spdlog::level::debug, "Received bulk message for ide/main with 3 keys"));
}

TEST_F(Dispatcher, BulkMessageWithoutClientIdDispatchesNothingButIsOk) {
  auto kernel = connect("kernel", "wb");
  auto result = run(bulk_message(*server, b64url(R"({"client_type":"ide","message":{"type":"execution_request","workbook_id":"wb"}})", false)));
  EXPECT_EQ(get_str(result, "status"), "ok");
  EXPECT_TRUE(kernel->frames.empty());
  // Percent-encoded padding is unquoted before decoding.
  std::string padded = b64url(R"({"client_type":"ide"})", true);
  for (std::size_t p; (p = padded.find('=')) != std::string::npos;) padded.replace(p, 1, "%3D");
  EXPECT_EQ(get_str(run(bulk_message(*server, padded)), "status"), "ok");
}

TEST_F(Dispatcher, BulkMessageRefusesWhatDoesNotDecode) {
  EXPECT_THROW(run(bulk_message(*server, "A")), BulkDecodeError);                     // one dangling character
  EXPECT_THROW(run(bulk_message(*server, b64url("\xff\xfe", false))), BulkDecodeError);  // not UTF-8
  EXPECT_THROW(run(bulk_message(*server, b64url("{not json", false))), BulkDecodeError);
  EXPECT_THROW(run(bulk_message(*server, b64url("[1,2]", false))), BulkDecodeError);
  EXPECT_THROW(run(bulk_message(*server, "\xc3\xa9")), BulkDecodeError);  // not ASCII
  try {
    run(bulk_message(*server, "A"));
  } catch (const BulkDecodeError& e) {
    EXPECT_STREQ(e.what(), "Invalid base64-encoded string: number of data characters (1) cannot be 1 more than a multiple of 4");
  }
}

TEST_F(Dispatcher, KernelBatchHandlesEveryElementEvenWhenOneFails) {
  auto addin = connect("addin", "wb");
  auto ide = connect("ide", "main");
  addin->fail_sends = true;  // the element bound for the add-in fails
  dispatch("kernel", "wb", obj(R"({"type":"batch","messages":[
      {"type":"completion_response","items":[]},
      {"type":"sys_request","request_id":"s1"},
      "not a message",
      {"type":"hover_response","workbook_id":"other"}]})"));
  auto got = ide->messages();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(get_str(got[0], "workbook_id"), "wb");
  EXPECT_EQ(get_str(got[1], "workbook_id"), "other");
}

TEST_F(Dispatcher, ResponseTypesFromTheAddinAreRoutedToANoOp) {
  auto kernel = connect("kernel", "wb");
  dispatch("addin", "wb", obj(R"({"type":"save_module_response","success":true})"));
  EXPECT_FALSE(has_log_containing("No handler"));
  EXPECT_TRUE(kernel->frames.empty());
}


// The routing table, entry by entry and in order, per client type.
TEST(RoutingTable, EveryClientTypeRoutesExactlyTheDocumentedTypesInOrder) {
  const std::vector<std::pair<std::string, std::vector<std::pair<std::string, Handler>>>> expected = {
      {"addin", {
                 {"ping", handle_ping_from_addin},
                 {"execution_request", handle_execution_request},
                 {"spawn_kernel", handle_spawn_kernel},
                 {"terminate_kernel", handle_terminate_kernel},
                 {"excel_response", handle_excel_response},
                 {"sys_response", handle_sys_response},
                 {"function_execution", handle_function_event_execution},
                 {"event_execution", handle_function_event_execution},
                 {"streaming_function_execution", handle_streaming_function_execution},
                 {"cancel_streaming_function", handle_cancel_streaming_function},
                 {"python_function_call", handle_python_function_call},
                 {"show_ide", handle_show_ide},
                 {"kill_ide", handle_kill_ide},
                 {"message_ide", handle_message_ide},
                 {"kill_kernel", handle_kill_kernel},
                 {"get_modules_response", handle_response_message},
                 {"get_functions_response", handle_response_message},
                 {"get_packages_response", handle_response_message},
                 {"save_module_response", handle_response_message},
                 {"load_module_response", handle_response_message},
                 {"delete_module_response", handle_response_message},
                 {"register_handler_response", handle_response_message},
                 {"unregister_handler_response", handle_response_message},
                 {"get_event_config_response", handle_response_message},
                 {"workbook_structure_update", handle_workbook_structure_update},
                 {"workbook_name_changed", handle_workbook_name_changed},
                 {"event_definitions_update", handle_event_definitions_update},
                 {"save_event_config_response", handle_event_config_response},
                 {"validate_handler_response", handle_event_config_response},
                 {"log_entry", handle_log_entry},
                 {"client_sync_functions", handle_client_sync_functions},
                 {"client_restored_functions", handle_client_restored_functions},
                 {"client_sync_packages", handle_client_sync_packages},
             }},
      {"kernel", {
                 {"batch", handle_kernel_batch},
                 {"stdout", handle_kernel_transfer},
                 {"stderr", handle_kernel_transfer},
                 {"result_output", handle_kernel_transfer},
                 {"event_execution_result", handle_kernel_transfer},
                 {"streaming_function_result", handle_kernel_transfer},
                 {"execution_result", handle_kernel_execution_result},
                 {"execution_error", handle_kernel_execution_error},
                 {"sys_request", handle_kernel_to_addin},
                 {"completion_response", handle_kernel_to_ide},
                 {"signature_help_response", handle_kernel_to_ide},
                 {"hover_response", handle_kernel_to_ide},
                 {"diagnostic_response", handle_kernel_to_ide},
                 {"object_registry_update", handle_kernel_to_ide},
                 {"object_registry_response", handle_kernel_to_ide},
                 {"debug_terminated", handle_kernel_to_ide},
                 {"debug_paused", handle_kernel_to_ide},
                 {"debug_exception", handle_kernel_to_ide},
                 {"debug_evaluate_result", handle_kernel_to_ide},
                 {"request_module_sync", handle_kernel_request_module_sync},
                 {"show_message_box", handle_kernel_to_addin},
                 {"set_enable_events", handle_kernel_to_addin},
                 {"win32_event_definitions", handle_win32_event_definitions},
                 {"win32_workbook_tree_update", handle_win32_workbook_tree_update},
             }},
      {"ide", {
                 {"execution_request", handle_ide_execution_request},
                 {"run_module", handle_run_module},
                 {"update_module", handle_update_module},
                 {"save_module", handle_save_module},
                 {"delete_module", handle_delete_module},
                 {"debug_continue", handle_debug_command},
                 {"debug_step_over", handle_debug_command},
                 {"debug_step_into", handle_debug_command},
                 {"debug_step_out", handle_debug_command},
                 {"debug_stop", handle_debug_command},
                 {"debug_evaluate", handle_debug_command},
                 {"debug_update_breakpoints", handle_debug_command},
                 {"list_modules", handle_list_modules},
                 {"get_module", handle_get_module},
                 {"get_all_modules", handle_get_all_modules},
                 {"spawn_kernel", handle_spawn_kernel},
                 {"terminate_kernel", handle_terminate_kernel},
                 {"kill_kernel", handle_kill_kernel},
                 {"restart_addin", handle_restart_addin},
                 {"completion_request", handle_lsp_request},
                 {"signature_help_request", handle_lsp_request},
                 {"diagnostic_request", handle_lsp_request},
                 {"hover_request", handle_lsp_request},
                 {"set_hover_mode", handle_set_hover_mode},
                 {"get_object_registry", handle_get_object_registry},
                 {"package_install_request", handle_package_install_request},
                 {"get_package_versions_request", handle_get_package_versions_request},
                 {"get_package_extras_request", handle_get_package_extras_request},
                 {"get_package_info_request", handle_get_package_info_request},
                 {"add_workbook_package", handle_add_workbook_package},
                 {"remove_workbook_package", handle_remove_workbook_package},
                 {"update_workbook_package", handle_update_workbook_package},
                 {"restore_workbook_packages", handle_restore_workbook_packages},
                 {"update_package_status", handle_update_package_status},
                 {"reorder_workbook_packages", handle_reorder_workbook_packages},
                 {"install_workbook_packages", handle_install_workbook_packages},
                 {"get_workbook_packages", handle_get_workbook_packages},
                 {"get_resolved_deps", handle_get_resolved_deps},
                 {"update_python_paths", handle_update_python_paths},
                 {"scan_objects_request", handle_event_request_to_addin},
                 {"get_event_config_request", handle_event_request_to_addin},
                 {"save_event_config_request", handle_event_request_to_addin},
                 {"refresh_event_manager_state", handle_refresh_event_manager_state},
                 {"register_handler", handle_register_handler},
                 {"unregister_handler", handle_unregister_handler},
                 {"rename_module_in_events", handle_rename_module_in_events},
                 {"update_published_functions", handle_update_published_functions},
                 {"get_function_at_position", handle_get_function_at_position},
                 {"get_settings", handle_get_settings},
                 {"set_setting", handle_set_setting},
                 {"get_all_settings", handle_get_all_settings},
             }},
      {"inspector", {
                 {"function_at_position_result", handle_inspector_result},
                 {"list_functions_result", handle_inspector_result},
                 {"validate_syntax_result", handle_inspector_result},
             }},
  };
  HandlerTable table;
  build_message_handlers(table);
  ASSERT_EQ(table.tables().size(), expected.size());
  // Only the main path's hot messages have a fast path beside their handler.
  const std::map<std::string, FastPath> fast = {{"addin/function_execution", handle_function_execution_now},
                                                {"kernel/execution_result", handle_kernel_execution_result_now},
                                                {"kernel/execution_error", handle_kernel_execution_error_now}};
  std::size_t t = 0;
  for (const auto& [client_type, sub] : table.tables()) {
    const auto& [want_type, want] = expected[t++];
    EXPECT_EQ(client_type, want_type);
    ASSERT_EQ(sub.size(), want.size()) << client_type;
    std::size_t i = 0;
    for (const auto& [message_type, route] : sub) {
      EXPECT_EQ(message_type, want[i].first) << client_type << " entry " << i;
      EXPECT_EQ(route.handler, want[i].second) << client_type << "/" << message_type;
      auto f = fast.find(client_type + "/" + message_type);
      EXPECT_EQ(route.now, f == fast.end() ? nullptr : f->second) << client_type << "/" << message_type;
      ++i;
    }
  }
}

}  // namespace
}  // namespace switchyard::testing

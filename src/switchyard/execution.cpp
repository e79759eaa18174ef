// Function, event, streaming and callable executions: from the add-in to the workbook's kernel,
// and the kernel's answers back to the add-in and the editors.
#include "switchyard/execution.hpp"

#include "switchyard/handlers.hpp"
#include "switchyard/modules.hpp"
#include "switchyard/validation.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

namespace switchyard {

namespace {

json::object error_result(const json::value& request_id, std::string_view text) {
  json::object error;
  error["message"] = text;
  json::object result;
  result["type"] = "function_execution_result";
  result["request_id"] = request_id;
  result["status"] = "error";
  result["error"] = std::move(error);
  result["logs"] = "";
  return result;
}

// The key under which a pending execution is recorded.
std::string request_key(const json::value& request_id) {
  return request_id.is_string() ? std::string(request_id.get_string()) : py_str(request_id);
}

json::object validation_error(std::string_view text) {
  json::object error;
  error["type"] = "ValidationError";
  error["message"] = text;
  return error;
}

// The first problem with a module and function name, or nullopt.
std::optional<std::string> check_names(std::string_view prefix, std::string_view module_name,
                                       std::string_view function_name) {
  if (module_name.empty()) return std::string(prefix) + " missing module_name";
  if (function_name.empty()) return std::string(prefix) + " missing function_name";
  if (auto v = validate_python_identifier(module_name); !v.valid)
    return "Invalid module name '" + std::string(module_name) + "': " + v.error;
  if (auto v = validate_python_identifier(function_name); !v.valid)
    return "Invalid function name '" + std::string(function_name) + "': " + v.error;
  return std::nullopt;
}

// check_names() finds nothing wrong. Recalculations call the same few functions over and over:
// the last pair found valid is remembered.
bool names_are_valid(Server& server, std::string_view module_name, std::string_view function_name) {
  auto& [valid_module, valid_function] = server.last_valid_call_names;
  if (!module_name.empty() && module_name == valid_module && function_name == valid_function) return true;
  if (check_names({}, module_name, function_name)) return false;
  valid_module = module_name;
  valid_function = function_name;
  return true;
}

// Whether a function call can be forwarded at once, without waiting: its names are valid, the
// workbook's kernel is connected and holds the current code. Shared by the handler and its fast
// path, so that both decide alike.
enum class CallReadiness { ready, bad_names, no_kernel, code_to_push };

CallReadiness call_readiness(Server& server, std::string_view workbook_id, std::string_view module_name,
                             std::string_view function_name, PeerPtr& kernel) {
  if (!names_are_valid(server, module_name, function_name)) return CallReadiness::bad_names;
  kernel = server.manager.get_connection("kernel", workbook_id);
  if (!kernel) return CallReadiness::no_kernel;
  if (!code_is_synced(server.workbooks.find(workbook_id))) return CallReadiness::code_to_push;
  return CallReadiness::ready;
}

// The kernel's message for a function or event execution, keys in their documented order,
// written straight from the add-in's message.
std::string call_text(bool is_function, std::string_view module_name, std::string_view function_name,
                      const json::value* args, const json::value& request_id, std::string_view workbook_id,
                      const json::object& message) {
  std::string out;
  out.reserve(192);
  out += is_function ? R"({"type":"custom_function_call","module_name":)" : R"({"type":"event_execution","module_name":)";
  append_json_string(out, module_name);
  out += R"(,"function_name":)";
  append_json_string(out, function_name);
  out += R"(,"args":)";
  if (args) append_json(out, *args);
  else out += "[]";
  out += R"(,"request_id":)";
  append_json(out, request_id);
  out += R"(,"workbook_id":)";
  append_json_string(out, workbook_id);
  if (!is_function) {
    for (std::string_view key : {"object_name", "event_type", "object_type"}) {
      out += ",\"";
      out += key;
      out += "\":";
      append_json_string(out, get_str(message, key));
    }
  }
  out += '}';
  return out;
}

// The add-in's request id; a fresh UUID text when it has none.
json::value call_request_id(const json::value* given) {
  if (!given || given->is_null()) return json::value(new_uuid());
  return json::value(*given, json::storage_ptr());  // not in the message's storage, which may be an arena
}

void log_forwarding(Server& server, bool is_function, std::string_view module_name, std::string_view function_name,
                    const json::value& request_id) {
  const auto& log = server.logger;
  if (!log->should_log(spdlog::level::debug)) return;
  log->debug("Forwarding function/event execution to kernel: {}.{}", module_name, function_name);
  log->debug("[TIMING] Forwarded to kernel: type={}, request_id={}",
             is_function ? "custom_function_call" : "event_execution", py_str(request_id));
}

// Records the call as pending, then queues its frame to the kernel without waiting for the
// write: the entry exists before any answer can arrive, and a frame that cannot be delivered
// is answered "Kernel disconnected" (ConnectionManager::undelivered_frame).
void forward_function_call(Server& server, const std::string& workbook_id, const PeerPtr& kernel,
                           const json::value& request_id, std::string text) {
  server._pending_function_executions[request_key(request_id)] = {workbook_id, ++server.pending_execution_counter};
  server.manager.post_text(kernel, std::make_shared<const std::string>(std::move(text)));
}

// Sends the message's text to the workbook's add-in and then to every editor.
awaitable<void> relay_to_addin_and_ides(Server& server, const std::string& workbook_id, const json::object& message) {
  Text text = std::make_shared<const std::string>(to_json(message));
  co_await server.manager.send_text("addin", workbook_id, text);
  co_await server.manager.broadcast_text("ide", text);
}

// Runs the tasks at once and waits for all; a failing task stops neither the others nor the caller.
awaitable<void> run_all_ignoring_errors(std::vector<awaitable<void>> tasks) {
  if (tasks.empty()) co_return;
  auto ex = co_await asio::this_coro::executor;
  auto remaining = std::make_shared<std::size_t>(tasks.size());
  auto done = std::make_shared<asio::steady_timer>(ex, asio::steady_timer::time_point::max());
  for (auto& task : tasks) {
    asio::co_spawn(ex, std::move(task), [remaining, done](std::exception_ptr) {
      if (--*remaining == 0) done->cancel();
    });
  }
  boost::system::error_code ec;
  while (*remaining > 0) co_await done->async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

}  // namespace

void fail_pending_executions(Server& server, const std::string& workbook_id, std::string_view message) {
  // Answered in the order the calls were made.
  std::vector<std::pair<std::uint64_t, std::string>> pending;
  for (const auto& [request_id, entry] : server._pending_function_executions)
    if (entry.workbook_id == workbook_id) pending.emplace_back(entry.order, request_id);
  std::sort(pending.begin(), pending.end());
  for (const auto& [order, id] : pending) {
    server._pending_function_executions.erase(id);
    server._result_batcher.queue_result(workbook_id, error_result(json::value(id), message));
  }
}

awaitable<void> handle_function_event_execution(Server& server, std::string client_id, json::object message) {
  auto& manager = server.manager;
  const auto& log = server.logger;
  const std::string& workbook_id = client_id;
  const bool is_function = get_str(message, "type") == "function_execution";
  std::string module_name(get_str(message, "module_name"));
  std::string function_name(get_str(message, "function_name"));
  json::value request_id = call_request_id(message.if_contains("request_id"));
  PeerPtr kernel;
  const CallReadiness readiness = call_readiness(server, workbook_id, module_name, function_name, kernel);

  if (readiness == CallReadiness::bad_names) {
    auto problem = check_names("function_execution/event_execution", module_name, function_name);
    log->warn("{}", *problem);
    json::object error;
    error["type"] = "execution_error";
    error["success"] = false;
    error["error"] = validation_error(*problem);
    error["request_id"] = request_id;
    error["workbook_id"] = workbook_id;
    error["module_name"] = module_name;
    error["function_name"] = function_name;
    co_await manager.send_to_addin(workbook_id, error);
    if (is_function) {
      json::object result;
      result["type"] = "function_execution_result";
      result["request_id"] = request_id;
      result["success"] = false;
      result["error"] = validation_error(*problem);
      co_await manager.send_to_addin(workbook_id, result);
    }
    co_return;
  }

  // Without a kernel the call would wait for ever: answer it now.
  if (is_function && readiness == CallReadiness::no_kernel) {
    server._result_batcher.queue_result(workbook_id,
                                        error_result(request_id, "Kernel not connected for workbook " + workbook_id));
    co_return;
  }

  if (readiness != CallReadiness::ready) co_await full_code_sync(server, workbook_id);

  std::string text = call_text(is_function, module_name, function_name, message.if_contains("args"), request_id,
                               workbook_id, message);
  log_forwarding(server, is_function, module_name, function_name, request_id);
  if (!is_function) {
    co_await manager.send_text("kernel", workbook_id, std::make_shared<const std::string>(std::move(text)));
    co_return;
  }
  // The kernel may have gone while the code was pushed.
  kernel = manager.get_connection("kernel", workbook_id);
  if (!kernel) {
    server._result_batcher.queue_result(workbook_id,
                                        error_result(request_id, "Kernel not connected for workbook " + workbook_id));
    co_return;
  }
  forward_function_call(server, workbook_id, kernel, request_id, std::move(text));
}

bool handle_function_execution_now(Server& server, std::string_view client_type, const std::string& client_id,
                                   json::object& message) {
  static constexpr std::array<std::string_view, 4> kKeys = {"module_name", "function_name", "request_id", "args"};
  const auto [module_value, function_value, given_id, args] = find_members(message, kKeys);
  auto text_of = [](const json::value* v) {
    return v && v->is_string() ? std::string_view(v->get_string()) : std::string_view();
  };
  const std::string_view module_name = text_of(module_value);
  const std::string_view function_name = text_of(function_value);
  // Names to reject, a missing kernel or code to push first: the handler.
  PeerPtr kernel;
  if (call_readiness(server, client_id, module_name, function_name, kernel) != CallReadiness::ready) return false;

  before_handler(server, client_type, message);
  json::value request_id = call_request_id(given_id);
  std::string text = call_text(true, module_name, function_name, args, request_id, client_id, message);
  log_forwarding(server, true, module_name, function_name, request_id);
  forward_function_call(server, client_id, kernel, request_id, std::move(text));
  return true;
}

void undelivered_frame(Server& server, const Text& frame) {
  json::value value;
  std::string error;
  if (!parse_frame(*frame, value, error) || !value.is_object()) return;
  const json::object& call = value.get_object();
  const json::value* request_id = call.if_contains("request_id");
  if (get_str(call, "type") != "custom_function_call" || !request_id) return;
  auto it = server._pending_function_executions.find(request_key(*request_id));
  if (it == server._pending_function_executions.end()) return;
  std::string workbook_id = std::move(it->second.workbook_id);
  server._pending_function_executions.erase(it);
  server._result_batcher.queue_result(workbook_id, error_result(*request_id, "Kernel disconnected"));
}

awaitable<void> handle_streaming_function_execution(Server& server, std::string client_id, json::object message) {
  auto& manager = server.manager;
  if (is_missing(message, "request_id")) {
    server.logger->warn("streaming_function_execution missing request_id");
    co_return;
  }
  json::value request_id = message["request_id"];
  std::string module_name(get_str(message, "module_name"));
  std::string function_name(get_str(message, "function_name"));
  if (auto problem = check_names("streaming_function_execution", module_name, function_name)) {
    server.logger->warn("{}", *problem);
    json::object error;
    error["type"] = "streaming_function_result";
    error["request_id"] = request_id;
    error["error"] = *problem;
    error["done"] = true;
    co_await manager.send_to_addin(client_id, error);
    co_return;
  }
  co_await full_code_sync(server, client_id);
  json::object call;
  call["type"] = "execute_streaming_function";
  call["request_id"] = request_id;
  call["module_name"] = module_name;
  call["function_name"] = function_name;
  if (auto* args = message.if_contains("args")) call["args"] = std::move(*args);
  else call["args"] = json::array();
  server.logger->debug("[TIMING] Forwarded to kernel: type=execute_streaming_function, request_id={}",
                       py_str(request_id));
  co_await manager.send_to_kernel(client_id, call);
}

awaitable<void> handle_cancel_streaming_function(Server& server, std::string client_id, json::object message) {
  json::object cancel;
  cancel["type"] = "cancel_streaming_function";
  cancel["request_id"] = member_or(message, "request_id", nullptr);
  co_await server.manager.send_to_kernel(client_id, cancel);
}

awaitable<void> handle_python_function_call(Server& server, std::string client_id, json::object message) {
  json::value request_id = member_or(message, "requestId", nullptr);
  if (is_missing(message, "callable_id")) {
    server.logger->warn("python_function_call missing callable_id");
    json::object error;
    error["message"] = "python_function_call missing callable_id";
    json::object reply;
    reply["kind"] = "response";
    reply["requestId"] = request_id;
    reply["ok"] = false;
    reply["error"] = std::move(error);
    co_await server.manager.send_to_addin(client_id, reply);
    co_return;
  }
  json::value callable_id = message["callable_id"];
  server.logger->info("[Server] Routing python_function_call: callable_id={}, request_id={}", py_str(callable_id),
                      py_str(request_id));
  json::object call;
  call["type"] = "python_function_call";
  call["callable_id"] = callable_id;
  if (auto* args = message.if_contains("args")) call["args"] = std::move(*args);
  else call["args"] = json::array();
  call["request_id"] = request_id;
  call["workbook_id"] = client_id;
  co_await server.manager.send_to_kernel(client_id, call);
}

awaitable<void> handle_ide_execution_request(Server& server, std::string, json::object message) {
  if (is_missing(message, "workbook_id")) {
    server.logger->warn("Received execution_request from IDE without workbook_id");
    co_return;
  }
  co_await server.manager.send_to_kernel(py_member(message, "workbook_id"), message);
}

namespace {

// The pending execution a kernel's answer is for, looked up by the answer's "request_id" ("N/A"
// when it has none); end() when none waits for it. The handler and its fast path both ask this.
auto find_pending_call(Server& server, const json::value* id) {
  auto& pending = server._pending_function_executions;
  if (!id) return pending.find(std::string_view("N/A"));
  if (id->is_string()) return pending.find(std::string_view(id->get_string()));
  return pending.find(py_str(*id));
}
using PendingCallIt = decltype(find_pending_call(std::declval<Server&>(), nullptr));

// A kernel's answer to a call the add-in is waiting for becomes the add-in's result, delivered
// through the batcher: {"type", "request_id", "status", "result" | "error", "logs"}, written
// straight from the kernel's answer.
void answer_pending_call(Server& server, PendingCallIt it, const json::object& message, bool success) {
  static constexpr std::array<std::string_view, 4> kKeys = {"request_id", "result", "error", "logs"};
  const auto [id, result, error, logs] = find_members(message, kKeys);
  const bool debug = server.logger->should_log(spdlog::level::debug);
  std::string request_id = debug ? it->first : std::string();
  std::string workbook_id = std::move(it->second.workbook_id);
  server._pending_function_executions.erase(it);
  std::string text;
  text.reserve(128);
  text += R"({"type":"function_execution_result","request_id":)";
  if (id) append_json(text, *id);
  else text += "null";
  if (success) {
    text += R"(,"status":"success","result":)";
    if (result) append_json(text, *result);
    else text += "null";
  } else {
    text += R"(,"status":"error","error":)";
    if (error) append_json(text, *error);
    else text += R"({"message":"Unknown error"})";
  }
  text += R"(,"logs":)";
  if (logs) append_json(text, *logs);
  else text += R"("")";
  text += '}';
  server._result_batcher.queue_result_text(workbook_id, std::move(text));
  if (!debug) return;
  if (success) server.logger->debug("Queued function_execution_result for request_id: {}", request_id);
  else server.logger->debug("Queued function_execution_result (error) for request_id: {}", request_id);
}

// The handler of a kernel's "execution_result" / "execution_error": an answer nobody waits for
// (an editor's run, a repeat) goes to the add-in and the editors as output.
awaitable<void> handle_kernel_answer(Server& server, std::string client_id, json::object message, bool success) {
  auto it = find_pending_call(server, message.if_contains("request_id"));
  if (it == server._pending_function_executions.end()) {
    co_await handle_kernel_transfer(server, std::move(client_id), std::move(message));
    co_return;
  }
  answer_pending_call(server, it, message, success);
}

// The fast path of the same: only the answers someone waits for.
bool kernel_answer_now(Server& server, std::string_view client_type, json::object& message, bool success) {
  auto it = find_pending_call(server, message.if_contains("request_id"));
  if (it == server._pending_function_executions.end()) return false;
  before_handler(server, client_type, message);
  answer_pending_call(server, it, message, success);
  return true;
}

}  // namespace

awaitable<void> handle_kernel_execution_result(Server& server, std::string client_id, json::object message) {
  return handle_kernel_answer(server, std::move(client_id), std::move(message), true);
}

awaitable<void> handle_kernel_execution_error(Server& server, std::string client_id, json::object message) {
  return handle_kernel_answer(server, std::move(client_id), std::move(message), false);
}

bool handle_kernel_execution_result_now(Server& server, std::string_view client_type, const std::string&,
                                        json::object& message) {
  return kernel_answer_now(server, client_type, message, true);
}

bool handle_kernel_execution_error_now(Server& server, std::string_view client_type, const std::string&,
                                       json::object& message) {
  return kernel_answer_now(server, client_type, message, false);
}

awaitable<void> handle_kernel_transfer(Server& server, std::string client_id, json::object message) {
  co_await relay_to_addin_and_ides(server, client_id, message);
}

awaitable<void> handle_kernel_to_addin(Server& server, std::string client_id, json::object message) {
  co_await server.manager.send_to_addin(client_id, message);
}

awaitable<void> handle_kernel_to_ide(Server& server, std::string client_id, json::object message) {
  std::string workbook_id = is_missing(message, "workbook_id") ? client_id : py_member(message, "workbook_id");
  message["workbook_id"] = workbook_id;
  server.logger->info("[BusinessLayer] Forwarded {} to IDE for workbook {}", py_member(message, "type"), workbook_id);
  co_await server.manager.broadcast("ide", message);
}

awaitable<void> handle_kernel_batch(Server& server, std::string client_id, json::object message) {
  std::vector<awaitable<void>> tasks;
  if (auto* list = message.if_contains("messages"); list && list->is_array()) {
    for (auto& element : list->get_array()) {
      if (!element.is_object()) continue;  // not a message: nothing to dispatch
      tasks.push_back(handle_message(server, "kernel", client_id, std::move(element.get_object())));
    }
  }
  co_await run_all_ignoring_errors(std::move(tasks));
}

}  // namespace switchyard

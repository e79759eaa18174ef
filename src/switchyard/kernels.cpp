// Kernel processes: start, terminate, kill and restart, one per workbook.
#include "switchyard/kernels.hpp"

#include "switchyard/execution.hpp"
#include "switchyard/handlers.hpp"
#include "switchyard/validation.hpp"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace switchyard {

namespace {

void sleep_ms(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

std::shared_ptr<corvane::process::Child> spawn_kernel(Server& server, const std::string& workbook_id) {
  const auto& log = server.logger;
  if (auto v = validate_client_id(workbook_id); !v.valid) {
    log->error("Invalid workbook_id: {}", v.error);
    return nullptr;
  }
  const json::object* args = server.manager.client_arguments(workbook_id);
  std::string args_json = args ? python_json_dumps(*args) : "{}";
  std::vector<std::string> argv = {server.python_executable, "-m", "corvane_master.python_server", workbook_id,
                                   std::to_string(server._port), std::move(args_json)};
  corvane::process::SpawnOptions options;
  options.new_process_group = true;
  std::string error;
  auto child = corvane::process::spawn(argv, options, error).child;
  if (!child) {
    log->error("Failed to spawn kernel for {}: {}", workbook_id, error);
    return nullptr;
  }
  server.workbooks.at(workbook_id).kernel = child;
  std::erase_if(server.started_kernels, [](const auto& c) { return !c->alive(); });
  server.started_kernels.push_back(child);
  log->info("Spawned kernel for workbook: {}", workbook_id);
  return child;
}

void terminate_kernel(Server& server, const std::string& workbook_id) {
  Workbook* wb = server.workbooks.find(workbook_id);
  if (!wb || !wb->kernel) return;
  wb->kernel->signal(SIGTERM);
  wb->kernel.reset();
}

bool kill_and_restart_kernel(Server& server, const std::string& workbook_id) {
  const auto& log = server.logger;
  Workbook* wb = server.workbooks.find(workbook_id);
  if (!wb || !wb->kernel) {
    log->warn("No kernel found for workbook: {}", workbook_id);
    return false;
  }
  std::shared_ptr<corvane::process::Child> child = wb->kernel;
  const int pid = child->pid();
  log->info("Killing kernel for workbook {} (PID: {})", workbook_id, pid);

  auto report = [&](int err) {
    if (err != 0 && err != ESRCH) log->error("Error killing kernel process {}: {}", pid, std::strerror(err));
  };
  int rc = child->signal_group(SIGTERM);
  if (rc == 0) {
    sleep_ms(server.kill_grace_ms);
    if (child->alive()) report(child->signal_group(SIGKILL));
  } else if (rc == ESRCH) {
    // No group to signal: the process alone.
    rc = child->signal(SIGTERM);
    if (rc == 0) {
      sleep_ms(server.kill_grace_ms);
      if (child->alive()) report(child->signal(SIGKILL));
    } else {
      report(rc);
    }
  } else {
    report(rc);
  }

  wb->kernel.reset();
  if (auto* kernels = server.manager.active_connections.find("kernel")) kernels->erase(workbook_id);
  sleep_ms(server.restart_pause_ms);

  if (spawn_kernel(server, workbook_id)) {
    log->info("Successfully restarted kernel for workbook: {}", workbook_id);
    return true;
  }
  log->error("Failed to restart kernel for workbook: {}", workbook_id);
  return false;
}

awaitable<void> handle_spawn_kernel(Server& server, std::string client_id, json::object) {
  spawn_kernel(server, client_id);
  co_return;
}

awaitable<void> handle_terminate_kernel(Server& server, std::string client_id, json::object) {
  terminate_kernel(server, client_id);
  co_return;
}

awaitable<void> handle_kill_kernel(Server& server, std::string client_id, json::object message) {
  std::string workbook_id = is_missing(message, "workbook_id") ? client_id : py_member(message, "workbook_id");
  server.logger->info("[BusinessLayer] Received kill_kernel request for workbook: {}", workbook_id);
  bool success = kill_and_restart_kernel(server, workbook_id);
  // The old kernel will never answer what it was running.
  fail_pending_executions(server, workbook_id, "Kernel disconnected");

  json::object reply;
  reply["type"] = "kill_kernel_response";
  reply["workbook_id"] = workbook_id;
  reply["success"] = success;
  co_await server.manager.send_to_addin(workbook_id, reply);
  co_await server.manager.broadcast("ide", reply);
  if (success)
    server.logger->info("[BusinessLayer] Kernel killed and restarted successfully for: {}", workbook_id);
  else
    server.logger->error("[BusinessLayer] Failed to restart kernel for: {}", workbook_id);
}

}  // namespace switchyard

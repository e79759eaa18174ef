// Kernel processes: start, terminate, kill and restart, one per workbook; and the supervision
// that starts a crashed kernel again while its add-in is connected.
#include "switchyard/kernels.hpp"

#include "switchyard/execution.hpp"
#include "switchyard/handlers.hpp"
#include "switchyard/relays.hpp"
#include "switchyard/validation.hpp"

#include "services/clock.hpp"
#include "services/pipe_process.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cerrno>
#include <cstring>

namespace switchyard {

// Kills and restarts of one workbook take turns.
struct KernelControl {
  explicit KernelControl(asio::any_io_executor ex) : changed(ex) {}
  bool busy = false;
  corvane::Notifier changed;
};

namespace {

constexpr std::size_t kMaxRestarts = 5;
constexpr std::chrono::seconds kRestartWindow{60};

// The wait before the n-th restart within the window (n from 0): 0.5, 1, 2, 4, 8 s.
corvane::Clock::duration restart_delay(std::size_t n) { return std::chrono::milliseconds(500) * (1 << n); }

awaitable<void> pause_ms(int ms) {
  if (ms <= 0) co_return;
  corvane::Timer timer(co_await asio::this_coro::executor);
  timer.expires_after(std::chrono::milliseconds(ms));
  co_await timer.async_wait(asio::use_awaitable);
}

// Asks the process to stop, as terminate_kernel does: its exit is no crash.
void stop_on_purpose(corvane::process::Child& child) {
  child.expect_exit();
  child.terminate();
}

// A restart after a crash, once the back-off has passed: only if the add-in is still there and
// nobody started another kernel meanwhile (a kill, a reconnecting add-in, a "spawn_kernel").
awaitable<void> restart_after(Server& server, std::string workbook_id,
                              std::shared_ptr<corvane::process::Child> crashed, corvane::Clock::duration delay,
                              std::size_t restart) {
  corvane::Timer timer(co_await asio::this_coro::executor);
  timer.expires_after(delay);
  co_await timer.async_wait(asio::use_awaitable);
  Workbook* wb = server.workbooks.find(workbook_id);
  if (server.stopping || !wb || wb->kernel != crashed || wb->kernel_restarts_given_up) co_return;
  if (!server.manager.get_connection("addin", workbook_id)) co_return;
  server.logger->info("Restarting the kernel for workbook {} (restart {} of {})", workbook_id, restart, kMaxRestarts);
  spawn_kernel(server, workbook_id);
}

// What happens when a kernel process has exited (on the loop).
void kernel_exited(Server& server, const std::string& workbook_id,
                   const std::shared_ptr<corvane::process::Child>& child, int status) {
  if (child->exit_expected() || server.stopping) return;
  const auto& log = server.logger;
  if (corvane::process::signalled(status))
    log->warn("Kernel for workbook {} (PID {}) was killed by signal {}", workbook_id, child->pid(),
              corvane::process::describe_exit(status));
  else
    log->warn("Kernel for workbook {} (PID {}) exited with {}", workbook_id, child->pid(),
              corvane::process::describe_exit(status));

  Workbook* wb = server.workbooks.find(workbook_id);
  // Only the workbook's own kernel comes back, and only while its add-in is there to use it.
  if (!wb || wb->kernel != child || !server.manager.get_connection("addin", workbook_id)) return;
  if (wb->kernel_restarts_given_up) return;
  const auto now = corvane::Clock::now();
  auto& crashes = wb->kernel_crashes;
  std::erase_if(crashes, [&](auto at) { return now - at >= kRestartWindow; });
  crashes.push_back(now);
  if (crashes.size() > kMaxRestarts) {
    std::string text = "Kernel for workbook " + workbook_id + " crashed " + std::to_string(crashes.size()) +
                       " times within 60 s; giving up on restarting it";
    log->error("{}", text);
    wb->kernel_restarts_given_up = true;
    server.background.spawn(_push_message_to_ide_console(server, std::move(text)));
    return;
  }
  const std::size_t n = crashes.size() - 1;
  server.background.spawn(restart_after(server, workbook_id, child, restart_delay(n), n + 1));
}

// Tells kernel_exited() of the process's exit, on the loop, while the server exists.
void watch(Server& server, const std::string& workbook_id, const std::shared_ptr<corvane::process::Child>& child) {
  std::weak_ptr<bool> alive = server.alive;
  std::weak_ptr<corvane::process::Child> weak = child;
  child->on_exit([&server, alive, weak, workbook_id, ex = server.executor](int status) {
    asio::post(ex, [&server, alive, weak, workbook_id, status] {
      auto child = weak.lock();
      if (alive.lock() && child) kernel_exited(server, workbook_id, child, status);
    });
  });
}

}  // namespace

bool kernel_running(const Workbook* wb) { return wb && wb->kernel && wb->kernel->alive(); }

void start_kernel_supervision_afresh(Workbook& wb) {
  wb.kernel_crashes.clear();
  wb.kernel_restarts_given_up = false;
}

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
  Workbook& wb = server.workbooks.at(workbook_id);
  // A workbook has one kernel: the one it had is stopped rather than left where nothing reaches it.
  if (wb.kernel && wb.kernel->alive()) stop_on_purpose(*wb.kernel);
  wb.kernel = child;
  watch(server, workbook_id, child);
  std::erase_if(server.started_kernels, [](const auto& c) { return !c->alive(); });
  server.started_kernels.push_back(child);
  log->info("Spawned kernel for workbook: {}", workbook_id);
  return child;
}

void terminate_kernel(Server& server, const std::string& workbook_id) {
  Workbook* wb = server.workbooks.find(workbook_id);
  if (!wb || !wb->kernel) return;
  stop_on_purpose(*wb->kernel);
  wb->kernel.reset();
}

awaitable<bool> kill_and_restart_kernel(Server& server, std::string workbook_id) {
  const auto& log = server.logger;
  Workbook& wb = server.workbooks.at(workbook_id);
  if (!wb.kernel_control) wb.kernel_control = std::make_shared<KernelControl>(server.executor);
  std::shared_ptr<KernelControl> control = wb.kernel_control;
  while (control->busy) co_await control->changed.wait();
  control->busy = true;
  struct Release {
    KernelControl& control;
    ~Release() {
      control.busy = false;
      control.changed.notify_all();
    }
  } release{*control};

  if (!wb.kernel) {
    log->warn("No kernel found for workbook: {}", workbook_id);
    co_return false;
  }
  std::shared_ptr<corvane::process::Child> child = wb.kernel;
  const int pid = child->pid();
  log->info("Killing kernel for workbook {} (PID: {})", workbook_id, pid);
  child->expect_exit();
  start_kernel_supervision_afresh(wb);

  auto report = [&](std::error_code err) {
    if (err && err != std::errc::no_such_process) log->error("Error killing kernel process {}: {}", pid, err.message());
  };
  // The kernel's whole tree (its process group; its job on Windows); a kernel without one alone.
  // A process already gone ends this quietly.
  std::error_code rc = child->terminate_tree();
  const bool tree = !rc;
  if (rc == std::errc::no_such_process) rc = child->terminate();
  if (!rc) {
    co_await pause_ms(server.kill_grace_ms);
    if (child->alive()) report(tree ? child->kill_tree() : child->kill());
  } else {
    report(rc);
  }

  if (wb.kernel == child) wb.kernel.reset();
  if (auto* kernels = server.manager.active_connections.find("kernel")) kernels->erase(workbook_id);
  co_await pause_ms(server.restart_pause_ms);

  if (spawn_kernel(server, workbook_id)) {
    log->info("Successfully restarted kernel for workbook: {}", workbook_id);
    co_return true;
  }
  log->error("Failed to restart kernel for workbook: {}", workbook_id);
  co_return false;
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
  bool success = co_await kill_and_restart_kernel(server, workbook_id);
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

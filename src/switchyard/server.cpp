// Server set-up and the operations the host calls at start and stop.
#include "switchyard/server.hpp"

#include "switchyard/execution.hpp"
#include "switchyard/packages.hpp"
#include "switchyard/param_helper.hpp"

#include "services/clock.hpp"
#include "services/platform.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstdlib>

namespace switchyard {

namespace {

std::string default_python() {
  if (auto p = corvane::platform::get_env("CORVANE_PYTHON"); p && !p->empty()) return *p;
  return corvane::platform::default_python();
}

}  // namespace

Server::Server(asio::any_io_executor ex, ServerOptions options)
    : executor(ex),
      logger(corvane::logging::get_logger("business_layer.switchyard")),
      background(ex, logger, "background"),
      manager(background),
      _result_batcher(manager, background),
      base_dir(options.base_dir.empty() ? corvane::platform::home_directory() / ".corvane" : options.base_dir),
      settings_manager(base_dir),
      package_manager(corvane::platform::path_to_utf8(base_dir), &settings_manager),
      python_executable(options.python_executable.empty() ? default_python() : options.python_executable) {
  manager.on_undelivered([this](const Text& frame) { undelivered_frame(*this, frame); });
  package_manager.python_executable = python_executable;
  // By default the inspector service runs under the kernels' interpreter.
  inspector.configure(std::move(options.inspector_command), options.no_inspector, &settings_manager,
                      {python_executable, "-m", "corvane_inspector", "{port}"});
  build_message_handlers(MESSAGE_HANDLERS);
  init_handlers(*this, package_manager, handle_workbook_packages_install);
}

Server::~Server() { cancel_all_tasks(); }

void Server::cancel_all_tasks() {
  for (TaskGroup* group : connection_groups) group->cancel_all();
  background.cancel_all();
}

awaitable<void> Server::startup_event() {
  logger->info("Starting Business Layer server...");
  if (inspector.launch_inspector(_port)) {
    corvane::Timer timer(co_await asio::this_coro::executor);
    timer.expires_after(std::chrono::duration_cast<corvane::Clock::duration>(
        std::chrono::duration<double>(inspector_settle_seconds)));
    co_await timer.async_wait(asio::use_awaitable);
    logger->info("Python Inspector launched successfully");
  } else {
    logger->warn("Failed to launch Python Inspector - some features may not work");
  }
}

awaitable<void> Server::shutdown_event() {
  logger->info("Shutting down Business Layer server...");
  stopping = true;
  inspector.terminate_inspector();
  if (parameter_helper) parameter_helper->stop();
  // No installer outlives the server.
  package_manager.kill_installers();
  co_return;
}

json::object Server::root() const {
  json::object out;
  out["status"] = "running";
  out["service"] = "Corvane Business Layer";
  return out;
}

json::object Server::get_connections() const {
  json::object out;
  for (const auto& [type, table] : manager.active_connections) {
    json::array ids;
    for (const auto& [id, _] : table) ids.emplace_back(id);
    out[type] = std::move(ids);
  }
  return out;
}

void Server::set_port(int port) { _port = port; }

void Server::initialize_ide_manager(int server_port, int watchdog_port, std::string auth_token, int docs_port) {
  ide_manager = std::make_unique<corvane::IDEProcessManager>(server_port, watchdog_port, std::move(auth_token),
                                                             docs_port, &settings_manager);
  logger->info("IDE manager initialized with server port: {}, watchdog port: {}, docs port: {}", server_port,
               watchdog_port, docs_port);
}

}  // namespace switchyard

// The editors' package requests: questions about packages on the indexes, changes to a
// workbook's package list and import paths, and the start of its install run. Wire formats:
// docs/protocol.md, "Editor package requests".
#include "switchyard/handlers.hpp"
#include "switchyard/packages.hpp"
#include "switchyard/validation.hpp"

#include "packages/package_manager.hpp"

#include "indexscout/indexscout.hpp"

// GCC 12 takes Asio's coroutine-frame allocator (aligned_alloc behind the frame's own operator
// new and delete) for a mismatched pair when it inlines it into a large frame.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace switchyard {

namespace {

constexpr std::string_view kStatuses[] = {"pending",    "pending_update", "to_remove",
                                          "resolving",  "installing",     "installed",
                                          "installed_with_errors", "error"};

// Builds and sends the answer to the editor that asked: "<request>_response" (a "_request"
// suffix is replaced), the request's "request_id" when it had one, then `fields`.
class Reply {
 public:
  Reply(Server& server, std::string client_id, const json::object& request)
      : server_(server), client_id_(std::move(client_id)) {
    request_type_ = std::string(get_str(request, "type"));
    std::string type = request_type_;
    if (type.ends_with("_request")) type.resize(type.size() - 8);
    message_["type"] = type + "_response";
    if (const json::value* id = request.if_contains("request_id")) message_["request_id"] = *id;
    if (const json::value* wb = request.if_contains("workbook_id"); wb && wb->is_string()) message_["workbook_id"] = *wb;
  }
  json::object& message() { return message_; }
  awaitable<void> ok(json::object fields = {}) {
    message_["success"] = true;
    for (auto& kv : fields) message_[kv.key()] = std::move(kv.value());
    co_await send();
  }
  awaitable<void> fail(std::string error) {
    server_.logger->warn("{} failed: {}", request_type_, error);
    message_["success"] = false;
    message_["error"] = std::move(error);
    co_await send();
  }

 private:
  awaitable<void> send() {
    try {
      co_await server_.manager.send_message("ide", client_id_, message_);
    } catch (const PeerClosedError&) {
      // The editor went away; nothing to answer.
    }
  }
  Server& server_;
  std::string client_id_;
  std::string request_type_;
  json::object message_;
};

std::string workbook_of(const json::object& message) { return std::string(get_str(message, "workbook_id")); }

// "package_name", else "name".
std::string package_name_of(const json::object& message) {
  if (message.contains("package_name")) return std::string(get_str(message, "package_name"));
  return std::string(get_str(message, "name"));
}

std::optional<std::string> index_url_of(const json::object& message) {
  std::string_view url = get_str(message, "index_url");
  if (url.empty()) return std::nullopt;
  return std::string(url);
}

// The extras of a request: absent gives none; anything but a list of texts is refused.
bool extras_of(const json::object& message, std::vector<std::string>& out, std::string& error) {
  const json::value* v = message.if_contains("extras");
  if (!v || v->is_null()) return true;
  if (!v->is_array()) {
    error = "extras must be a list of extra names";
    return false;
  }
  for (const auto& e : v->get_array()) {
    if (!e.is_string()) {
      error = "extras must be a list of extra names";
      return false;
    }
    out.emplace_back(e.get_string());
  }
  return true;
}

corvane::PackageManager& package_manager(Server& server) {
  return server.package_handlers.package_manager ? *server.package_handlers.package_manager : server.package_manager;
}

json::array& package_list(Server& server, const std::string& workbook_id) {
  json::value& v = server.workbooks.at(workbook_id).packages;
  if (!v.is_array()) v = json::array();
  return v.get_array();
}

// After a change of the list: every editor sees it, the workbook stores it.
awaitable<void> publish_list(Server& server, const std::string& workbook_id) {
  co_await _push_packages_and_python_paths(server, workbook_id);
  json::object save;
  save["type"] = "save_workbook_packages";
  save["packages"] = package_list(server, workbook_id);
  try {
    co_await server.manager.send_to_addin(workbook_id, save);
  } catch (const PeerClosedError&) {
  }
}

// The newest version on the configured indexes, or empty.
awaitable<std::string> latest_version(Server& server, const std::string& name) {
  std::vector<std::string> versions = co_await package_manager(server).index().get_versions(name);
  co_return versions.empty() ? std::string() : versions.front();
}

// Checks name, version and extras of a request; fills in the newest version when none is
// given. Returns the error text, or empty.
awaitable<std::string> checked_request(Server& server, const json::object& message, std::string& name,
                                       std::string& version, std::vector<std::string>& extras) {
  name = package_name_of(message);
  if (auto error = corvane::validate_package_name(name); !error.empty()) co_return error;
  std::string error;
  if (!extras_of(message, extras, error)) co_return error;
  const json::value* v = message.if_contains("version");
  if (v && !v->is_null() && !v->is_string()) co_return "Invalid version " + py_str(*v) + " for package '" + name + "'";
  version = std::string(get_str(message, "version"));
  if (version.empty() || version == "latest") {
    version = co_await latest_version(server, name);
    if (version.empty()) co_return "No versions found for package '" + name + "'";
  }
  co_return corvane::validate_package_request(name, version, extras);
}

}  // namespace

// ---- questions about packages ----------------------------------------------------------------

awaitable<void> handle_get_package_versions_request(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  std::string name = package_name_of(message);
  reply.message()["package_name"] = name;
  if (auto error = corvane::validate_package_name(name); !error.empty()) co_return co_await reply.fail(error);
  std::vector<std::string> versions = co_await package_manager(server).index().get_versions(name, index_url_of(message));
  json::object fields{{"versions", string_array(versions)}};
  co_await reply.ok(std::move(fields));
}

awaitable<void> handle_get_package_extras_request(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  std::string name = package_name_of(message);
  std::string version(get_str(message, "version"));
  reply.message()["package_name"] = name;
  reply.message()["version"] = version;
  if (auto error = corvane::validate_package_request(name, version, {}); !error.empty())
    co_return co_await reply.fail(error);
  std::vector<std::string> extras =
      co_await package_manager(server).index().get_extras(name, version, index_url_of(message));
  json::object fields{{"extras", string_array(extras)}};
  co_await reply.ok(std::move(fields));
}

awaitable<void> handle_get_package_info_request(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  std::string name = package_name_of(message);
  reply.message()["package_name"] = name;
  if (auto error = corvane::validate_package_name(name); !error.empty()) co_return co_await reply.fail(error);
  auto& index = package_manager(server).index();
  std::vector<std::string> versions = co_await index.get_versions(name, index_url_of(message));
  std::string version(get_str(message, "version"));
  if (version.empty()) version = versions.empty() ? std::string() : versions.front();
  if (version.empty()) co_return co_await reply.fail("No versions found for package '" + name + "'");
  if (auto error = corvane::validate_package_version(name, version); !error.empty())
    co_return co_await reply.fail(error);
  std::vector<std::string> extras = co_await index.get_extras(name, version, index_url_of(message));
  std::vector<indexscout::Dependency> dependencies = co_await index.get_dependencies(name, version, index_url_of(message));
  json::array deps;
  for (const auto& d : dependencies) deps.emplace_back(indexscout::to_json(d));
  auto& pm = package_manager(server);
  json::object fields{{"version", version},
                      {"versions", string_array(versions)},
                      {"extras", string_array(extras)},
                      {"dependencies", std::move(deps)},
                      {"cached", pm.is_cached(pm.entry_path(name, version, {}))}};
  co_await reply.ok(std::move(fields));
}

awaitable<void> handle_package_install_request(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  std::string name, version;
  std::vector<std::string> extras;
  std::string error = co_await checked_request(server, message, name, version, extras);
  reply.message()["name"] = name;
  reply.message()["version"] = version;
  reply.message()["extras"] = string_array(extras);
  if (!error.empty()) co_return co_await reply.fail(error);

  // Progress goes to the editor that asked, as console lines.
  const std::string workbook_id = workbook_of(message);
  auto progress = [&](std::string_view output_type, std::string text) -> json::object {
    json::object line;
    line["type"] = "pip_output";
    if (!workbook_id.empty()) line["workbook_id"] = workbook_id;
    line["output_type"] = output_type;
    line["message"] = std::move(text);
    return line;
  };
  std::optional<std::string> path, failure;
  bool cached = false;
  auto stream = package_manager(server).install_package_to_cache(name, version, extras);
  while (auto event = co_await stream->next()) {
    if (event->type == "path") path = event->data;
    else if (event->type == "cached") cached = true;
    else if (event->type == "error") failure = event->data;
    else if (event->type == "stdout" || event->type == "stderr") {
      try {
        co_await server.manager.send_message("ide", client_id, progress(event->type, event->data));
      } catch (const PeerClosedError&) {
      }
    }
  }
  if (!path) co_return co_await reply.fail(failure.value_or("The installer gave no result"));
  json::object fields{{"path", *path}, {"cached", cached}};
  co_await reply.ok(std::move(fields));
}

// ---- the workbook's package list -------------------------------------------------------------

awaitable<void> handle_add_workbook_package(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  std::string name, version;
  std::vector<std::string> extras;
  std::string error = co_await checked_request(server, message, name, version, extras);
  if (!error.empty()) co_return co_await reply.fail(error);
  json::array& list = package_list(server, workbook_id);
  if (_find_package_by_name(list, name))
    co_return co_await reply.fail("Package '" + name + "' is already in workbook " + workbook_id);
  json::object entry;
  entry["name"] = name;
  entry["version"] = version;
  entry["extras"] = string_array(extras);
  entry["status"] = "pending";
  list.emplace_back(entry);
  json::object fields{{"package", std::move(entry)}};
  co_await reply.ok(std::move(fields));
  co_await publish_list(server, workbook_id);
}

awaitable<void> handle_remove_workbook_package(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  const std::string name = package_name_of(message);
  json::object* entry = _find_package_by_name(package_list(server, workbook_id), name);
  if (!entry) co_return co_await reply.fail("Package '" + name + "' is not in workbook " + workbook_id);
  (*entry)["status"] = "to_remove";
  json::object fields{{"package", *entry}};
  co_await reply.ok(std::move(fields));
  co_await publish_list(server, workbook_id);
}

awaitable<void> handle_update_workbook_package(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  const std::string name = package_name_of(message);
  json::object* entry = _find_package_by_name(package_list(server, workbook_id), name);
  if (!entry) co_return co_await reply.fail("Package '" + name + "' is not in workbook " + workbook_id);
  const json::value* given = message.if_contains("version");
  if (given && !given->is_string() && !given->is_null())
    co_return co_await reply.fail("Invalid version " + py_str(*given) + " for package '" + name + "'");
  std::string version = given ? std::string(get_str(message, "version")) : std::string(get_str(*entry, "version"));
  std::string error;
  std::vector<std::string> extras;
  if (message.contains("extras")) {
    if (!extras_of(message, extras, error)) co_return co_await reply.fail(error);
  } else if (const json::value* e = entry->if_contains("extras"); e && e->is_array()) {
    for (const auto& x : e->get_array())
      if (x.is_string()) extras.emplace_back(x.get_string());
  }
  if (version.empty() || version == "latest") {
    version = co_await latest_version(server, name);
    if (version.empty()) co_return co_await reply.fail("No versions found for package '" + name + "'");
  }
  if (error = corvane::validate_package_request(name, version, extras); !error.empty())
    co_return co_await reply.fail(error);
  // The list may have changed while the index was asked.
  entry = _find_package_by_name(package_list(server, workbook_id), name);
  if (!entry) co_return co_await reply.fail("Package '" + name + "' is not in workbook " + workbook_id);
  (*entry)["version"] = version;
  (*entry)["extras"] = string_array(extras);
  (*entry)["status"] = "pending_update";
  json::object fields{{"package", *entry}};
  co_await reply.ok(std::move(fields));
  co_await publish_list(server, workbook_id);
}

awaitable<void> handle_restore_workbook_packages(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  Workbook& wb = server.workbooks.at(workbook_id);
  json::array restored = wb.installed_packages.is_array() ? wb.installed_packages.get_array() : json::array();
  wb.packages = restored;
  json::object fields{{"packages", std::move(restored)}};
  co_await reply.ok(std::move(fields));
  co_await publish_list(server, workbook_id);
}

awaitable<void> handle_update_package_status(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  const std::string name = package_name_of(message);
  const std::string status(get_str(message, "status"));
  if (std::find(std::begin(kStatuses), std::end(kStatuses), status) == std::end(kStatuses))
    co_return co_await reply.fail("Invalid status '" + status + "'");
  json::object* entry = _find_package_by_name(package_list(server, workbook_id), name);
  if (!entry) co_return co_await reply.fail("Package '" + name + "' is not in workbook " + workbook_id);
  (*entry)["status"] = status;
  json::object fields{{"package", *entry}};
  co_await reply.ok(std::move(fields));
  co_await publish_list(server, workbook_id);
}

awaitable<void> handle_reorder_workbook_packages(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  const json::value* order = message.if_contains("order");
  if (!order || !order->is_array()) co_return co_await reply.fail("order must be a list of package names");
  json::array& list = package_list(server, workbook_id);
  // Named entries first, in the given order; the others keep their order after them.
  json::array rest = list;
  json::array reordered;
  for (const auto& n : order->get_array()) {
    if (!n.is_string()) continue;
    if (json::object* entry = _find_package_by_name(rest, n.get_string())) {
      reordered.emplace_back(*entry);
      for (auto it = rest.begin(); it != rest.end(); ++it)
        if (it->if_object() == entry) {
          rest.erase(it);
          break;
        }
    }
  }
  for (auto& v : rest) reordered.push_back(std::move(v));
  list = std::move(reordered);
  json::object fields{{"packages", list}};
  co_await reply.ok(std::move(fields));
  co_await publish_list(server, workbook_id);
}

awaitable<void> handle_install_workbook_packages(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  InstallWorkflow install = server.package_handlers.install;
  if (!install) co_return co_await reply.fail("Package installation is not available");
  // The run belongs to the workbook, not to this editor's connection: it goes on when the
  // editor leaves. Progress reaches every editor.
  const bool queued = packages_install_running(server, workbook_id);
  server.background.spawn(install(server, workbook_id));
  json::object fields{{"queued", queued}};
  co_await reply.ok(std::move(fields));
}

awaitable<void> handle_get_workbook_packages(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  static const Workbook none;
  const Workbook* found = server.workbooks.find(workbook_id);
  const Workbook& wb = found ? *found : none;
  auto stored = [](const json::value& v, json::value fallback) -> json::value {
    return v.kind() == fallback.kind() ? v : fallback;
  };
  json::object fields{{"packages", stored(wb.packages, json::array())},
                      {"python_paths", stored(wb.python_paths, json::array())},
                      {"package_errors", stored(wb.package_errors, json::object())},
                      {"package_paths", stored(wb.package_paths, json::array())},
                      {"installed_packages", stored(wb.installed_packages, json::array())},
                      {"installing", packages_install_running(server, workbook_id)}};
  co_await reply.ok(std::move(fields));
}

awaitable<void> handle_get_resolved_deps(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  const Workbook* wb = server.workbooks.find(workbook_id);
  json::value deps = wb && wb->resolved_deps.is_array() ? wb->resolved_deps : json::array();
  json::object fields{{"resolved_deps", std::move(deps)}};
  co_await reply.ok(std::move(fields));
}

awaitable<void> handle_update_python_paths(Server& server, std::string client_id, json::object message) {
  Reply reply(server, client_id, message);
  const std::string workbook_id = workbook_of(message);
  if (workbook_id.empty()) co_return co_await reply.fail("Missing workbook_id");
  const json::value* given = message.if_contains("python_paths");
  if (!given || !given->is_array()) co_return co_await reply.fail("python_paths must be a list of paths");
  json::array new_paths = string_array(normalize_python_paths(given->get_array(), server.logger));
  auto& m = server.manager;
  Workbook& wb = server.workbooks.at(workbook_id);
  json::array old_paths;
  if (wb.python_paths.is_array()) old_paths = wb.python_paths.get_array();
  wb.python_paths = new_paths;
  try {
    json::object set_paths{{"type", "set_python_paths"}, {"old_paths", old_paths}, {"new_paths", new_paths}};
    co_await m.send_to_kernel(workbook_id, set_paths);
    json::object save{{"type", "save_workbook_python_paths"}, {"python_paths", new_paths}};
    co_await m.send_to_addin(workbook_id, save);
  } catch (const PeerClosedError&) {
  }
  json::object fields{{"python_paths", new_paths}};
  co_await reply.ok(std::move(fields));
  co_await _push_packages_and_python_paths(server, workbook_id);
}

}  // namespace switchyard

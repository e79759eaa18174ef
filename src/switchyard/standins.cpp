// STAND-INS until the package work lands (removed by those merges).
#include "switchyard/packages.hpp"

namespace switchyard {

std::pair<json::array, json::array> get_pacakages_and_python_paths_from_addin_message(json::object& message) {
  json::array packages, paths;
  if (auto* p = message.if_contains("packages"); p && p->is_array()) packages = p->get_array();
  if (auto* p = message.if_contains("python_paths"); p && p->is_array()) paths = p->get_array();
  for (auto& entry : packages)
    if (entry.is_object()) entry.get_object()["status"] = "pending";
  return {std::move(packages), std::move(paths)};
}

awaitable<void> ConnectionManager::_push_packages_and_python_paths(std::string workbook_id, const json::array* packages,
                                                                    const json::array* python_paths,
                                                                    const json::object* package_errors_in,
                                                                    PeerPtr websocket) {
  json::object m;
  m["type"] = "workbook_packages_update";
  m["workbook_id"] = workbook_id;
  m["packages"] = packages && !packages->empty() ? json::value(*packages)
                  : (workbook_packages.contains(workbook_id) ? workbook_packages[workbook_id] : json::array());
  m["python_paths"] = python_paths && !python_paths->empty() ? json::value(*python_paths)
                      : (workbook_python_paths.contains(workbook_id) ? workbook_python_paths[workbook_id] : json::array());
  m["package_errors"] = package_errors_in && !package_errors_in->empty() ? json::value(*package_errors_in)
                        : (package_errors.contains(workbook_id) ? package_errors[workbook_id] : json::object());
  try {
    if (websocket) co_await websocket->send_text(std::make_shared<const std::string>(to_json(m)));
    else co_await broadcast("ide", m);
  } catch (const std::exception& e) {
    log_->error("Error pushing packages and python paths state: {}", e.what());
  }
}

}  // namespace switchyard

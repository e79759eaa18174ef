// STAND-INS until the published-functions and package work land (removed by those merges).
#include "switchyard/packages.hpp"
#include "switchyard/published_functions.hpp"

namespace switchyard {

json::array get_functions_from_addin_message(Server&, const json::object& message) {
  json::array out;
  const json::value* list = message.if_contains("functions");
  if (!list || !list->is_array()) return out;
  for (const auto& item : list->get_array()) {
    if (!item.is_object()) continue;
    const auto& o = item.get_object();
    std::string_view module = o.contains("module") ? get_str(o, "module") : get_str(o, "module_name");
    std::string_view function = o.contains("function") ? get_str(o, "function") : get_str(o, "function_name");
    std::string_view excel = get_str(o, "excel_name");
    if (module.empty() || function.empty() || excel.empty()) continue;
    json::object e;
    e["module_name"] = module;
    e["function_name"] = function;
    e["excel_name"] = excel;
    e["dimension"] = o.contains("dimension") ? o.at("dimension") : json::value("Scalar");
    e["streaming"] = o.contains("streaming") ? o.at("streaming") : json::value(false);
    out.push_back(std::move(e));
  }
  return out;
}

awaitable<void> ConnectionManager::_push_custom_functions_to_addin(std::string workbook_id, const json::array* functions) {
  json::array regs;
  const json::value* stored = published_functions.contains(workbook_id) ? &published_functions[workbook_id] : nullptr;
  const json::array* list = functions && !functions->empty() ? functions
                            : (stored && stored->is_array() ? &stored->get_array() : nullptr);
  if (list)
    for (const auto& item : *list) {
      const auto& o = item.as_object();
      json::object r;
      r["module"] = get_str(o, "module_name");
      r["function"] = get_str(o, "function_name");
      r["excel_name"] = get_str(o, "excel_name");
      r["parameters"] = json::array();
      r["dimension"] = o.contains("dimension") ? o.at("dimension") : json::value("Scalar");
      r["streaming"] = o.contains("streaming") ? o.at("streaming") : json::value(false);
      regs.push_back(std::move(r));
    }
  json::object m;
  m["type"] = "sync_custom_functions";
  m["functions"] = std::move(regs);
  try {
    co_await send_to_addin(workbook_id, m);
  } catch (const std::exception& e) {
    log_->error("Error pushing custom functions to Add-in: {}", e.what());
  }
}

awaitable<void> ConnectionManager::_push_published_functions_state(std::string workbook_id, const json::array* functions,
                                                                    PeerPtr websocket) {
  json::object m;
  m["type"] = "published_functions_state";
  m["workbook_id"] = workbook_id;
  m["functions"] = functions ? json::value(*functions)
                             : (published_functions.contains(workbook_id) ? published_functions[workbook_id] : json::array());
  try {
    if (websocket) co_await websocket->send_text(std::make_shared<const std::string>(to_json(m)));
    else co_await broadcast("ide", m);
  } catch (const std::exception& e) {
    log_->error("Error pushing published functions state: {}", e.what());
  }
}

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

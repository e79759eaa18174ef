#pragma once
// The package side: a workbook's install workflow, the package and path state pushed to the
// editors, and the hand-over of the connection manager, the package manager and the workflow
// to the package handlers.
#include "switchyard/server.hpp"

#include <boost/json/array.hpp>

namespace switchyard {

// Brings the workbook's kernel in line with its package list: removal of marked entries,
// resolution, installs through the cache with retries, paths to the kernel, the list to the
// add-in, progress to every editor. Runs of one workbook never overlap: a run requested while
// one is going waits for it, and requests piling up meanwhile are served by one further run.
// Cancelling the awaiting task kills its installer, puts entries it left in "resolving" or
// "installing" back to "pending" and tells the editors (from a background task).
awaitable<void> handle_workbook_packages_install(Server& server, std::string workbook_id);

// Gives the package handlers the package manager and the install workflow they work through.
void init_handlers(Server& server, corvane::PackageManager& package_manager, InstallWorkflow install);

// The add-in's package answer: its "packages" (object entries only, each set to "pending" in
// place) and its "python_paths"; absent or mistyped members give empty lists.
std::pair<json::array, json::array> get_packages_and_python_paths_from_addin_message(json::object& message);

// ---- helpers of the workflow, shared with the package handlers
// The first entry whose "name" equals `name` case-insensitively, or null.
json::object* _find_package_by_name(json::array& packages, std::string_view name);
// "{name}=={version}" plus "[" + extras sorted by code point, joined with "," + "]" when any.
std::string _get_package_key(std::string_view name, std::string_view version,
                             const std::vector<std::string>& extras = {});
// The workbook's package list, or null when it has none.
json::array* workbook_package_list(Workbook& wb);

// Installs are in progress for the workbook (a run is going or waiting).
bool packages_install_running(Server& server, std::string_view workbook_id);

// The workbook's packages, import paths and package errors ("workbook_packages_update") to
// `websocket`, or to every editor; each argument absent or empty: the stored one.
awaitable<void> _push_packages_and_python_paths(Server& server, std::string workbook_id,
                                                const json::array* packages = nullptr,
                                                const json::array* python_paths = nullptr,
                                                const json::object* package_errors = nullptr,
                                                PeerPtr websocket = nullptr);

}  // namespace switchyard

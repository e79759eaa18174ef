#pragma once
// The package side: the hand-over of the connection manager, the package manager and the
// install workflow to the package handlers.
#include "switchyard/server.hpp"

namespace switchyard {

// Installs a workbook's packages and sends the resulting paths to its kernel.
awaitable<void> handle_workbook_packages_install(Server& server, std::string workbook_id);

// Gives the package handlers what they send and await through.
void init_handlers(Server& server, ConnectionManager& manager, corvane::PackageManager& package_manager,
                   InstallWorkflow install);

}  // namespace switchyard

namespace switchyard {
// STAND-IN until the package work lands.
std::pair<json::array, json::array> get_pacakages_and_python_paths_from_addin_message(json::object& message);
}  // namespace switchyard

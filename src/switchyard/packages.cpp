#include "switchyard/packages.hpp"

namespace switchyard {

awaitable<void> handle_workbook_packages_install(Server& server, std::string workbook_id) {
  // Nothing to install until the package workflow lands; the kernel keeps the paths it has.
  server.logger->debug("Package installation requested for workbook {}", workbook_id);
  co_return;
}

void init_handlers(Server& server, ConnectionManager& manager, corvane::PackageManager& package_manager,
                   InstallWorkflow install) {
  server.package_handlers = PackageHandlerContext{&manager, &package_manager, install};
}

}  // namespace switchyard

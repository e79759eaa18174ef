#include "services/package_manager.hpp"

namespace corvane {

PackageManager::PackageManager(std::string base_dir_text, SettingsManager* settings)
    : settings_manager(settings),
      package_cache(std::filesystem::path(base_dir_text) / "packages"),
      base_dir(std::move(base_dir_text)) {}

}  // namespace corvane

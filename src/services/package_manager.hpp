#pragma once
// Package cache and per-workbook package lists. The package handlers and the install workflow
// build on it.
#include "services/settings.hpp"

#include <filesystem>
#include <string>

namespace corvane {

class PackageManager {
 public:
  PackageManager(std::string base_dir, SettingsManager* settings_manager);

  SettingsManager* settings_manager;
  std::filesystem::path package_cache;
  std::string base_dir;
};

}  // namespace corvane

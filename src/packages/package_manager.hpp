#pragma once
// The package cache: one folder per installed package under <base_dir>/packages/
//
//   <PEP 503 name>/<version>[<sorted extras>]/   what the installer put there, then the marker
//
// A folder with its marker file is cached; anything else is not and is replaced by the next
// install. Installs run the kernels' interpreter's own pip into a temporary folder beside the
// entry, which becomes the entry only when pip succeeded; one install of a given entry runs at a
// time across all workbooks.
#include "services/settings.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boost::asio {
class thread_pool;
}
namespace indexscout {
class Indexscout;
}

namespace corvane {

class ProcessRegistry;

// ---- what peers send: checked before it reaches pip or the file system
// Each returns an empty text when the value is valid, else an error text naming the value.
std::string validate_package_name(std::string_view name);                         // PEP 508 name
std::string validate_package_version(std::string_view name, std::string_view version);  // PEP 440 version
std::string validate_package_extra(std::string_view name, std::string_view extra);      // PEP 508 extra name
std::string validate_package_request(std::string_view name, std::string_view version,
                                     const std::vector<std::string>& extras);
// PEP 503 normalisation ("Foo__Bar.baz" -> "foo-bar-baz").
std::string normalize_package_name(std::string_view name);

// One event of an install: "path", "cached", "stdout", "stderr", "success" or "error".
struct InstallEvent {
  std::string type;
  std::string data;
};

// The pip arguments that select the indexes, from the settings the index client reads:
// --index-url <primary> [--extra-index-url <secondary> ...] --retries <N>.
std::vector<std::string> pip_index_arguments(const SettingsManager* settings);

class PackageManager;

// One install, consumed event by event. Destroying it before its last event (a cancelled
// task) kills the installer and leaves nothing that counts as cached.
class InstallStream {
 public:
  ~InstallStream();
  InstallStream(const InstallStream&) = delete;
  InstallStream& operator=(const InstallStream&) = delete;

  // The next event; nullopt after the last one. Throws operation_aborted when the awaiting task
  // is cancelled.
  boost::asio::awaitable<std::optional<InstallEvent>> next();

  struct Impl;

 private:
  friend class PackageManager;
  explicit InstallStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

class PackageManager {
 public:
  PackageManager(std::string base_dir, SettingsManager* settings_manager);
  ~PackageManager();
  PackageManager(const PackageManager&) = delete;
  PackageManager& operator=(const PackageManager&) = delete;

  SettingsManager* settings_manager;
  std::filesystem::path package_cache;
  std::string base_dir;
  // The kernels' interpreter: pip runs under it so that what it installs imports in the kernels.
  std::string python_executable = "python3";

  static constexpr const char* kMarkerFile = ".corvane-installed";
  // Settings key of the installer's time limit in seconds (default 600).
  static constexpr const char* kTimeLimitKey = "package_management.pip.install_timeout";

  // Installs name[extras]==version into the cache (or finds it there). `env_overrides`, when
  // given, are applied to the server's environment for the installer.
  std::unique_ptr<InstallStream> install_package_to_cache(
      std::string name, std::string version, std::vector<std::string> extras,
      const std::map<std::string, std::string>* env_overrides = nullptr);

  // The cache folder of a package (whether or not it is cached). The arguments must be valid.
  std::filesystem::path entry_path(std::string_view name, std::string_view version,
                                   const std::vector<std::string>& extras) const;
  bool is_cached(const std::filesystem::path& entry) const;

  std::chrono::milliseconds install_time_limit() const;

  // The index client for the editors' package questions (created on first use).
  indexscout::Indexscout& index();
  // A small pool for blocking work (reading the kernels' environment).
  boost::asio::thread_pool& pool();
  ProcessRegistry& processes();

  // Kills every running installer and refuses new ones (the server is stopping).
  void kill_installers();
  bool stopping() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<boost::asio::thread_pool> pool_;
  std::unique_ptr<indexscout::Indexscout> index_;
};

}  // namespace corvane

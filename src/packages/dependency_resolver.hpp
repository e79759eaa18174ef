#pragma once
// Resolution of a workbook's packages as one dependency tree, by pip's own resolver run under
// the kernels' interpreter (`pip install --dry-run --ignore-installed --report`), so that the
// answer is the one pip would install.
#include "packages/package_manager.hpp"

#include <boost/json/value.hpp>

namespace corvane {

struct PackageSpec {
  std::string name;
  std::string version;
  std::vector<std::string> extras;
  // The kernels' environment already satisfies name[extras]==version.
  bool from_dist = false;
};

struct ResolvedPackage {
  PackageSpec spec;
  bool is_direct = false;           // the workbook asked for it
  std::vector<std::string> source;  // the direct packages (as the workbook names them) that pull it in
  bool is_error = false;            // set by the install workflow when it finally failed
};

struct Resolution {
  bool success = false;
  std::vector<std::string> errors;
  std::vector<ResolvedPackage> packages;  // in pip's report order
  std::vector<std::string> conflicts;
};

class DependencyResolver {
 public:
  // Takes the settings store, the package cache, the interpreter and the process registry of
  // the package manager.
  explicit DependencyResolver(PackageManager& package_manager);

  SettingsManager* settings_manager;
  std::filesystem::path package_cache;

  boost::asio::awaitable<Resolution> resolve(std::vector<PackageSpec> specs);

  // Reads pip's installation report: packages in report order, direct ones named as in `specs`,
  // each with the direct packages whose requirements reach it.
  static Resolution read_report(const boost::json::value& report, const std::vector<PackageSpec>& specs);
  // pip's error lines and reported conflicts, from its output lines.
  static void read_failure(const std::vector<std::string>& lines, Resolution& out);

 private:
  PackageManager& package_manager_;
};

}  // namespace corvane

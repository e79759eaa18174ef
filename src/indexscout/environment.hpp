#pragma once
// The local Python environment: what its interpreter reports about itself, and the installed
// distributions found on its import path (read in C++, not through Python).
#include "indexscout/metadata.hpp"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace indexscout::environment {

struct PythonInfo {
  std::vector<std::string> sys_path;             // empty entries already resolved to the working directory
  std::vector<std::string> stdlib_module_names;  // sorted; empty before Python 3.10
  std::string version;                           // sys.version, whole
};

// The interpreter to ask: `explicit_choice` when given, else $CORVANE_PYTHON, else "python3"
// looked up on PATH (the kernels' choice).
std::string python_executable(const std::string& explicit_choice);

// Runs the interpreter once (no shell). Throws std::runtime_error when it cannot be run, fails,
// exceeds `timeout` or prints something unexpected.
PythonInfo query_python(const std::string& python, std::chrono::milliseconds timeout);

struct InstalledDistribution {
  std::filesystem::path path;  // the .dist-info / .egg-info directory or file
  CoreMetadata metadata;
};

// Every *.dist-info and *.egg-info (directory or file) directly inside the import-path
// directories, and EGG-INFO of *.egg directories, in import-path order (entries of one
// directory in name order). Folders that cannot be read are skipped. Metadata comes from
// METADATA, else PKG-INFO, else the file itself.
std::vector<InstalledDistribution> find_distributions(const std::vector<std::string>& sys_path);

}  // namespace indexscout::environment

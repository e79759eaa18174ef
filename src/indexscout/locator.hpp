#pragma once
// Package locator for PEP 503 simple indexes (blocking; run it on a worker thread).
//
// Lists the distribution files of a project (asking for the PEP 691 JSON form and reading the
// HTML form when that is what comes back), picks the best file for a requirement, and reads a
// file's core metadata: from the index's ".metadata" file when the index advertises one,
// otherwise from a wheel's *.dist-info/METADATA.
#include "indexscout/http.hpp"
#include "indexscout/simple_index.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace indexscout {

class LocatorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct LocatorOptions {
  std::chrono::milliseconds page_timeout{10000};       // project pages and .metadata files
  std::chrono::milliseconds download_timeout{120000};  // whole wheels
  std::size_t max_page_bytes = std::size_t(64) << 20;
  std::size_t max_download_bytes = std::size_t(512) << 20;
  std::size_t max_metadata_bytes = std::size_t(16) << 20;
};

// One distribution file of a project.
struct Candidate {
  std::string name;      // the project name as asked for
  std::string version;   // as written in the file name
  std::string filename;
  std::string url;       // the link
  bool wheel = false;
  bool core_metadata = false;
  std::optional<simple::Hash> hash;
  std::optional<simple::Hash> metadata_hash;
};

struct Match {
  std::optional<Candidate> best;
};

class Locator {
 public:
  // `index_urls`: simple-index roots, such as "https://host/simple/".
  explicit Locator(std::vector<std::string> index_urls, LocatorOptions options = {});

  // Every wheel and source archive of the project on the indexes (empty when the project is
  // unknown). Throws LocatorError or http errors when an index cannot be read.
  std::vector<Candidate> get_project(std::string_view name);

  // The best file for a requirement text such as "name==1.0": the newest matching version,
  // a wheel before a source archive, a file with advertised metadata before one without.
  // nullopt when no file matches.
  std::optional<Match> locate(std::string_view requirement);

  // All Requires-Dist values of the candidate's core metadata (empty when it has none);
  // nullopt when the file offers no metadata to read (a source archive without ".metadata").
  std::optional<std::vector<std::string>> get_requires_dist(const Candidate& candidate);

 private:
  http::Session& session();
  std::optional<std::string> read_wheel_metadata(const Candidate& candidate);

  std::vector<std::string> index_urls_;
  LocatorOptions options_;
  std::shared_ptr<http::Session> session_;
};

}  // namespace indexscout

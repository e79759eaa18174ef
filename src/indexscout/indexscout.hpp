#pragma once
// Package-index client.
//
// Answers four questions about Python packages on package indexes (does a project or one of
// its versions exist, which versions does it have, which extras and which dependencies does a
// version declare) and one about the local Python environment (is a requirement already
// satisfied by an installed distribution).
//
// Design:
//  - Multi-index search: the primary index first; only if it gives nothing and
//    "use_secondary_urls" is on, the secondary indexes one by one. The first index that gives
//    a result wins; results of several indexes are never merged.
//  - API first: where the settings give a JSON API URL pattern for an index, use it; otherwise
//    read the index's PEP 503 simple pages through the package locator.
//
// Asynchronous operations run on the caller's executor (an io_context driven by one thread);
// blocking work (HTTP transfers, the locator) runs on a worker pool and resumes on the caller's
// executor. Failed index queries never raise: they log and answer false, none or empty.
// Errors in the settings (an index entry without "url", an API list that is not a list) do.
//
// Not thread-safe: use one instance from one event-loop thread.
#include "indexscout/http.hpp"
#include "indexscout/locator.hpp"
#include "indexscout/metadata.hpp"
#include "indexscout/requirement.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace boost::asio {
class thread_pool;
}
namespace corvane {
class SettingsManager;
}
namespace spdlog {
class logger;
}

namespace indexscout {

template <class T>
using awaitable = boost::asio::awaitable<T>;

// Both facilities are compiled in.
inline constexpr bool PACKAGING_AVAILABLE = true;
inline constexpr bool LOCATOR_AVAILABLE = true;

inline constexpr const char* kLoggerName = "business_layer.packages.indexscout";
// The module logger ("business_layer.packages.indexscout").
const std::shared_ptr<spdlog::logger>& logger();

// A setting of the wrong type.
class TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A required setting member that is missing (an index entry without "url").
class KeyError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

// An installed distribution, or a standard-library module standing in for one.
struct Distribution {
  CoreMetadata metadata;
  bool pseudo = false;  // a standard-library module
};

// Metadata of a standard-library pseudo-distribution: Name and Version only; asking it for
// every Requires-Dist gives an empty list.
CoreMetadata _dummy_metadata(std::string name, std::string version);
Distribution _dummy_dist(std::string name, std::string version);

struct IndexscoutOptions {
  // The local environment's interpreter; empty: $CORVANE_PYTHON, else "python3" on PATH.
  std::string python_executable;
  // Pool for blocking work; null: the client starts a small pool of its own.
  boost::asio::thread_pool* worker_pool = nullptr;
  // Total time allowed for one HTTP request to an index's JSON API. Tests shorten it.
  std::chrono::milliseconds request_timeout{10000};
  // Time allowed for the interpreter to describe the environment.
  std::chrono::milliseconds python_timeout{30000};
  LocatorOptions locator;
};

class Indexscout {
 public:
  using DistributionTable = std::map<std::string, Distribution>;

  // Stores its arguments; performs no I/O. `settings_manager` may be null (defaults are used)
  // and must outlive the client.
  explicit Indexscout(const corvane::SettingsManager* settings_manager, IndexscoutOptions options = {});
  ~Indexscout();
  Indexscout(const Indexscout&) = delete;
  Indexscout& operator=(const Indexscout&) = delete;

  const corvane::SettingsManager* settings_manager;
  // The one HTTP session, created on first use, replaced after close().
  std::shared_ptr<http::Session> _session;
  // (lower-cased package name, version) -> JSON release document of that version.
  std::map<std::pair<std::string, std::string>, boost::json::value> _metadata_cache;
  // Normalised name -> installed distribution; built on first use.
  std::optional<DistributionTable> _distributions_cache;

  // ---- configuration and sessions
  // Throws http::ClientUnavailable when no HTTP client can be made.
  awaitable<std::shared_ptr<http::Session>> _get_session();
  awaitable<void> close();
  static std::string _normalize_name(std::string_view name);
  // {"index_urls", "use_secondary_urls", "retries"}, read fresh from the settings.
  boost::json::object _get_pip_settings() const;
  // The API pattern list; throws TypeError when the setting is not a list.
  boost::json::array _get_pip_api_list() const;
  static std::string _normalize_url(std::string_view url);
  std::optional<std::string> _get_api_pattern_for_index(std::string_view index_url) const;

  // ---- existence
  awaitable<std::optional<std::string>> find_repo_for_package(std::string package_name);
  awaitable<std::optional<std::string>> find_repo_for_package_version(std::string package_name, std::string version);
  awaitable<bool> _package_exists_in_index(std::string package_name, std::string index_url);
  awaitable<bool> _package_version_exists_in_index(std::string package_name, std::string version,
                                                   std::string index_url);
  // Blocking.
  bool _package_version_exists_via_locator(const std::string& package_name, const std::string& version,
                                           const std::string& index_url) const;

  // ---- versions, extras, dependencies
  awaitable<std::vector<std::string>> get_versions(std::string package_name,
                                                   std::optional<std::string> index_url = std::nullopt);
  awaitable<std::vector<std::string>> get_extras(std::string package_name, std::string version,
                                                 std::optional<std::string> index_url = std::nullopt);
  awaitable<std::vector<Dependency>> get_dependencies(std::string package_name, std::string version,
                                                      std::optional<std::string> index_url = std::nullopt);
  awaitable<std::vector<std::string>> _get_versions_from_index(std::string package_name, std::string index_url);
  awaitable<std::set<std::string>> _get_extras_from_index(std::string package_name, std::string version,
                                                          std::string index_url);
  awaitable<std::vector<Dependency>> _get_dependencies_from_index(std::string package_name, std::string version,
                                                                  std::string index_url);
  // Blocking.
  std::vector<std::string> _get_versions_via_locator(const std::string& package_name,
                                                     const std::string& index_url) const;
  std::set<std::string> _get_extras_via_locator(const std::string& package_name, const std::string& version,
                                                const std::string& index_url) const;
  std::vector<Dependency> _get_dependencies_via_locator(const std::string& package_name, const std::string& version,
                                                        const std::string& index_url) const;
  // Logs "Could not parse requirement: ..." when the text has no project name.
  static std::optional<Dependency> _parse_requirement(std::string_view req);

  // ---- installed distributions (synchronous; run the interpreter once per table build)
  const DistributionTable& _get_current_distributions();
  void clear_distributions_cache();
  std::optional<std::string> check_specifier_in_dist(
      std::string_view package_name, std::string_view version_spec,
      const std::optional<std::vector<std::string>>& extras = std::nullopt);

 private:
  struct IndexSelection {
    std::string primary;
    std::vector<std::string> secondaries;
    bool use_secondary_urls = false;
  };
  IndexSelection select_indexes() const;
  boost::json::value setting(std::string_view key, const boost::json::value& default_value) const;
  boost::asio::thread_pool& pool();
  template <class F>
  auto offload(F f) -> awaitable<decltype(f())>;
  awaitable<http::Response> api_get(std::string url, bool status_only);
  template <class Result, class Query>
  awaitable<Result> search(const char* what, std::string package_name, Query query);

  IndexscoutOptions options_;
  std::unique_ptr<boost::asio::thread_pool> own_pool_;
};

}  // namespace indexscout

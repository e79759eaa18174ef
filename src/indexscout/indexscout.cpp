#include "indexscout/indexscout.hpp"
#include "services/platform.hpp"

#include "indexscout/environment.hpp"
#include "indexscout/pep440.hpp"
#include "indexscout/text.hpp"
#include "services/json_truth.hpp"
#include "services/logging.hpp"
#include "services/settings.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/parse.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace indexscout {

namespace asio = boost::asio;
namespace json = boost::json;

namespace {

using corvane::truthy;

constexpr const char* kDefaultIndexUrl = "https://pypi.org/simple/";
constexpr const char* kDefaultApiIndexUrl = "https://pypi.org/simple";
constexpr const char* kDefaultApiPattern = "https://pypi.org/pypi/{package_name}/{version}/json";

json::value default_index_urls() {
  json::object entry;
  entry["url"] = kDefaultIndexUrl;
  entry["primary"] = true;
  return json::array{std::move(entry)};
}

json::value default_api_list() {
  json::object entry;
  entry["index_url"] = kDefaultApiIndexUrl;
  entry["api_pattern"] = kDefaultApiPattern;
  return json::array{std::move(entry)};
}

// The text "/{version}" removed from a pattern (the versions URL has no version).
std::string without_version(const std::string& url) { return text::replace_all(url, "/{version}", ""); }

const json::object& as_object(const json::value& v, const char* what) {
  if (!v.is_object()) throw TypeError(std::string(what) + " is not a JSON object");
  return v.get_object();
}

// `info.requires_dist` of a release document; null and missing count as empty.
std::vector<std::string> requires_dist_of(const json::value& document) {
  const json::object& doc = as_object(document, "the release document");
  std::vector<std::string> out;
  const json::value* info = doc.if_contains("info");
  if (!info) return out;
  const json::value* rd = as_object(*info, "info").if_contains("requires_dist");
  if (!rd || rd->is_null()) return out;
  if (!rd->is_array()) throw TypeError("requires_dist is not a list");
  for (const json::value& item : rd->get_array()) {
    if (!item.is_string()) throw TypeError("requires_dist holds a value that is not text");
    out.emplace_back(item.get_string());
  }
  return out;
}

// Version texts sorted newest first; texts that are not versions are dropped. Stable, so
// texts of one version ("1.0", "1.0.0") keep their order.
std::vector<std::string> sort_versions(const std::vector<std::string>& texts) {
  std::vector<pep440::Version> parsed;
  std::vector<std::size_t> order;  // indexes into texts / parsed
  parsed.reserve(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    pep440::Version v;
    if (pep440::Version::parse(texts[i], v) != pep440::Version::Status::ok) continue;
    parsed.push_back(std::move(v));
    order.push_back(i);
  }
  std::vector<std::size_t> rank(parsed.size());
  for (std::size_t k = 0; k < rank.size(); ++k) rank[k] = k;
  std::stable_sort(rank.begin(), rank.end(), [&](std::size_t a, std::size_t b) { return parsed[a] > parsed[b]; });
  std::vector<std::string> out;
  out.reserve(rank.size());
  for (std::size_t k : rank) out.push_back(texts[order[k]]);
  return out;
}

std::string python_version_text(const std::string& full) {
  std::string_view v = full;
  return std::string(v.substr(0, std::min(v.size(), text::find_space(v))));
}

enum class Query { versions, extras, dependencies };

struct SearchTexts {
  std::string querying_primary, found_primary, no_results_primary, found_secondary, none_found;
  spdlog::level::level_enum none_level;
};

SearchTexts search_texts(Query q, const std::string& name) {
  switch (q) {
    case Query::versions:
      return {"Querying primary index for " + name + " versions", "Found {} versions in primary index",
              "No results in primary, trying {} secondary indexes", "Found {} versions in secondary index",
              "No versions found for " + name + " in any index", spdlog::level::warn};
    case Query::extras:
      return {"Querying primary index for extras: " + name, "Found {} extras in primary index",
              "No extras in primary, trying {} secondary indexes", "Found {} extras in secondary index",
              "No extras found for " + name + " in any index", spdlog::level::info};
    case Query::dependencies:
      break;
  }
  return {"Querying primary index for dependencies: " + name, "Found {} dependencies in primary index",
          "No dependencies in primary, trying {} secondary indexes", "Found {} dependencies in secondary index",
          "No dependencies found for " + name + " in any index", spdlog::level::debug};
}

}  // namespace

const std::shared_ptr<spdlog::logger>& logger() {
  static const std::shared_ptr<spdlog::logger> instance = corvane::logging::get_logger(kLoggerName);
  return instance;
}

CoreMetadata _dummy_metadata(std::string name, std::string version) {
  CoreMetadata md;
  md.add("Name", std::move(name));
  md.add("Version", std::move(version));
  return md;
}

Distribution _dummy_dist(std::string name, std::string version) {
  return Distribution{_dummy_metadata(std::move(name), std::move(version)), true};
}

Indexscout::Indexscout(const corvane::SettingsManager* settings, IndexscoutOptions options)
    : settings_manager(settings), options_(std::move(options)) {}

Indexscout::~Indexscout() = default;

asio::thread_pool& Indexscout::pool() {
  if (options_.worker_pool) return *options_.worker_pool;
  if (!own_pool_) own_pool_ = std::make_unique<asio::thread_pool>(4);
  return *own_pool_;
}

// GCC 12 destroys lambda temporaries that appear inside a co_await expression twice, so every
// lambda handed to offload() is a named object first, and offload() names its own task too.
template <class F>
auto Indexscout::offload(F f) -> awaitable<decltype(f())> {
  using R = decltype(f());
  auto task = [f = std::move(f)]() mutable -> awaitable<R> { co_return f(); };
  R result = co_await asio::co_spawn(pool().get_executor(), std::move(task), asio::use_awaitable);
  co_return result;
}

// ------------------------------------------------------------------------------------------
// Configuration and sessions

json::value Indexscout::setting(std::string_view key, const json::value& default_value) const {
  if (!settings_manager) return default_value;
  return settings_manager->get(key, default_value);
}

awaitable<std::shared_ptr<http::Session>> Indexscout::_get_session() {
  if (!_session || _session->closed()) _session = http::Session::create();
  co_return _session;
}

awaitable<void> Indexscout::close() {
  if (_session && !_session->closed()) _session->close();
  co_return;
}

std::string Indexscout::_normalize_name(std::string_view name) { return text::normalize_name(name); }

std::string Indexscout::_normalize_url(std::string_view url) { return text::normalize_url(url); }

json::object Indexscout::_get_pip_settings() const {
  json::object out;
  out["index_urls"] = setting("package_management.pip.index_urls", default_index_urls());
  out["use_secondary_urls"] = setting("package_management.pip.use_secondary_urls", false);
  out["retries"] = setting("package_management.pip.retries", 3);
  return out;
}

json::array Indexscout::_get_pip_api_list() const {
  json::value v = setting("package_management.pip_api", default_api_list());
  if (!v.is_array()) throw TypeError("package_management.pip_api must be a list");
  return std::move(v.get_array());
}

std::optional<std::string> Indexscout::_get_api_pattern_for_index(std::string_view index_url) const {
  const json::array list = _get_pip_api_list();
  const std::string wanted = _normalize_url(index_url);
  for (const json::value& entry : list) {
    if (!entry.is_object()) throw TypeError("each package_management.pip_api entry must be a mapping");
    const json::object& o = entry.get_object();
    std::string_view url;
    if (const json::value* u = o.if_contains("index_url")) {
      if (!u->is_string()) throw TypeError("index_url of a package_management.pip_api entry must be text");
      url = u->get_string();
    }
    if (_normalize_url(url) != wanted) continue;
    const json::value* pattern = o.if_contains("api_pattern");
    if (!pattern || pattern->is_null()) return std::nullopt;
    if (!pattern->is_string()) throw TypeError("api_pattern must be text or null");
    return std::string(pattern->get_string());
  }
  return std::nullopt;
}

Indexscout::IndexSelection Indexscout::select_indexes() const {
  json::object settings = _get_pip_settings();
  IndexSelection sel;
  const json::value& urls = settings["index_urls"];
  if (!urls.is_array()) throw TypeError("package_management.pip.index_urls must be a list");
  for (const json::value& entry : urls.get_array()) {
    if (!entry.is_object()) throw TypeError("each package_management.pip.index_urls entry must be a mapping");
    const json::object& o = entry.get_object();
    const json::value* url = o.if_contains("url");
    if (!url) throw KeyError("'url'");
    if (!url->is_string()) throw TypeError("the url of an index entry must be text");
    const json::value* primary = o.if_contains("primary");
    if (primary && truthy(*primary)) sel.primary = url->get_string();
    else sel.secondaries.emplace_back(url->get_string());
  }
  sel.use_secondary_urls = truthy(settings["use_secondary_urls"]);
  return sel;
}

awaitable<http::Response> Indexscout::api_get(std::string url, bool status_only) {
  std::shared_ptr<http::Session> session = co_await _get_session();
  http::Request request;
  request.url = std::move(url);
  request.timeout = options_.request_timeout;
  request.status_only = status_only;
  auto fetch = [session, request = std::move(request)] { return session->get(request); };
  http::Response response = co_await offload(std::move(fetch));
  co_return response;
}

// ------------------------------------------------------------------------------------------
// Existence

awaitable<std::optional<std::string>> Indexscout::find_repo_for_package(std::string package_name) {
  IndexSelection sel = select_indexes();
  if (!sel.primary.empty() && co_await _package_exists_in_index(package_name, sel.primary)) co_return sel.primary;
  if (sel.use_secondary_urls) {
    for (const std::string& url : sel.secondaries)
      if (co_await _package_exists_in_index(package_name, url)) co_return url;
  }
  co_return std::nullopt;
}

awaitable<std::optional<std::string>> Indexscout::find_repo_for_package_version(std::string package_name,
                                                                                std::string version) {
  IndexSelection sel = select_indexes();
  if (!sel.primary.empty() && co_await _package_version_exists_in_index(package_name, version, sel.primary))
    co_return sel.primary;
  if (sel.use_secondary_urls) {
    for (const std::string& url : sel.secondaries)
      if (co_await _package_version_exists_in_index(package_name, version, url)) co_return url;
  }
  co_return std::nullopt;
}

awaitable<bool> Indexscout::_package_exists_in_index(std::string package_name, std::string index_url) {
  std::optional<std::string> pattern = _get_api_pattern_for_index(index_url);
  std::string error;
  if (pattern && !pattern->empty()) {
    try {
      std::string api_url = without_version(text::replace_all(*pattern, "{package_name}", package_name));
      http::Response response = co_await api_get(std::move(api_url), true);
      co_return response.status == 200;
    } catch (const std::exception& e) {
      error = e.what();
    }
    logger()->debug("API check failed for {} at {}: {}", package_name, index_url, error);
    co_return false;
  }
  // The locator blocks, so it runs on the worker pool rather than on the caller's loop.
  try {
    auto listing = [package_name, index_url, locator_options = options_.locator] {
      Locator locator({index_url}, locator_options);
      return !locator.get_project(package_name).empty();
    };
    bool found = co_await offload(std::move(listing));
    co_return found;
  } catch (const std::exception& e) {
    error = e.what();
  }
  logger()->debug("Locator check failed for {} at {}: {}", package_name, index_url, error);
  co_return false;
}

awaitable<bool> Indexscout::_package_version_exists_in_index(std::string package_name, std::string version,
                                                             std::string index_url) {
  std::optional<std::string> pattern = _get_api_pattern_for_index(index_url);
  if (pattern && !pattern->empty()) {
    std::string error;
    try {
      std::string api_url = text::replace_all(*pattern, "{package_name}", package_name);
      api_url = text::replace_all(api_url, "{version}", version);
      http::Response response = co_await api_get(std::move(api_url), true);
      co_return response.status == 200;
    } catch (const std::exception& e) {
      error = e.what();
    }
    logger()->debug("API check failed for {}=={} at {}: {}", package_name, version, index_url, error);
    co_return false;
  }
  try {
    auto lookup = [this, package_name, version, index_url] {
      return _package_version_exists_via_locator(package_name, version, index_url);
    };
    bool found = co_await offload(std::move(lookup));
    co_return found;
  } catch (const std::exception&) {
  }
  co_return false;
}

bool Indexscout::_package_version_exists_via_locator(const std::string& package_name, const std::string& version,
                                                     const std::string& index_url) const {
  try {
    Locator locator({index_url}, options_.locator);
    std::optional<Match> match = locator.locate(package_name + "==" + version);
    return match && match->best.has_value();
  } catch (const std::exception&) {
    return false;
  }
}

// ------------------------------------------------------------------------------------------
// Versions, extras, dependencies

template <class Result, class PerIndex>
awaitable<Result> Indexscout::search(const char* what, std::string package_name, PerIndex per_index) {
  const std::string_view kind = what;
  const Query q = kind == "versions" ? Query::versions : kind == "extras" ? Query::extras : Query::dependencies;
  const SearchTexts t = search_texts(q, package_name);
  IndexSelection sel = select_indexes();
  if (!sel.primary.empty()) {
    logger()->info(t.querying_primary);
    Result r = co_await per_index(sel.primary);
    if (!r.empty()) {
      logger()->info(fmt::runtime(t.found_primary), r.size());
      co_return r;
    }
  }
  if (sel.use_secondary_urls && !sel.secondaries.empty()) {
    logger()->info(fmt::runtime(t.no_results_primary), sel.secondaries.size());
    for (const std::string& url : sel.secondaries) {
      logger()->info("Querying secondary index: {}", url);
      Result r = co_await per_index(url);
      if (!r.empty()) {
        logger()->info(fmt::runtime(t.found_secondary), r.size());
        co_return r;
      }
    }
  }
  logger()->log(t.none_level, t.none_found);
  co_return Result{};
}

awaitable<std::vector<std::string>> Indexscout::get_versions(std::string package_name,
                                                             std::optional<std::string> index_url) {
  std::vector<std::string> versions;
  if (index_url && !index_url->empty()) {
    versions = co_await _get_versions_from_index(package_name, *index_url);
  } else {
    auto per_index = [&](const std::string& url) { return _get_versions_from_index(package_name, url); };
    versions = co_await search<std::vector<std::string>>("versions", package_name, std::move(per_index));
  }
  co_return versions;
}

awaitable<std::vector<std::string>> Indexscout::get_extras(std::string package_name, std::string version,
                                                           std::optional<std::string> index_url) {
  std::vector<std::string> extras;
  if (index_url && !index_url->empty()) {
    std::set<std::string> found = co_await _get_extras_from_index(package_name, version, *index_url);
    extras.assign(found.begin(), found.end());  // ascending text order
  } else {
    auto per_index = [&](const std::string& url) -> awaitable<std::vector<std::string>> {
      std::set<std::string> found = co_await _get_extras_from_index(package_name, version, url);
      co_return std::vector<std::string>(found.begin(), found.end());
    };
    extras = co_await search<std::vector<std::string>>("extras", package_name, std::move(per_index));
  }
  co_return extras;
}

awaitable<std::vector<Dependency>> Indexscout::get_dependencies(std::string package_name, std::string version,
                                                                std::optional<std::string> index_url) {
  std::vector<Dependency> deps;
  if (index_url && !index_url->empty()) {
    deps = co_await _get_dependencies_from_index(package_name, version, *index_url);
  } else {
    auto per_index = [&](const std::string& url) { return _get_dependencies_from_index(package_name, version, url); };
    deps = co_await search<std::vector<Dependency>>("dependencies", package_name, std::move(per_index));
  }
  co_return deps;
}

awaitable<std::vector<std::string>> Indexscout::_get_versions_from_index(std::string package_name,
                                                                         std::string index_url) {
  std::optional<std::string> pattern = _get_api_pattern_for_index(index_url);
  if (pattern && !pattern->empty()) {
    std::string error;
    bool timeout = false;
    try {
      std::string api_url = without_version(text::replace_all(*pattern, "{package_name}", package_name));
      http::Response response = co_await api_get(api_url, false);
      if (response.status == 404) {
        logger()->debug("Package {} not found at {}", package_name, index_url);
        co_return std::vector<std::string>{};
      }
      if (response.status != 200) {
        logger()->error("API returned status {} for {}", response.status, api_url);
        co_return std::vector<std::string>{};
      }
      json::value doc = json::parse(response.body);
      const json::object& o = as_object(doc, "the project document");
      std::vector<std::string> texts;
      if (const json::value* releases = o.if_contains("releases")) {
        for (const auto& kv : as_object(*releases, "releases")) texts.emplace_back(kv.key());
      }
      std::vector<std::string> versions = sort_versions(texts);
      logger()->debug("Found {} versions via API for {}", versions.size(), package_name);
      co_return versions;
    } catch (const http::HttpError& e) {
      timeout = e.timeout();
      error = e.what();
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (timeout) logger()->error("Timeout querying {} for {}", index_url, package_name);
    else logger()->error("Failed to query {} for {}: {}", index_url, package_name, error);
    co_return std::vector<std::string>{};
  }
  std::string error;
  try {
    auto lookup = [this, package_name, index_url] { return _get_versions_via_locator(package_name, index_url); };
    std::vector<std::string> versions = co_await offload(std::move(lookup));
    co_return versions;
  } catch (const std::exception& e) {
    error = e.what();
  }
  logger()->error("Locator failed for {} at {}: {}", package_name, index_url, error);
  co_return std::vector<std::string>{};
}

awaitable<std::set<std::string>> Indexscout::_get_extras_from_index(std::string package_name, std::string version,
                                                                    std::string index_url) {
  std::optional<std::string> pattern = _get_api_pattern_for_index(index_url);
  if (pattern && !pattern->empty()) {
    std::string error;
    bool timeout = false;
    try {
      std::string api_url = text::replace_all(text::replace_all(*pattern, "{package_name}", package_name), "{version}",
                                              version);
      http::Response response = co_await api_get(api_url, false);
      if (response.status == 404) {
        logger()->debug("Package {} not found at {}", package_name, index_url);
        co_return std::set<std::string>{};
      }
      if (response.status != 200) {
        logger()->error("API returned status {} for {}", response.status, api_url);
        co_return std::set<std::string>{};
      }
      std::set<std::string> extras = requirement::guarded_extras(requires_dist_of(json::parse(response.body)), false);
      logger()->debug("Found {} extras via API for {}", extras.size(), package_name);
      co_return extras;
    } catch (const http::HttpError& e) {
      timeout = e.timeout();
      error = e.what();
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (timeout) logger()->error("Timeout querying {} for {}", index_url, package_name);
    else logger()->error("Failed to query {} for {}: {}", index_url, package_name, error);
    co_return std::set<std::string>{};
  }
  std::string error;
  try {
    auto lookup = [this, package_name, version, index_url] {
      return _get_extras_via_locator(package_name, version, index_url);
    };
    std::set<std::string> extras = co_await offload(std::move(lookup));
    co_return extras;
  } catch (const std::exception& e) {
    error = e.what();
  }
  logger()->error("Locator failed for extras {}=={}: {}", package_name, version, error);
  co_return std::set<std::string>{};
}

awaitable<std::vector<Dependency>> Indexscout::_get_dependencies_from_index(std::string package_name,
                                                                            std::string version,
                                                                            std::string index_url) {
  const std::pair<std::string, std::string> key{text::ascii_lower(package_name), version};
  std::optional<json::value> document;
  bool cached = false;
  if (auto it = _metadata_cache.find(key); it != _metadata_cache.end()) {
    document = it->second;
    cached = true;
  } else {
    std::optional<std::string> pattern = _get_api_pattern_for_index(index_url);
    if (!pattern || pattern->empty()) {
      std::string error;
      try {
        auto lookup = [this, package_name, version, index_url] {
          return _get_dependencies_via_locator(package_name, version, index_url);
        };
        std::vector<Dependency> deps = co_await offload(std::move(lookup));
        co_return deps;
      } catch (const std::exception& e) {
        error = e.what();
      }
      logger()->error("Locator failed for dependencies {}=={}: {}", package_name, version, error);
      co_return std::vector<Dependency>{};
    }
    std::string error;
    bool timeout = false;
    try {
      std::string api_url = text::replace_all(text::replace_all(*pattern, "{package_name}", package_name), "{version}",
                                              version);
      http::Response response = co_await api_get(api_url, false);
      if (response.status == 404) {
        logger()->debug("Package {} not found at {}", package_name, index_url);
        co_return std::vector<Dependency>{};
      }
      if (response.status != 200) {
        logger()->error("API returned status {} for {}", response.status, api_url);
        co_return std::vector<Dependency>{};
      }
      document = json::parse(response.body);
    } catch (const http::HttpError& e) {
      timeout = e.timeout();
      error = e.what();
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (!document) {
      if (timeout) logger()->error("Timeout querying {} for {}", index_url, package_name);
      else logger()->error("Failed to query {} for {}: {}", index_url, package_name, error);
      co_return std::vector<Dependency>{};
    }
  }

  // A document of the wrong shape is a failed query like any other: logged, answered empty,
  // and not remembered, so that other indexes still get asked.
  std::vector<std::string> requires_dist;
  try {
    requires_dist = requires_dist_of(*document);
  } catch (const std::exception& e) {
    logger()->error("Failed to query {} for {}: {}", index_url, package_name, e.what());
    co_return std::vector<Dependency>{};
  }
  if (!cached) _metadata_cache[key] = std::move(*document);
  std::vector<Dependency> deps;
  if (requires_dist.empty()) co_return deps;
  for (const std::string& req : requires_dist)
    if (auto d = _parse_requirement(req)) deps.push_back(std::move(*d));
  logger()->debug("Found {} dependencies for {}=={}", deps.size(), package_name, version);
  co_return deps;
}

std::vector<std::string> Indexscout::_get_versions_via_locator(const std::string& package_name,
                                                               const std::string& index_url) const {
  try {
    Locator locator({index_url}, options_.locator);
    std::vector<std::string> texts;
    std::set<std::string> seen;
    for (const Candidate& c : locator.get_project(package_name))
      if (seen.insert(c.version).second) texts.push_back(c.version);
    return sort_versions(texts);
  } catch (const std::exception& e) {
    logger()->error("Locator _get_versions failed: {}", e.what());
    return {};
  }
}

std::set<std::string> Indexscout::_get_extras_via_locator(const std::string& package_name, const std::string& version,
                                                          const std::string& index_url) const {
  try {
    Locator locator({index_url}, options_.locator);
    std::optional<Match> match = locator.locate(package_name + "==" + version);
    if (!match || !match->best || match->best->url.empty()) return {};
    std::optional<std::vector<std::string>> requires_dist = locator.get_requires_dist(*match->best);
    if (!requires_dist) return {};
    return requirement::guarded_extras(*requires_dist, false);
  } catch (const std::exception& e) {
    logger()->debug("Locator get_extras failed: {}", e.what());
    return {};
  }
}

std::vector<Dependency> Indexscout::_get_dependencies_via_locator(const std::string& package_name,
                                                                  const std::string& version,
                                                                  const std::string& index_url) const {
  try {
    Locator locator({index_url}, options_.locator);
    std::optional<Match> match = locator.locate(package_name + "==" + version);
    if (!match || !match->best || match->best->url.empty()) return {};
    std::optional<std::vector<std::string>> requires_dist = locator.get_requires_dist(*match->best);
    if (!requires_dist) return {};
    std::vector<Dependency> deps;
    for (const std::string& req : *requires_dist)
      if (auto d = _parse_requirement(req)) deps.push_back(std::move(*d));
    return deps;
  } catch (const std::exception& e) {
    logger()->debug("Locator get_dependencies failed: {}", e.what());
    return {};
  }
}

std::optional<Dependency> Indexscout::_parse_requirement(std::string_view req) {
  std::optional<Dependency> d = requirement::parse(req);
  if (!d) logger()->warn("Could not parse requirement: {}", req);
  return d;
}

// ------------------------------------------------------------------------------------------
// Installed distributions

const Indexscout::DistributionTable& Indexscout::_get_current_distributions() {
  if (_distributions_cache) return *_distributions_cache;
  DistributionTable& table = _distributions_cache.emplace();
  try {
    const std::string python = environment::python_executable(options_.python_executable);
    environment::PythonInfo info = environment::query_python(python, options_.python_timeout);
    for (environment::InstalledDistribution& d : environment::find_distributions(info.sys_path)) {
      std::optional<std::string> name = d.metadata.get("Name");
      if (!name || text::strip(*name).empty()) {
        logger()->debug("Skipping installed distribution without a name: {}", corvane::platform::path_to_utf8(d.path));
        continue;
      }
      // The first one on the import path is the one Python imports.
      table.try_emplace(_normalize_name(*name), Distribution{std::move(d.metadata), false});
    }
    const std::string version = python_version_text(info.version);
    for (const std::string& module : info.stdlib_module_names)
      table.try_emplace(_normalize_name(module), _dummy_dist(module, version));
  } catch (...) {
    // Not knowing what is installed is not the same as nothing being installed: ask again
    // next time.
    _distributions_cache.reset();
    throw;
  }
  return table;
}

void Indexscout::clear_distributions_cache() { _distributions_cache.reset(); }

std::optional<std::string> Indexscout::check_specifier_in_dist(std::string_view package_name,
                                                               std::string_view version_spec,
                                                               const std::optional<std::vector<std::string>>& extras) {
  const DistributionTable& table = _get_current_distributions();
  auto it = table.find(_normalize_name(package_name));
  if (it == table.end()) return std::nullopt;
  const CoreMetadata& metadata = it->second.metadata;
  std::optional<std::string> version = metadata.get("Version");
  if (!version || version->empty()) return std::nullopt;

  if (!text::strip(version_spec).empty()) {
    try {
      pep440::SpecifierSet specifiers(version_spec);
      if (!specifiers.contains(pep440::Version(*version))) return std::nullopt;
    } catch (const std::exception& e) {
      logger()->debug("Error checking version spec for {}: {}", package_name, e.what());
      return std::nullopt;
    }
  }
  if (extras && !extras->empty()) {
    const std::set<std::string> provided = requirement::guarded_extras(metadata.get_all("Requires-Dist"), true);
    for (const std::string& extra : *extras)
      if (!provided.contains(text::ascii_lower(extra))) return std::nullopt;
  }
  return version;
}

}  // namespace indexscout

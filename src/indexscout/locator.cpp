#include "indexscout/locator.hpp"
#include "services/platform.hpp"

#include "indexscout/metadata.hpp"
#include "indexscout/pep440.hpp"
#include "indexscout/requirement.hpp"
#include "indexscout/text.hpp"
#include "indexscout/zip_reader.hpp"


#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace indexscout {
namespace fs = std::filesystem;

namespace {

constexpr const char* kAccept =
    "Accept: application/vnd.pypi.simple.v1+json, application/vnd.pypi.simple.v1+html;q=0.2, text/html;q=0.1";

bool is_json_page(std::string_view content_type) {
  return text::istarts_with_ascii(text::strip(content_type), "application/vnd.pypi.simple.v1+json");
}

void verify(const std::optional<simple::Hash>& expected, const std::string& actual_sha256, const std::string& url) {
  if (!expected || expected->name != "sha256") return;  // other digests are not checked
  if (text::ascii_lower(expected->value) != actual_sha256)
    throw LocatorError("SHA-256 of " + url + " does not match the index");
}

// A name for a temporary file in the system's temporary folder, removed when it goes out of scope.
class TempFile {
 public:
  TempFile() {
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    if (ec) throw LocatorError("cannot find the temporary folder: " + ec.message());
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      fs::path candidate = dir / ("indexscout-wheel-" + std::to_string(random()) + std::to_string(random()));
      if (!fs::exists(candidate, ec)) path_ = std::move(candidate);
    }
    if (path_.empty()) throw LocatorError("cannot create a temporary file in " + corvane::platform::path_to_utf8(dir));
  }
  ~TempFile() {
    std::error_code ec;
    fs::remove(path_, ec);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// "<anything without a slash>.dist-info/METADATA"
bool is_wheel_metadata_entry(std::string_view name) {
  std::size_t slash = name.find('/');
  if (slash == std::string_view::npos || name.substr(slash + 1) != "METADATA") return false;
  std::string_view dir = name.substr(0, slash);
  return dir.size() > 10 && dir.substr(dir.size() - 10) == ".dist-info";
}

}  // namespace

Locator::Locator(std::vector<std::string> index_urls, LocatorOptions options)
    : index_urls_(std::move(index_urls)), options_(options) {}

http::Session& Locator::session() {
  if (!session_) session_ = http::Session::create();
  return *session_;
}

std::vector<Candidate> Locator::get_project(std::string_view name) {
  const std::string normalized = text::normalize_name(name);
  std::vector<Candidate> out;
  for (const std::string& index : index_urls_) {
    http::Request request;
    request.url = text::normalize_url(index) + "/" + normalized + "/";
    request.headers = {kAccept};
    request.timeout = options_.page_timeout;
    request.max_body = options_.max_page_bytes;
    http::Response response = session().get(request);
    if (response.status == 404) continue;
    if (response.status != 200)
      throw LocatorError("index returned status " + std::to_string(response.status) + " for " + request.url);
    std::vector<simple::IndexFile> files = is_json_page(response.content_type)
                                               ? simple::parse_json_page(response.body, response.url)
                                               : simple::parse_html_page(response.body, response.url);
    for (simple::IndexFile& f : files) {
      auto dist = simple::match_distribution(f.filename, normalized);
      if (!dist) continue;
      Candidate c;
      c.name = std::string(name);
      c.version = std::move(dist->version);
      c.filename = std::move(f.filename);
      c.url = std::move(f.url);
      c.wheel = dist->wheel;
      c.core_metadata = f.core_metadata;
      c.hash = std::move(f.hash);
      c.metadata_hash = std::move(f.metadata_hash);
      out.push_back(std::move(c));
    }
  }
  return out;
}

std::optional<Match> Locator::locate(std::string_view requirement_text) {
  auto req = requirement::parse(requirement_text);
  if (!req) throw LocatorError("not a requirement: " + std::string(requirement_text));

  std::optional<pep440::SpecifierSet> specifiers;
  std::string exact;  // "==<text>" that is not a PEP 440 version: compared as text
  try {
    specifiers.emplace(req->version_spec);
  } catch (const pep440::InvalidSpecifier&) {
    std::string_view spec = req->version_spec;
    if (!spec.starts_with("==")) throw;
    exact = text::strip(spec.substr(2));
  }

  std::vector<Candidate> candidates = get_project(req->name);
  const Candidate* best = nullptr;
  std::optional<pep440::Version> best_version;
  auto rank = [](const Candidate& c) { return (c.wheel ? 2 : 0) + (c.core_metadata ? 1 : 0); };
  for (const Candidate& c : candidates) {
    auto v = pep440::Version::parse(c.version);
    bool ok;
    if (specifiers) ok = v && specifiers->contains(*v, specifiers->empty() ? std::optional<bool>(false) : std::nullopt);
    else ok = c.version == exact;
    if (!ok) continue;
    bool better = !best;
    if (best) {
      if (v && best_version && *v != *best_version) better = *v > *best_version;
      else better = rank(c) > rank(*best);
    }
    if (better) {
      best = &c;
      best_version = v;
    }
  }
  if (!best) return std::nullopt;
  return Match{*best};
}

std::optional<std::vector<std::string>> Locator::get_requires_dist(const Candidate& c) {
  std::optional<std::string> metadata;
  if (c.core_metadata) {
    http::Request request;
    request.url = c.url + ".metadata";
    request.timeout = options_.page_timeout;
    request.max_body = options_.max_metadata_bytes;
    http::Response response = session().get(request);
    if (response.status == 200) {
      verify(c.metadata_hash, http::sha256_hex(response.body), request.url);
      metadata = std::move(response.body);
    }
  }
  if (!metadata && c.wheel) metadata = read_wheel_metadata(c);
  if (!metadata) return std::nullopt;
  return CoreMetadata::parse(*metadata).get_all("Requires-Dist");
}

std::optional<std::string> Locator::read_wheel_metadata(const Candidate& c) {
  TempFile file;
  http::Request request;
  request.url = c.url;
  request.timeout = options_.download_timeout;
  request.max_body = options_.max_download_bytes;
  request.sink_file = file.path();
  http::Response response = session().get(request);
  if (response.status != 200)
    throw LocatorError("index returned status " + std::to_string(response.status) + " for " + c.url);
  verify(c.hash, response.body_sha256, c.url);

  std::optional<zip::Reader> archive;
  try {
    archive.emplace(file.path());
  } catch (const zip::Error&) {
    throw LocatorError(c.filename + " is not a readable wheel");
  }
  for (const zip::Entry& entry : archive->entries()) {
    if (!is_wheel_metadata_entry(entry.name)) continue;
    if (entry.size > options_.max_metadata_bytes) throw LocatorError(entry.name + " in " + c.filename + " is too large");
    try {
      return archive->read(entry);
    } catch (const zip::Error&) {
      throw LocatorError("cannot read " + entry.name + " in " + c.filename);
    }
  }
  return std::nullopt;
}

}  // namespace indexscout

#include "services/settings.hpp"

#include "services/logging.hpp"
#include "services/platform.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace corvane {
namespace json = boost::json;
namespace fs = std::filesystem;

namespace {

logging::Logger log() {
  static auto logger = logging::get_logger("business_layer.settings_manager");
  return logger;
}

std::string timestamp_suffix() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm = platform::local_time(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%S", &tm);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char out[48];
  std::snprintf(out, sizeof out, "%s%03lld", buf, static_cast<long long>(ms));
  return out;
}

}  // namespace

SettingsManager::SettingsManager(fs::path base_dir)
    : base_dir_(std::move(base_dir)), file_(base_dir_ / "settings.json") {
  std::lock_guard lock(mutex_);
  reload_if_changed();
}

void SettingsManager::reload_if_changed() const {
  std::error_code ec;
  auto status = fs::status(file_, ec);
  if (ec || !fs::is_regular_file(status)) {
    if (!loaded_) {
      data_ = json::object();
      loaded_ = true;
    }
    return;
  }
  auto mtime = fs::last_write_time(file_, ec);
  auto size = fs::file_size(file_, ec);
  if (loaded_ && mtime == mtime_ && size == size_) return;

  std::ifstream in(file_, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  in.close();  // Windows renames no file that is open
  json::error_code perr;
  json::value parsed = json::parse(text, perr);
  if (perr || !parsed.is_object()) {
    fs::path aside = file_;
    aside += ".corrupt-" + timestamp_suffix();
    std::error_code rec;
    fs::rename(file_, aside, rec);
    // Kept in any case: a copy where the file cannot be moved.
    if (rec) fs::copy_file(file_, aside, rec);
    if (rec)
      log()->error("Settings file {} could not be read and could not be set aside ({})",
                   platform::path_to_utf8(file_), rec.message());
    else
      log()->warn("Settings file {} could not be read ({}); moved aside to {} and starting from defaults",
                   platform::path_to_utf8(file_), perr ? perr.message() : std::string("not a JSON object"),
                platform::path_to_utf8(aside));
    data_ = json::object();
    mtime_ = {};
    size_ = 0;
    loaded_ = true;
    return;
  }
  data_ = std::move(parsed.as_object());
  mtime_ = mtime;
  size_ = size;
  loaded_ = true;
}

const json::value* SettingsManager::find_locked(std::string_view path) const {
  // A literal key wins over the dotted walk, so keys that contain dots stay reachable.
  if (auto it = data_.find(path); it != data_.end()) return &it->value();
  const json::object* current = &data_;
  const json::value* found = nullptr;
  size_t start = 0;
  while (true) {
    size_t dot = path.find('.', start);
    std::string_view part = path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    auto it = current->find(part);
    if (it == current->end()) return nullptr;
    found = &it->value();
    if (dot == std::string_view::npos) return found;
    if (!found->is_object()) return nullptr;
    current = &found->as_object();
    start = dot + 1;
  }
}

json::value SettingsManager::get(std::string_view path) const {
  std::lock_guard lock(mutex_);
  reload_if_changed();
  if (const json::value* v = find_locked(path)) return *v;
  return nullptr;
}

json::value SettingsManager::get(std::string_view key, const json::value& default_value) const {
  std::lock_guard lock(mutex_);
  reload_if_changed();
  if (const json::value* v = find_locked(key)) return *v;
  return default_value;
}

json::object SettingsManager::get_all() const {
  std::lock_guard lock(mutex_);
  reload_if_changed();
  return data_;
}

bool SettingsManager::set(std::string_view path, json::value value) {
  std::lock_guard lock(mutex_);
  reload_if_changed();
  if (data_.contains(path) || path.find('.') == std::string_view::npos) {
    data_[path] = std::move(value);
  } else {
    json::object* current = &data_;
    size_t start = 0;
    while (true) {
      size_t dot = path.find('.', start);
      std::string_view part = path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
      if (dot == std::string_view::npos) {
        (*current)[part] = std::move(value);
        break;
      }
      json::value& next = (*current)[part];
      if (!next.is_object()) next = json::object();
      current = &next.as_object();
      start = dot + 1;
    }
  }
  return write_locked();
}

bool SettingsManager::write_locked() const {
  std::error_code ec;
  fs::create_directories(base_dir_, ec);
  if (auto failure = platform::replace_file(file_, json::serialize(data_))) {
    log()->error("Cannot write settings file {}: {}", platform::path_to_utf8(failure->file), failure->reason);
    return false;
  }
  mtime_ = fs::last_write_time(file_, ec);
  size_ = fs::file_size(file_, ec);
  return true;
}

}  // namespace corvane

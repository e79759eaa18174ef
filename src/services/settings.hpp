#pragma once
// Settings store: one JSON file, <base_dir>/settings.json.
//
// Values are addressed by dotted paths ("package_management.pip.index_urls"). Writes are
// atomic (temporary file, fsync, rename). A file that does not parse is moved aside as
// settings.json.corrupt-<timestamp> and the store starts from its defaults. The file is
// re-read when it changes on disk, so a command-line tool and the server see one store.
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <filesystem>
#include <mutex>
#include <string_view>

namespace corvane {

class SettingsManager {
 public:
  explicit SettingsManager(std::filesystem::path base_dir);

  // The value under `path`, or null when unset.
  boost::json::value get(std::string_view path) const;
  // The value under `key`, or `default_value` when unset.
  boost::json::value get(std::string_view key, const boost::json::value& default_value) const;
  // Stores `value` under `path` (creating intermediate objects) and writes the file.
  // Returns false when the file could not be written; the value is kept in memory either way.
  bool set(std::string_view path, boost::json::value value);
  boost::json::object get_all() const;

  const std::filesystem::path& file() const { return file_; }

 private:
  void reload_if_changed() const;
  bool write_locked() const;
  const boost::json::value* find_locked(std::string_view path) const;

  std::filesystem::path base_dir_;
  std::filesystem::path file_;
  mutable std::mutex mutex_;
  mutable boost::json::object data_;
  mutable std::filesystem::file_time_type mtime_{};
  mutable std::uintmax_t size_ = 0;
  mutable bool loaded_ = false;
};

}  // namespace corvane

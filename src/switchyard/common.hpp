#pragma once
// Names shared by every file of the server logic.
#include "services/logging.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace switchyard {

namespace asio = boost::asio;
namespace json = boost::json;
using asio::awaitable;
using corvane::logging::Logger;

// A serialised frame shared by every peer it is sent to.
using Text = std::shared_ptr<const std::string>;

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

// An insertion-ordered map keyed by text. Replacing a value keeps its position, as a Python
// dict does; the server's listings ("in registry order") rely on that.
template <class V>
class OrderedMap {
 public:
  using Item = std::pair<std::string, V>;

  V* find(std::string_view key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &items_[it->second].second;
  }
  const V* find(std::string_view key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &items_[it->second].second;
  }
  bool contains(std::string_view key) const { return index_.find(key) != index_.end(); }

  V& set(std::string_view key, V value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      items_[it->second].second = std::move(value);
      return items_[it->second].second;
    }
    index_.emplace(std::string(key), items_.size());
    items_.emplace_back(std::string(key), std::move(value));
    return items_.back().second;
  }

  bool erase(std::string_view key) {
    auto it = index_.find(key);
    if (it == index_.end()) return false;
    std::size_t pos = it->second;
    index_.erase(it);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(pos));
    for (std::size_t i = pos; i < items_.size(); ++i) index_[items_[i].first] = i;
    return true;
  }

  void clear() {
    items_.clear();
    index_.clear();
  }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<Item> items_;
  StringMap<std::size_t> index_;
};

// ---- JSON helpers -------------------------------------------------------------------------

// Several members found in one pass over the object: the value of keys[i], or null when absent.
template <std::size_t N>
std::array<const json::value*, N> find_members(const json::object& o, const std::array<std::string_view, N>& keys) {
  std::array<const json::value*, N> found{};
  for (const auto& kv : o) {
    const std::string_view key(kv.key());
    for (std::size_t i = 0; i < N; ++i) {
      if (key == keys[i]) {
        found[i] = &kv.value();
        break;
      }
    }
  }
  return found;
}

// o.get(key, fallback): the member's value, or `fallback` when it is absent.
json::value member_or(const json::object& o, std::string_view key, json::value fallback);
// The texts as a JSON list.
json::array string_array(const std::vector<std::string>& items);
// The member as text when it is a string; otherwise `fallback`.
std::string_view get_str(const json::object& o, std::string_view key, std::string_view fallback = {});
// True when the member is absent, null, or an empty string (Python's "falsy" test for ids).
bool is_missing(const json::object& o, std::string_view key);
// Python's str() of a JSON value, for log texts: None, True, 1.5, 'text' inside containers.
std::string py_str(const json::value& v);
// py_str of a member, "None" when absent.
std::string py_member(const json::object& o, std::string_view key);

// Compact JSON text.
std::string to_json(const json::value& v);
std::string to_json(const json::object& o);
// Append the compact JSON text of a value, an object, or a text as a JSON string, exactly as
// to_json writes it.
void append_json(std::string& out, const json::value& v);
void append_json(std::string& out, const json::object& o);
void append_json_string(std::string& out, std::string_view s);
// Python's json.dumps default text (", " and ": " separators, non-ASCII escaped).
std::string python_json_dumps(const json::value& v);
// Compact JSON text with every non-ASCII character escaped as \uXXXX (surrogate pairs above
// U+FFFF), so that its length in characters equals its length in bytes.
std::string to_ascii_json(const json::value& v);

// Parses one received frame into the storage `out` has. Depth beyond 64 counts as invalid.
// Returns false with `error`.
bool parse_frame(std::string_view text, json::value& out, std::string& error);

// A random version-4 UUID in canonical text form.
std::string new_uuid();

// Seconds since the Unix epoch, with fractions.
double unix_time();

}  // namespace switchyard

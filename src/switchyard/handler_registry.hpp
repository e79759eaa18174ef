#pragma once
// A workbook's event handler bindings: (object id, event name) -> handler entry, in insertion
// order. Replacing the binding of a pair keeps its place, as a Python dict does; the add-in
// configuration built from a registry relies on that order (the first entry of an object id
// decides the object's type).
#include "switchyard/common.hpp"

namespace switchyard {

class HandlerRegistry {
 public:
  struct Item {
    std::string object_id;
    std::string event_name;
    json::object entry;
  };

  json::object* find(std::string_view object_id, std::string_view event_name) {
    auto it = index_.find(key(object_id, event_name));
    return it == index_.end() ? nullptr : &items_[it->second].entry;
  }
  const json::object* find(std::string_view object_id, std::string_view event_name) const {
    auto it = index_.find(key(object_id, event_name));
    return it == index_.end() ? nullptr : &items_[it->second].entry;
  }

  json::object& set(std::string_view object_id, std::string_view event_name, json::object entry) {
    std::string k = key(object_id, event_name);
    auto it = index_.find(k);
    if (it != index_.end()) return items_[it->second].entry = std::move(entry);
    index_.emplace(std::move(k), items_.size());
    items_.push_back(Item{std::string(object_id), std::string(event_name), std::move(entry)});
    return items_.back().entry;
  }

  bool erase(std::string_view object_id, std::string_view event_name) {
    auto it = index_.find(key(object_id, event_name));
    if (it == index_.end()) return false;
    std::size_t pos = it->second;
    index_.erase(it);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(pos));
    for (std::size_t i = pos; i < items_.size(); ++i) index_[key(items_[i].object_id, items_[i].event_name)] = i;
    return true;
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  // Length-prefixed, so that no pair of texts can collide with another.
  static std::string key(std::string_view object_id, std::string_view event_name) {
    std::string k = std::to_string(object_id.size());
    k += ':';
    k += object_id;
    k += event_name;
    return k;
  }

  std::vector<Item> items_;
  StringMap<std::size_t> index_;
};

}  // namespace switchyard

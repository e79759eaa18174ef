#pragma once
// Core metadata files (METADATA, PKG-INFO, the index's ".metadata" files): RFC 822 style
// headers, read the way Python's email parser (compat32 policy) reads them. The body (the long
// description) is ignored.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace indexscout {

class CoreMetadata {
 public:
  static CoreMetadata parse(std::string_view text);

  // The first value of a header (names compare without regard to case).
  std::optional<std::string> get(std::string_view name) const;
  // Every value of a header, in file order; empty when absent.
  std::vector<std::string> get_all(std::string_view name) const;

  void add(std::string name, std::string value) { headers_.emplace_back(std::move(name), std::move(value)); }
  const std::vector<std::pair<std::string, std::string>>& headers() const { return headers_; }

 private:
  std::vector<std::pair<std::string, std::string>> headers_;
};

}  // namespace indexscout

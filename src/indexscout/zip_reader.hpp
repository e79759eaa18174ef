#pragma once
// Reads the entries of a ZIP archive (a wheel): the central directory, ZIP64 included, and the
// contents of stored and deflated entries, each checked against its size and CRC-32. Nothing is
// trusted: every offset and size is checked against the file before it is used.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace indexscout::zip {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Entry {
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;
  std::uint64_t local_header_offset = 0;
};

class Reader {
 public:
  // Throws Error when the file is not a ZIP archive it can read.
  explicit Reader(const std::filesystem::path& path);

  // In the order of the central directory.
  const std::vector<Entry>& entries() const { return entries_; }

  // The entry's contents; throws Error when they cannot be read or do not match the directory.
  std::string read(const Entry& entry);

 private:
  std::string read_at(std::uint64_t offset, std::uint64_t count);
  void read_directory();

  std::ifstream file_;
  std::uint64_t file_size_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace indexscout::zip

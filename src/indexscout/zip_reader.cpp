#include "indexscout/zip_reader.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace indexscout::zip {

namespace {

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kZip64EndOfDirectory = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kDirectoryEntry = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::size_t kEndOfDirectorySize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndOfDirectorySize = 56;
constexpr std::size_t kDirectoryEntrySize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
// A wheel's directory is a few kilobytes; this bounds what a broken or hostile one makes us read.
constexpr std::uint64_t kMaxDirectorySize = 64u << 20;

std::uint16_t u16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t u32(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(u16(b, at)) | static_cast<std::uint32_t>(u16(b, at + 2)) << 16;
}
std::uint64_t u64(const std::string& b, std::size_t at) {
  return static_cast<std::uint64_t>(u32(b, at)) | static_cast<std::uint64_t>(u32(b, at + 4)) << 32;
}

// ZIP64 values stand in the entry's extra field, in this order, for each field that says 0xffffffff.
void apply_zip64_extra(const std::string& extra, Entry& e, bool size_in_extra, bool compressed_in_extra,
                       bool offset_in_extra) {
  for (std::size_t at = 0; at + 4 <= extra.size();) {
    std::uint16_t id = u16(extra, at), length = u16(extra, at + 2);
    if (at + 4 + length > extra.size()) break;
    if (id == 0x0001) {
      std::size_t field = at + 4, end = at + 4 + length;
      auto take = [&](std::uint64_t& out) {
        if (field + 8 > end) throw Error("truncated ZIP64 field of " + e.name);
        out = u64(extra, field);
        field += 8;
      };
      if (size_in_extra) take(e.size);
      if (compressed_in_extra) take(e.compressed_size);
      if (offset_in_extra) take(e.local_header_offset);
      return;
    }
    at += 4 + length;
  }
  if (size_in_extra || compressed_in_extra || offset_in_extra) throw Error("missing ZIP64 field of " + e.name);
}

}  // namespace

Reader::Reader(const std::filesystem::path& path) : file_(path, std::ios::binary) {
  if (!file_) throw Error("cannot open the archive");
  file_.seekg(0, std::ios::end);
  auto end = file_.tellg();
  if (end < 0) throw Error("cannot read the archive");
  file_size_ = static_cast<std::uint64_t>(end);
  read_directory();
}

std::string Reader::read_at(std::uint64_t offset, std::uint64_t count) {
  if (offset > file_size_ || count > file_size_ - offset) throw Error("the archive is truncated");
  std::string out(static_cast<std::size_t>(count), '\0');
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(offset));
  if (count && !file_.read(out.data(), static_cast<std::streamsize>(count))) throw Error("cannot read the archive");
  return out;
}

void Reader::read_directory() {
  // The end record is the last 22 bytes, unless the archive has a comment (up to 64 KiB) after it.
  std::uint64_t tail_size = std::min<std::uint64_t>(file_size_, kEndOfDirectorySize + 0xffff);
  std::uint64_t tail_at = file_size_ - tail_size;
  std::string tail = read_at(tail_at, tail_size);
  if (tail.size() < kEndOfDirectorySize) throw Error("not a ZIP archive");
  std::size_t at = tail.size() - kEndOfDirectorySize;
  while (true) {
    if (u32(tail, at) == kEndOfDirectory && at + kEndOfDirectorySize + u16(tail, at + 20) <= tail.size()) break;
    if (at == 0) throw Error("not a ZIP archive");
    --at;
  }
  const std::uint64_t end_at = tail_at + at;
  std::uint64_t count = u16(tail, at + 10);
  std::uint64_t directory_size = u32(tail, at + 12);
  std::uint64_t directory_at = u32(tail, at + 16);
  if (u16(tail, at + 4) != 0 || u16(tail, at + 6) != 0) throw Error("archives on several disks are not read");

  if (count == 0xffff || directory_size == 0xffffffff || directory_at == 0xffffffff) {
    if (end_at < kZip64LocatorSize) throw Error("missing ZIP64 end record");
    std::string locator = read_at(end_at - kZip64LocatorSize, kZip64LocatorSize);
    if (u32(locator, 0) != kZip64Locator) throw Error("missing ZIP64 end record");
    std::string record = read_at(u64(locator, 8), kZip64EndOfDirectorySize);
    if (u32(record, 0) != kZip64EndOfDirectory) throw Error("bad ZIP64 end record");
    count = u64(record, 32);
    directory_size = u64(record, 40);
    directory_at = u64(record, 48);
  }
  if (directory_size > kMaxDirectorySize) throw Error("the archive's directory is too large");
  if (count > directory_size / kDirectoryEntrySize) throw Error("the archive's directory is truncated");
  const std::string directory = read_at(directory_at, directory_size);

  entries_.reserve(static_cast<std::size_t>(count));
  std::size_t pos = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (pos + kDirectoryEntrySize > directory.size() || u32(directory, pos) != kDirectoryEntry)
      throw Error("the archive's directory is damaged");
    Entry e;
    e.flags = u16(directory, pos + 8);
    e.method = u16(directory, pos + 10);
    e.crc32 = u32(directory, pos + 16);
    e.compressed_size = u32(directory, pos + 20);
    e.size = u32(directory, pos + 24);
    std::size_t name_length = u16(directory, pos + 28);
    std::size_t extra_length = u16(directory, pos + 30);
    std::size_t comment_length = u16(directory, pos + 32);
    e.local_header_offset = u32(directory, pos + 42);
    std::size_t variable = pos + kDirectoryEntrySize;
    if (variable + name_length + extra_length + comment_length > directory.size())
      throw Error("the archive's directory is damaged");
    e.name = directory.substr(variable, name_length);
    apply_zip64_extra(directory.substr(variable + name_length, extra_length), e, e.size == 0xffffffff,
                      e.compressed_size == 0xffffffff, e.local_header_offset == 0xffffffff);
    entries_.push_back(std::move(e));
    pos = variable + name_length + extra_length + comment_length;
  }
}

std::string Reader::read(const Entry& e) {
  if (e.flags & 0x1) throw Error(e.name + " is encrypted");
  if (e.method != 0 && e.method != 8) throw Error(e.name + " uses an unknown compression method");
  if (e.size > std::numeric_limits<std::size_t>::max() / 2) throw Error(e.name + " is too large");
  std::string header = read_at(e.local_header_offset, kLocalHeaderSize);
  if (u32(header, 0) != kLocalHeader) throw Error("bad local header of " + e.name);
  std::uint64_t data_at = e.local_header_offset + kLocalHeaderSize + u16(header, 26) + u16(header, 28);
  std::string data = read_at(data_at, e.compressed_size);

  std::string out;
  if (e.method == 0) {
    if (e.compressed_size != e.size) throw Error(e.name + " has inconsistent sizes");
    out = std::move(data);
  } else {
    out.resize(static_cast<std::size_t>(e.size));
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw Error("cannot start inflating " + e.name);
    // A deflated stream is fed and drained in pieces that fit zlib's 32-bit counters.
    constexpr std::size_t kStep = 1u << 30;
    std::size_t in_done = 0, out_done = 0;
    int status = Z_OK;
    while (status == Z_OK) {
      z.next_in = reinterpret_cast<Bytef*>(data.data() + in_done);
      z.avail_in = static_cast<uInt>(std::min(kStep, data.size() - in_done));
      // One spare byte: data beyond the stated size shows as output that does not fit.
      char spare = 0;
      bool into_spare = out_done == out.size();
      z.next_out = into_spare ? reinterpret_cast<Bytef*>(&spare) : reinterpret_cast<Bytef*>(out.data() + out_done);
      z.avail_out = into_spare ? 1u : static_cast<uInt>(std::min(kStep, out.size() - out_done));
      const uInt in_before = z.avail_in, out_before = z.avail_out;
      status = inflate(&z, Z_NO_FLUSH);
      in_done += in_before - z.avail_in;
      const std::size_t produced = out_before - z.avail_out;
      if (into_spare && produced) status = Z_DATA_ERROR;
      if (!into_spare) out_done += produced;
      if (status == Z_OK && produced == 0 && in_before == z.avail_in) status = Z_BUF_ERROR;  // no progress
    }
    inflateEnd(&z);
    if (status != Z_STREAM_END || out_done != out.size()) throw Error(e.name + " is damaged");
  }
  uLong crc = crc32(0L, Z_NULL, 0);
  for (std::size_t done = 0; done < out.size();) {
    std::size_t piece = std::min<std::size_t>(out.size() - done, 1u << 30);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(out.data() + done), static_cast<uInt>(piece));
    done += piece;
  }
  if (static_cast<std::uint32_t>(crc) != e.crc32) throw Error(e.name + " fails its CRC check");
  return out;
}

}  // namespace indexscout::zip

#include "indexscout/zip_reader.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <random>

namespace {

using indexscout::zip::Error;
using indexscout::zip::Reader;

void put16(std::string& b, std::uint32_t v) {
  b += static_cast<char>(v & 0xff);
  b += static_cast<char>((v >> 8) & 0xff);
}
void put32(std::string& b, std::uint32_t v) {
  put16(b, v & 0xffff);
  put16(b, v >> 16);
}
void put64(std::string& b, std::uint64_t v) {
  put32(b, static_cast<std::uint32_t>(v));
  put32(b, static_cast<std::uint32_t>(v >> 32));
}

std::string raw_deflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Item {
  std::string name, data;
  bool deflated = true;
};

// An archive as the usual tools write it; with zip64, sizes and offsets stand in ZIP64 fields.
std::string build(const std::vector<Item>& items, bool zip64 = false, const std::string& comment = "") {
  std::string out, directory;
  for (const Item& item : items) {
    const std::string stored = item.deflated ? raw_deflate(item.data) : item.data;
    const auto crc = static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(item.data.data()),
                                                      static_cast<uInt>(item.data.size())));
    const std::uint64_t offset = out.size();
    std::string extra;
    if (zip64) {
      put16(extra, 1);
      put16(extra, 24);
      put64(extra, item.data.size());
      put64(extra, stored.size());
      put64(extra, offset);
    }
    const std::uint32_t method = item.deflated ? 8 : 0;
    put32(out, 0x04034b50);
    put16(out, 45);
    put16(out, 0);
    put16(out, method);
    put32(out, 0);
    put32(out, crc);
    put32(out, zip64 ? 0xffffffff : static_cast<std::uint32_t>(stored.size()));
    put32(out, zip64 ? 0xffffffff : static_cast<std::uint32_t>(item.data.size()));
    put16(out, static_cast<std::uint32_t>(item.name.size()));
    put16(out, 0);
    out += item.name + stored;

    put32(directory, 0x02014b50);
    put16(directory, 45);
    put16(directory, 45);
    put16(directory, 0);
    put16(directory, method);
    put32(directory, 0);
    put32(directory, crc);
    put32(directory, zip64 ? 0xffffffff : static_cast<std::uint32_t>(stored.size()));
    put32(directory, zip64 ? 0xffffffff : static_cast<std::uint32_t>(item.data.size()));
    put16(directory, static_cast<std::uint32_t>(item.name.size()));
    put16(directory, static_cast<std::uint32_t>(extra.size()));
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, 0);
    put32(directory, zip64 ? 0xffffffff : static_cast<std::uint32_t>(offset));
    directory += item.name + extra;
  }
  const std::uint64_t directory_at = out.size();
  out += directory;
  if (zip64) {
    const std::uint64_t record_at = out.size();
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, items.size());
    put64(out, items.size());
    put64(out, directory.size());
    put64(out, directory_at);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, record_at);
    put32(out, 1);
  }
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, zip64 ? 0xffff : static_cast<std::uint32_t>(items.size()));
  put16(out, zip64 ? 0xffff : static_cast<std::uint32_t>(items.size()));
  put32(out, zip64 ? 0xffffffff : static_cast<std::uint32_t>(directory.size()));
  put32(out, zip64 ? 0xffffffff : static_cast<std::uint32_t>(directory_at));
  put16(out, static_cast<std::uint32_t>(comment.size()));
  return out + comment;
}

class ZipReader : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary) << bytes;
    return path_;
  }
  // Every entry's contents, or "!" for one that cannot be read.
  std::vector<std::string> contents(const std::string& bytes) {
    Reader reader(write(bytes));
    std::vector<std::string> out;
    for (const auto& entry : reader.entries()) {
      try {
        out.push_back(entry.name + "=" + reader.read(entry));
      } catch (const Error&) {
        out.push_back(entry.name + "=!");
      }
    }
    return out;
  }
  void TearDown() override { std::filesystem::remove(path_); }

  std::filesystem::path path_ = std::filesystem::temp_directory_path() /
                                ("zip-reader-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                 "-" + std::to_string(std::random_device{}()) + ".zip");
};

std::string noise(std::size_t n) {
  std::mt19937 rng(7);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() % 7 ? 'a' + rng() % 3 : rng() & 0xff);
  return s;
}

TEST_F(ZipReader, ReadsStoredDeflatedEmptyLargeAndZip64EntriesInDirectoryOrder) {
  const std::string large = noise(3 << 20);
  const std::vector<Item> items = {{"demo-1.0.dist-info/METADATA", "Metadata-Version: 2.1\nName: demo\n"},
                                   {"empty", "", true},
                                   {"stored.txt", "kept as it is", false},
                                   {"dir/\xc3\xbc.bin", large}};
  const std::vector<std::string> expected = {"demo-1.0.dist-info/METADATA=Metadata-Version: 2.1\nName: demo\n",
                                             "empty=", "stored.txt=kept as it is", "dir/\xc3\xbc.bin=" + large};
  EXPECT_EQ(contents(build(items)), expected);
  EXPECT_EQ(contents(build(items, true)), expected);
  // A comment after the end record, even one that holds the end record's signature.
  EXPECT_EQ(contents(build(items, false, std::string("PK\x05\x06", 4) + std::string(3000, 'c'))), expected);
}

TEST_F(ZipReader, DamageIsAnErrorNeverWrongContents) {
  const std::vector<Item> items = {{"a", noise(50000)}, {"b", "second"}};
  const std::string good = build(items);

  std::string flipped = good;
  flipped[30 + 1 + 200] ^= 0x55;  // inside a's deflated data
  EXPECT_EQ(contents(flipped), (std::vector<std::string>{"a=!", "b=second"}));

  // The directory states a wrong size or CRC, or points past the file.
  const std::size_t entry_a = good.find(std::string("PK\x01\x02", 4));
  for (std::size_t field : {20u, 24u, 16u, 42u}) {
    std::string lie = good;
    lie[entry_a + field + 1] ^= 0x01;
    lie[entry_a + field + 3] ^= 0x40;
    EXPECT_EQ(contents(lie)[0], "a=!") << "field at " << field;
  }
  // Stored data whose sizes disagree is not read either.
  std::string stored = build({{"s", "abc", false}});
  stored[stored.find(std::string("PK\x01\x02", 4)) + 24] = 2;
  EXPECT_EQ(contents(stored), (std::vector<std::string>{"s=!"}));

  // Not an archive, or one cut short: the reader refuses to open it.
  for (const std::string& bad : {std::string(), std::string("just some text"), good.substr(0, good.size() / 2),
                                 good.substr(0, good.size() - 1)}) {
    EXPECT_THROW(Reader{write(bad)}, Error) << bad.size();
  }
  // An entry count beyond what the directory holds.
  std::string count = good;
  count[count.size() - 22 + 10] = 100;
  EXPECT_THROW(Reader{write(count)}, Error);
}

TEST_F(ZipReader, ByteFlipsAnywhereNeverCrash) {
  const std::string good = build({{"a", noise(20000)}, {"b", "x"}, {"c", "y", false}}, true);
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    for (int flips = 1 + static_cast<int>(rng() % 6); flips > 0; --flips)
      bad[rng() % 2 ? rng() % bad.size() : bad.size() - 1 - rng() % 120] = static_cast<char>(rng());
    try {
      contents(bad);
    } catch (const Error&) {
    }
  }
}

}  // namespace

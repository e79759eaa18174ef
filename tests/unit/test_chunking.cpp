#include "support.hpp"

namespace switchyard::testing {
namespace {

class Chunking : public ServerTest {
 protected:
  json::object chunk(std::string_view id, json::value index, json::value total, json::value data) {
    json::object c;
    c["type"] = "chunk";
    c["chunk_id"] = id;
    c["chunk_index"] = index;
    c["total_chunks"] = total;
    if (!data.is_null() || !omit_null) c["data"] = data;
    return c;
  }
  std::optional<json::object> feed(json::object c, std::string_view client = "wb") {
    return server->manager.chunks.handle_chunk(client, c);
  }
  bool buffer_exists(std::string_view client, std::string_view chunk_id) const {
    const auto& buffers = server->manager.chunks.buffers();
    auto it = buffers.find(client);
    return it != buffers.end() && it->second.contains(chunk_id);
  }
  bool omit_null = false;
};

TEST_F(Chunking, OutOfOrderAndRepeatedChunksReassembleOnce) {
  std::string text = R"({"type":"stdout","content":"hello world"})";
  auto a = text.substr(0, 10), b = text.substr(10, 10), c = text.substr(20);
  EXPECT_FALSE(feed(chunk("m1", 2, 3, json::value(c))));
  EXPECT_FALSE(feed(chunk("m1", 0, 3, json::value(a))));
  EXPECT_FALSE(feed(chunk("m1", 0, 3, json::value("garbage"))));  // a repeat: first copy wins
  auto done = feed(chunk("m1", 1, 3, json::value(b)));
  ASSERT_TRUE(done);
  EXPECT_EQ(get_str(*done, "content"), "hello world");
  EXPECT_EQ(server->manager.chunks.buffer_count("wb"), 0u);
}

TEST_F(Chunking, SingleChunkMessageAndMissingDataAsEmptySlice) {
  auto done = feed(chunk("s", 0, 1, json::value(R"({"type":"x"})")));
  ASSERT_TRUE(done);
  omit_null = true;
  EXPECT_FALSE(feed(chunk("e", 0, 2, json::value(nullptr))));  // no "data": empty slice
  auto done2 = feed(chunk("e", 1, 2, json::value(R"({"type":"y"})")));
  ASSERT_TRUE(done2);
  EXPECT_EQ(get_str(*done2, "type"), "y");
}

TEST_F(Chunking, InvalidEnvelopesAreDroppedWithTheirTexts) {
  json::object missing = obj(R"({"type":"chunk","chunk_index":0,"total_chunks":1})");
  EXPECT_FALSE(feed(missing));
  EXPECT_TRUE(has_log(spdlog::level::err, "[BusinessLayer] Invalid chunk message: missing required fields"));
  EXPECT_FALSE(feed(chunk("a", json::value("0"), 1, json::value("x"))));
  EXPECT_TRUE(has_log(spdlog::level::err,
                      "[BusinessLayer] Invalid chunk message: chunk_index and total_chunks must be integers"));
  EXPECT_FALSE(feed(chunk("a", 3, 3, json::value("x"))));
  EXPECT_TRUE(has_log(spdlog::level::err, "[BusinessLayer] Invalid chunk_index 3 for total_chunks 3"));
  EXPECT_FALSE(feed(chunk("a", -1, 3, json::value("x"))));
  EXPECT_TRUE(has_log(spdlog::level::err, "[BusinessLayer] Invalid chunk_index -1 for total_chunks 3"));
  EXPECT_EQ(server->manager.chunks.buffer_count("wb"), 0u);
}

TEST_F(Chunking, NullDataLeavesTheBufferIncomplete) {
  EXPECT_FALSE(feed(chunk("n", 0, 2, json::value(nullptr))));
  EXPECT_FALSE(feed(chunk("n", 1, 2, json::value("{}"))));
  EXPECT_TRUE(has_log(spdlog::level::err, "[BusinessLayer] Incomplete chunk buffer for chunk_id n"));
  EXPECT_EQ(server->manager.chunks.buffer_count("wb"), 0u);
}

TEST_F(Chunking, BadJsonAndNestedChunksAreRejectedAndLeaveNoBuffer) {
  EXPECT_FALSE(feed(chunk("j", 0, 1, json::value("{oops"))));
  EXPECT_TRUE(has_log_containing("Failed to parse reassembled message: "));
  EXPECT_FALSE(feed(chunk("k", 0, 1, json::value(R"({"type":"chunk","chunk_id":"z"})"))));
  EXPECT_TRUE(has_log(spdlog::level::err, "[BusinessLayer] Nested chunk message detected for chunk_id k, rejecting"));
  EXPECT_EQ(server->manager.chunks.buffer_count("wb"), 0u);
}

TEST_F(Chunking, CapsBoundWhatAPeerCanMakeTheServerHold) {
  // A total that would let the message pass 64 MiB.
  EXPECT_FALSE(feed(chunk("big", 0, 1025, json::value("x"))));
  EXPECT_TRUE(has_log_containing("total_chunks 1025 exceeds"));
  // Data that is neither text nor null.
  EXPECT_FALSE(feed(chunk("d", 0, 2, json::value(5))));
  EXPECT_TRUE(has_log(spdlog::level::err, "[BusinessLayer] Invalid chunk message: data must be a string or null"));
  // An index beyond the size the first chunk fixed.
  EXPECT_FALSE(feed(chunk("g", 0, 2, json::value("a"))));
  EXPECT_FALSE(feed(chunk("g", 4, 5, json::value("b"))));
  EXPECT_TRUE(has_log(spdlog::level::err, "[BusinessLayer] Invalid chunk_index 4 for total_chunks 2"));
  EXPECT_EQ(server->manager.chunks.buffer_count("wb"), 1u);
  // At most 1024 incomplete buffers per client: the oldest goes.
  for (int i = 0; i < 1030; ++i) feed(chunk("c" + std::to_string(i), 0, 2, json::value("x")));
  EXPECT_EQ(server->manager.chunks.buffer_count("wb"), 1024u);
  EXPECT_FALSE(buffer_exists("wb", "g"));
  EXPECT_TRUE(buffer_exists("wb", "c1029"));
}

TEST_F(Chunking, AddinAndKernelOfOneWorkbookShareBuffersAndDispatchGoesThroughTheRoutes) {
  auto ide = connect("ide", "main");
  std::string text = R"({"type":"hover_response","value":42})";
  dispatch("addin", "wb", chunk("h", 0, 2, json::value(text.substr(0, 7))));
  dispatch("kernel", "wb", chunk("h", 1, 2, json::value(text.substr(7))));
  // Completed by the kernel's chunk: routed through the kernel table.
  ASSERT_EQ(ide->frames.size(), 1u);
  EXPECT_EQ(get_str(ide->messages()[0], "type"), "hover_response");
}

TEST_F(Chunking, StaleBuffersExpire) {
  feed(chunk("old", 0, 2, json::value("x")));
  // Buffers are swept at most every 5 s, on the way of a chunk, and dropped after 60 s untouched.
  advance(std::chrono::seconds(54), std::chrono::seconds(1));
  feed(chunk("recent", 0, 2, json::value("x")));
  EXPECT_TRUE(buffer_exists("wb", "old"));
  advance(std::chrono::seconds(6), std::chrono::seconds(1));
  feed(chunk("fresh", 0, 2, json::value("x")));
  EXPECT_TRUE(buffer_exists("wb", "recent"));
  EXPECT_FALSE(buffer_exists("wb", "old"));
  EXPECT_TRUE(buffer_exists("wb", "fresh"));
}

TEST_F(Chunking, SendingSplitsAboveTheChunkSizeOnly) {
  auto ide = connect("ide", "main");
  // {"type":"t","d":"..."} has 19 characters around the payload.
  auto message_of = [](std::size_t total) {
    json::object m;
    m["type"] = "t";
    m["d"] = std::string(total - 19, 'a');
    return m;
  };
  run(server->manager.send_message_with_chunking("ide", "main", message_of(65536)));
  ASSERT_EQ(ide->frames.size(), 1u);
  EXPECT_EQ(ide->frames[0].size(), 65536u);
  ide->frames.clear();

  run(server->manager.send_message_with_chunking("ide", "main", message_of(200000)));
  auto chunks = ide->messages();
  ASSERT_EQ(chunks.size(), 4u);
  std::string joined;
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(chunks[i].at("chunk_index").as_int64(), static_cast<std::int64_t>(i));
    EXPECT_EQ(chunks[i].at("total_chunks").as_int64(), 4);
    EXPECT_EQ(get_str(chunks[i], "chunk_id"), get_str(chunks[0], "chunk_id"));
    EXPECT_EQ(get_str(chunks[i], "original_type"), "t");
    joined += get_str(chunks[i], "data");
  }
  EXPECT_EQ(get_str(chunks[3], "data").size(), 3392u);
  EXPECT_EQ(joined.size(), 200000u);
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Chunking large message: type=t, size=200000, chunks=4"));
  // Round trip through reassembly.
  std::optional<json::object> back;
  for (auto& c : chunks) back = server->manager.chunks.handle_chunk("x", c);
  ASSERT_TRUE(back);
  EXPECT_EQ(json::value(*back), json::value(message_of(200000)));
}

TEST_F(Chunking, SplittingCountsEscapedNonAsciiCharacters) {
  auto ide = connect("ide", "main");
  json::object m;
  m["d"] = std::string(65524, ' ') + "\xc3\xa9";  // 65535 bytes as UTF-8, 65538 characters escaped
  run(server->manager.send_message_with_chunking("ide", "main", m));
  auto frames = ide->messages();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(get_str(frames[1], "data").size(), 2u);
  EXPECT_EQ(get_str(frames[0], "original_type"), "unknown");
  run(server->manager.send_message_with_chunking("nobody", "x", m));  // not connected: nothing
}

}  // namespace
}  // namespace switchyard::testing

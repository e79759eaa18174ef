#include "support.hpp"

#include "switchyard/message_arena.hpp"

#include "switchyard/validation.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace switchyard::testing {
namespace {

TEST(ValidateClientId, AcceptsLettersDigitsHyphenUnderscoreUpTo256) {
  EXPECT_TRUE(validate_client_id("Book_1-abc").valid);
  EXPECT_TRUE(validate_client_id(std::string(256, 'a')).valid);
  auto too_long = validate_client_id(std::string(257, 'a'));
  EXPECT_FALSE(too_long.valid);
  EXPECT_EQ(too_long.error, "Client ID too long (max 256 characters)");
  EXPECT_EQ(validate_client_id("").error, "Client ID cannot be empty");
}

TEST(ValidateClientId, RefusesAnythingElseOverTheWholeText) {
  for (std::string bad : {"a b", "a.b", "a/b", "wb\n", "\nwb", "caf\xc3\xa9", "wb\r\n", "a;b"}) {
    auto v = validate_client_id(bad);
    EXPECT_FALSE(v.valid) << bad;
    EXPECT_EQ(v.error, "Client ID contains invalid characters") << bad;
  }
}

TEST(ValidateClientId, CountsCharactersNotBytes) {
  // 200 two-byte characters: 400 bytes but 200 characters, so the pattern decides.
  std::string text;
  for (int i = 0; i < 200; ++i) text += "\xc3\xa9";
  EXPECT_EQ(validate_client_id(text).error, "Client ID contains invalid characters");
}

TEST(ValidatePythonIdentifier, DottedNamesAndTheirFaults) {
  EXPECT_TRUE(validate_python_identifier("pkg.module").valid);
  EXPECT_TRUE(validate_python_identifier("_private").valid);
  EXPECT_TRUE(validate_python_identifier("match").valid);  // soft keyword
  EXPECT_TRUE(validate_python_identifier("none").valid);   // case-sensitive
  EXPECT_EQ(validate_python_identifier("").error, "Name cannot be empty");
  EXPECT_EQ(validate_python_identifier(std::string(257, 'a')).error, "Name too long (max 256 characters)");
  EXPECT_EQ(validate_python_identifier("a..b").error, "Name contains empty parts");
  EXPECT_EQ(validate_python_identifier(".a").error, "Name contains empty parts");
  EXPECT_EQ(validate_python_identifier("a.").error, "Name contains empty parts");
  EXPECT_EQ(validate_python_identifier("mod.1x").error, "Invalid identifier: 1x");
  EXPECT_EQ(validate_python_identifier("my-module").error, "Invalid identifier: my-module");
  EXPECT_EQ(validate_python_identifier("pkg.class").error, "Python keyword not allowed: class");
  EXPECT_EQ(validate_python_identifier("None").error, "Python keyword not allowed: None");
  EXPECT_EQ(validate_python_identifier("name\n").error, "Invalid identifier: name\n");
  EXPECT_EQ(validate_python_identifier("caf\xc3\xa9").error, "Invalid identifier: caf\xc3\xa9");
}

TEST(ComputeCodeHash, IsSha256OfTheExactBytes) {
  EXPECT_EQ(compute_code_hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(compute_code_hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_NE(compute_code_hash("x = 1\n"), compute_code_hash("x = 1\r\n"));
}

class NormalizePaths : public ServerTest {};

TEST_F(NormalizePaths, TakesStringsAndMapsSkipsTheRestWithOneWarning) {
  auto input = json::parse(R"(["/a", {"path": "/b", "relative": true}, {"relative": false}, "", 5])").as_array();
  auto out = normalize_python_paths(input, server->logger);
  EXPECT_EQ(out, (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(count_logs(spdlog::level::warn, "Skipping unknown python_path format: int - 5"), 1u);
}

TEST(Uuid, CanonicalVersion4Text) {
  std::string id = new_uuid();
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(id[8], '-');
  EXPECT_EQ(id[13], '-');
  EXPECT_EQ(id[14], '4');
  EXPECT_TRUE(std::string("89ab").find(id[19]) != std::string::npos);
  EXPECT_NE(new_uuid(), id);
}

TEST(AsciiJson, EscapesNonAsciiIncludingSurrogatePairs) {
  json::value v = json::parse(R"({"k":"caf\u00e9 \ud83d\ude00\n"})");
  EXPECT_EQ(to_ascii_json(v), R"({"k":"caf\u00e9 \ud83d\ude00\n"})");
  EXPECT_EQ(python_json_dumps(json::parse(R"({"a":"b","c":"\u00e9"})")), R"({"a": "b", "c": "\u00e9"})");
}

TEST(AppendJson, WritesExactlyWhatTheSerializerWrites) {
  // Every kind, strings that need escapes and those that do not, doubles, extreme integers,
  // and nesting deeper than what is written without the serializer.
  std::string deep = std::string(40, '[') + R"({"k":[1.5,"x\ty"]})" + std::string(40, ']');
  for (std::string_view text : std::initializer_list<std::string_view>{
           R"({"type":"r","request_id":"id-1","status":"success","result":[1,-2,3.25,1e300,-0.0,null,true,false],"logs":""})",
        R"({"quote\"key":"back\\slash","ctl":"\u0001\b\f\n\r\t\u001f","del":"\u007f","utf8":"caf\u00e9 \ud83d\ude00"})",
        R"([9223372036854775807,-9223372036854775808,18446744073709551615,0,5e-324,123456.789])", R"("")", "{}",
        "[]", std::string_view(deep)}) {
    json::value v;
    std::string error;
    ASSERT_TRUE(parse_frame(text, v, error)) << error;
    std::string out = "prefix";
    append_json(out, v);
    EXPECT_EQ(out, "prefix" + json::serialize(v)) << text;
    if (v.is_object()) {
      std::string object_out;
      append_json(object_out, v.get_object());
      EXPECT_EQ(object_out, json::serialize(v));
    }
    if (v.is_string()) {
      std::string string_out;
      append_json_string(string_out, std::string_view(v.get_string()));
      EXPECT_EQ(string_out, json::serialize(v));
    }
  }
}

TEST(MessageArena, MessageAfterMessageTakesNoMoreThanOneMessageNeeds) {
  // Messages that overflow the arena's own block, one after the other: what it takes for them
  // stays the size of one message, and all of it is given back.
  struct Counting : json::memory_resource {
    void* do_allocate(std::size_t n, std::size_t) override {
      largest = std::max(largest, n);
      ++outstanding;
      return ::operator new(n);
    }
    void do_deallocate(void* p, std::size_t, std::size_t) override {
      --outstanding;
      ::operator delete(p);
    }
    bool do_is_equal(const json::memory_resource& other) const noexcept override { return this == &other; }
    std::size_t largest = 0;
    long outstanding = 0;
  } upstream;
  {
    MessageArena arena{json::storage_ptr(&upstream)};
    const std::string text = R"({"type":"update_module","code":")" + std::string(40000, 'x') + R"("})";
    std::string error;
    for (int i = 0; i < 64; ++i) {
      arena.reset();
      json::value v(arena.storage_for(text.size()));
      ASSERT_TRUE(parse_frame(text, v, error));
      ASSERT_EQ(v.at("code").as_string().size(), 40000u);
    }
    EXPECT_LE(upstream.largest, 128u * 1024);
  }
  EXPECT_EQ(upstream.outstanding, 0);
}

TEST(ParseFrame, RefusesNestingDeeperThan64) {
  json::value v;
  std::string error;
  std::string ok = std::string(64, '[') + std::string(64, ']');
  std::string deep = std::string(65, '[') + std::string(65, ']');
  EXPECT_TRUE(parse_frame(ok, v, error));
  EXPECT_FALSE(parse_frame(deep, v, error));
}

TEST(ParseFrame, ZeroWithAHugeExponentStaysZero) {
  // Boost.JSON 1.81 reads these as NaN, which would leave as the text NaN.
  json::value v;
  std::string error;
  ASSERT_TRUE(parse_frame(R"({"a":0e383,"b":[1,-0.0E+400,{"c":0.000e999}],"d":1e-400,"e":"0e999"})", v, error));
  EXPECT_EQ(to_json(v), R"({"a":0E0,"b":[1,-0E0,{"c":0E0}],"d":0E0,"e":"0e999"})");
  ASSERT_TRUE(parse_frame("0e309", v, error));
  EXPECT_EQ(v, json::value(0.0));
}

TEST(ParseFrame, EveryNumberKeepsTheValueItsTextSpells) {
  // Boost.JSON 1.81 alone reads "9.055385138137417" (the square root of 82 as Python writes
  // it) as 9.055385138137416: a function result would reach the add-in changed.
  json::value v;
  std::string error;
  ASSERT_TRUE(parse_frame(R"({"r":[9.055385138137417,-9.055385138137417e-3,1e23,5e-324,1e400]})", v, error));
  const json::array& r = v.at("r").get_array();
  EXPECT_EQ(r[0].get_double(), 9.055385138137417);
  EXPECT_EQ(r[1].get_double(), -9.055385138137417e-3);
  EXPECT_EQ(r[2].get_double(), 1e23);
  EXPECT_EQ(r[3].get_double(), 5e-324);
  EXPECT_EQ(r[4].get_double(), std::numeric_limits<double>::infinity());  // out of range: as before

  // Doubles from the whole range, written the shortest way (as Python and JavaScript write
  // them) and with 17 significant digits, must all come back bit for bit.
  std::mt19937_64 rng(13);
  std::vector<double> written;
  std::string text = "[";
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    char buf[64];
    char* end = i % 2 ? std::to_chars(buf, buf + sizeof buf, d).ptr
                      : std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 17).ptr;
    if (written.size()) text += ',';
    text.append(buf, end);
    written.push_back(d);
  }
  text += ']';
  ASSERT_TRUE(parse_frame(text, v, error)) << error;
  const json::array& back = v.get_array();
  ASSERT_EQ(back.size(), written.size());
  int wrong = 0;
  for (std::size_t i = 0; i < written.size(); ++i)
    if (back[i].to_number<double>() != written[i] && ++wrong <= 5)
      ADD_FAILURE() << "element " << i << " changed";
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace switchyard::testing

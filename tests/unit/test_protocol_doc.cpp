// docs/protocol.md documents every message the server routes, per peer; this keeps the two in step.
#include "support.hpp"

#include <fstream>
#include <map>
#include <set>

namespace switchyard::testing {
namespace {

// Section titles of the page: the peer they describe, and whether they list what the server routes.
struct Section {
  std::string peer;
  bool routed;
};
const std::map<std::string, Section, std::less<>> kSections = {
    {"Conventions", {"", false}},
    {"From the add-in", {"addin", true}},          {"To the add-in", {"addin", false}},
    {"From the kernel", {"kernel", true}},         {"To the kernel", {"kernel", false}},
    {"From an editor", {"ide", true}},             {"Editor package requests", {"ide", true}},
    {"To the editors", {"ide", false}},
    {"From the inspector", {"inspector", true}},   {"To the inspector", {"inspector", false}},
};

// Message types named by a "### `a`, `b`" heading.
std::vector<std::string> heading_types(std::string_view heading) {
  std::vector<std::string> out;
  std::string current;
  auto flush = [&] {
    if (!current.empty()) out.push_back(current);
    current.clear();
  };
  for (char c : heading) {
    if (c == ',') flush();
    else if (c != '`' && c != '"' && c != ' ') current += c;
  }
  flush();
  return out;
}

bool is_type_name(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

class ProtocolDoc : public ServerTest {};

TEST_F(ProtocolDoc, DocumentsExactlyTheRoutedMessagesOfEveryPeer) {
  std::ifstream in(std::string(SWITCHYARD_SOURCE_DIR) + "/docs/protocol.md");
  ASSERT_TRUE(in) << "docs/protocol.md is missing";
  std::map<std::string, std::set<std::string>> routed_doc, sent_doc;
  const Section* section = nullptr;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.rfind("## ", 0) == 0) {
      auto it = kSections.find(std::string_view(line).substr(3));
      section = it == kSections.end() ? nullptr : &it->second;
      EXPECT_TRUE(section) << "line " << number << ": unknown section '" << line << "'";
    } else if (line.rfind("### ", 0) == 0) {
      if (!section || section->peer.empty()) {
        ADD_FAILURE() << "line " << number << ": message heading outside a peer's section";
        continue;
      }
      auto& documented = (section->routed ? routed_doc : sent_doc)[section->peer];
      for (const auto& type : heading_types(std::string_view(line).substr(4))) {
        EXPECT_TRUE(is_type_name(type)) << "line " << number << ": '" << type << "' is not a message type";
        EXPECT_TRUE(documented.insert(type).second) << "line " << number << ": " << type << " documented twice";
      }
    }
  }
  for (auto type : kClientTypes) {
    std::string peer(type);
    EXPECT_FALSE(sent_doc[peer].empty()) << "nothing documented as sent to " << peer;
    std::set<std::string> routed;
    if (const auto* table = server->MESSAGE_HANDLERS.tables().find(peer))
      for (const auto& [message_type, _] : *table) routed.insert(message_type);
    for (const auto& t : routed)
      EXPECT_TRUE(routed_doc[peer].count(t)) << peer << "/" << t << " is routed but not documented";
    for (const auto& t : routed_doc[peer])
      EXPECT_TRUE(routed.count(t)) << peer << "/" << t << " is documented but not routed";
  }
}

}  // namespace
}  // namespace switchyard::testing

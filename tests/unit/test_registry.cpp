#include "support.hpp"

#include <boost/asio/detached.hpp>

namespace switchyard::testing {
namespace {

class Registry : public ServerTest {};

TEST_F(Registry, ConnectStoresNamesAndArgsOnlyWhenGiven) {
  connect("addin", "wb1", "Book1", obj(R"({"name":"Book1","x":"1"})"));
  connect("addin", "wb2");
  EXPECT_EQ(server->manager.client_name("wb1"), "Book1");
  EXPECT_FALSE(server->manager.client_names.contains("wb2"));
  EXPECT_FALSE(server->manager.client_args.contains("wb2"));
  ASSERT_NE(server->manager.client_arguments("wb1"), nullptr);
  EXPECT_EQ(get_str(*server->manager.client_arguments("wb1"), "x"), "1");
}

TEST_F(Registry, GetConnectionsListsAllFourTypesInRegistryOrder) {
  EXPECT_EQ(json::value(server->get_connections()),
            json::parse(R"({"addin":[],"ide":[],"kernel":[],"inspector":[]})"));
  connect("addin", "b");
  connect("addin", "a");
  connect("addin", "b");  // replacing keeps the position
  connect("ide", "main");
  EXPECT_EQ(json::value(server->get_connections()),
            json::parse(R"({"addin":["b","a"],"ide":["main"],"kernel":[],"inspector":[]})"));
}

TEST_F(Registry, SecondConnectionReplacesFirstWithoutClosingIt) {
  auto first = connect("addin", "wb");
  auto second = connect("addin", "wb");
  EXPECT_EQ(server->manager.get_connection("addin", "wb"), second);
  EXPECT_FALSE(first->closed);
  EXPECT_EQ(server->manager.get_connection("nosuchtype", "wb"), nullptr);
}

TEST_F(Registry, SupersededDisconnectLeavesTheNewerEntryAlone) {
  auto first = connect("addin", "wb", "Old");
  auto second = connect("addin", "wb", "New");
  server->manager.disconnect("addin", "wb", first.get());
  EXPECT_EQ(server->manager.get_connection("addin", "wb"), second);
  EXPECT_EQ(server->manager.client_name("wb"), "New");
  server->manager.disconnect("addin", "wb", second.get());
  EXPECT_EQ(server->manager.get_connection("addin", "wb"), nullptr);
}

TEST_F(Registry, KernelDisconnectDropsKernelReportedStateOnly) {
  connect("addin", "wb", "Book");
  auto kernel = std::make_shared<FakePeer>();
  asio::co_spawn(ioc, websocket_endpoint(*server, kernel, "kernel", "wb", {}), asio::detached);
  settle();
  Workbook& wb = server->workbooks.at("wb");
  wb.win32_tree = json::object();
  wb.win32_definitions = json::object();
  wb.win32_handlers.set("Sheet1", "Change", json::object());
  kernel->push_incoming(std::nullopt);
  settle();
  EXPECT_FALSE(wb.win32_tree);
  EXPECT_FALSE(wb.win32_definitions);
  EXPECT_EQ(wb.win32_handlers.size(), 1u);
  // The add-in's display name belongs to the add-in and survives its kernel.
  auto& m = server->manager;
  EXPECT_EQ(m.client_name("wb"), "Book");
  wb.win32_tree = json::object();
  m.disconnect("addin", "wb");
  EXPECT_TRUE(wb.win32_tree);
  EXPECT_EQ(m.client_name("wb"), "");
}

TEST_F(Registry, SendToMissingPeerIsSilent) {
  run(server->manager.send_to_addin("nobody", obj(R"({"type":"x"})")));
  run(server->manager.send_to_kernel("nobody", obj(R"({"type":"x"})")));
  EXPECT_TRUE(logs->lines().empty() || !has_log_containing("nobody"));
}

TEST_F(Registry, FailedSendReachesTheCaller) {
  auto peer = connect("kernel", "wb");
  peer->fail_sends = true;
  EXPECT_THROW(run(server->manager.send_to_kernel("wb", obj(R"({"type":"x"})"))), PeerClosedError);
}

TEST_F(Registry, BroadcastSurvivesAFailingPeerAndReachesTheOthers) {
  auto a = connect("ide", "a");
  auto b = connect("ide", "b");
  auto c = connect("ide", "c");
  b->fail_sends = true;
  run(server->manager.send_to_ide(obj(R"({"type":"hello","n":1})")));
  ASSERT_EQ(a->frames.size(), 1u);
  ASSERT_EQ(c->frames.size(), 1u);
  EXPECT_EQ(a->frames[0], R"({"type":"hello","n":1})");
  EXPECT_EQ(server->manager.get_connection("ide", "b"), b);  // stays registered
  run(server->manager.broadcast("inspector", obj(R"({"type":"x"})")));
}

TEST_F(Registry, KeysKeepTheirOrderOnTheWire) {
  auto peer = connect("addin", "wb");
  run(server->manager.send_to_addin("wb", obj(R"({"z":1,"type":"t","a":[1,2],"m":{"y":1,"b":2}})")));
  EXPECT_EQ(peer->frames.at(0), R"({"z":1,"type":"t","a":[1,2],"m":{"y":1,"b":2}})");
}

}  // namespace
}  // namespace switchyard::testing

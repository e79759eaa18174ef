#include "transport/peer_owner.hpp"
#include "transport/peer_owner_linux.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>

namespace switchyard::transport {
namespace {

namespace ip = boost::asio::ip;
using tcp = ip::tcp;
using linux_owner::UidLookup;

TEST(PeerOwner, ProcNetTcpTablesAreReadByExactAddressesAndLiveStates) {
  if constexpr (std::endian::native == std::endian::little) {
    EXPECT_EQ(linux_owner::proc_net_tcp_address(ip::make_address("127.0.0.1"), 8000), "0100007F:1F40");
    EXPECT_EQ(linux_owner::proc_net_tcp_address(ip::make_address("::1"), 443), "00000000000000000000000001000000:01BB");
    EXPECT_EQ(linux_owner::proc_net_tcp_address(ip::make_address("::ffff:127.0.0.1"), 1),
              "0000000000000000FFFF00000100007F:0001");
  }
  const std::string peer = linux_owner::proc_net_tcp_address(ip::make_address("127.0.0.1"), 41000);
  const std::string server = linux_owner::proc_net_tcp_address(ip::make_address("127.0.0.1"), 8000);
  const std::string other_peer = linux_owner::proc_net_tcp_address(ip::make_address("127.0.0.1"), 41001);
  auto line = [](int sl, const std::string& local, const std::string& remote, const char* state, const char* uid) {
    return "  " + std::to_string(sl) + ": " + local + " " + remote + " " + state +
           " 00000000:00000000 00:00000000 00000000  " + uid + "        0 4242 1 0000000000000000 20 4 30 10 -1\n";
  };
  const std::string header =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
  const std::string zero = linux_owner::proc_net_tcp_address(ip::make_address("0.0.0.0"), 0);
  std::string table = header + line(0, server, zero, "0A", "0")  // the listener
                      + line(1, server, peer, "01", "0")          // the server's end of the connection
                      + line(2, peer, server, "06", "0")          // an earlier connection's TIME_WAIT remnant
                      + "  3: garbage\n"                          // a line cut short
                      + line(4, other_peer, server, "01", "1000") + line(5, peer, server, "01", "65534");
  // Only the peer's own end counts: not the server's end with the addresses swapped, not the
  // TIME_WAIT remnant (which the kernel lists as uid 0), not a neighbour's connection.
  EXPECT_EQ(linux_owner::uid_in_proc_net_tcp(table, peer, server), 65534u);
  // The kernel writes upper-case hex; lower case matches too.
  std::string lower = peer;
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(linux_owner::uid_in_proc_net_tcp(table, lower, server), 65534u);

  std::string closing = header + line(0, peer, server, "06", "0") + line(1, peer, server, "0C", "0");
  EXPECT_EQ(linux_owner::uid_in_proc_net_tcp(closing, peer, server), std::nullopt);
  std::string bad_uid = header + line(0, peer, server, "01", "12x");
  EXPECT_EQ(linux_owner::uid_in_proc_net_tcp(bad_uid, peer, server), std::nullopt);
  EXPECT_EQ(linux_owner::uid_in_proc_net_tcp("", peer, server), std::nullopt);
}

// Real loopback connections: both lookups name this process's user, for IPv4, IPv6 and IPv4
// mapped into IPv6 by a dual-stack listener; a peer that has gone is unknown, not anybody's.
TEST(PeerOwner, LoopbackPeersOfThisUserAreFoundAndGonePeersAreUnknown) {
  boost::asio::io_context ioc;
  const std::string self = "uid " + std::to_string(::geteuid());
  struct Case {
    const char* listen;
    const char* connect;
  };
  for (Case c : {Case{"127.0.0.1", "127.0.0.1"}, Case{"::1", "::1"}, Case{"::", "127.0.0.1"}}) {
    SCOPED_TRACE(std::string(c.listen) + " <- " + c.connect);
    tcp::acceptor acceptor(ioc, tcp::endpoint(ip::make_address(c.listen), 0));
    tcp::socket client(ioc);
    client.connect(tcp::endpoint(ip::make_address(c.connect), acceptor.local_endpoint().port()));
    tcp::socket accepted = acceptor.accept();
    const auto local = accepted.local_endpoint();
    const auto remote = accepted.remote_endpoint();

    PeerOwner owner = find_peer_owner(local, remote);
    EXPECT_EQ(owner.verdict, PeerOwner::Verdict::same_user) << owner.why;
    EXPECT_EQ(owner.who, self);
    if (std::string(c.listen) != "::") {
      // Each source alone, with the accepted socket's addresses as the peer sees them.
      UidLookup diag = linux_owner::uid_from_sock_diag(remote, local);
      UidLookup proc = linux_owner::uid_from_proc_net_tcp(remote, local);
      EXPECT_EQ(diag.status, UidLookup::Status::found) << diag.detail;
      EXPECT_EQ(diag.uid, ::geteuid());
      EXPECT_EQ(proc.status, UidLookup::Status::found) << proc.detail;
      EXPECT_EQ(proc.uid, ::geteuid());
    }

    // A reset removes the peer's socket at once; its port may not be taken as the server's.
    client.set_option(boost::asio::socket_base::linger(true, 0));
    client.close();
    PeerOwner gone = find_peer_owner(local, remote);
    EXPECT_EQ(gone.verdict, PeerOwner::Verdict::unknown);
    EXPECT_TRUE(gone.who.empty());
    EXPECT_NE(gone.why.find(std::to_string(remote.port())), std::string::npos) << gone.why;
    // Asked about a connection that does not exist, the kernel falls back to a socket listening on
    // the port asked about (here the server's, with the ends swapped): that is no owner either.
    UidLookup listener = linux_owner::uid_from_sock_diag(local, remote);
    EXPECT_EQ(listener.status, UidLookup::Status::not_found) << listener.detail;
  }
}

}  // namespace
}  // namespace switchyard::transport

#pragma once
// The two ways Linux tells who owns a TCP socket, for find_peer_owner, its tests and the bench.
// `socket_end` is the owning socket's own address and port (the server's peer address),
// `far_end` the address and port it is connected to (the server's own); both are IPv4 or both
// IPv6 (find_peer_owner unmaps IPv4-mapped addresses first).
#include <boost/asio/ip/tcp.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace switchyard::transport::linux_owner {

struct UidLookup {
  enum class Status { found, not_found, failed };
  Status status = Status::failed;
  unsigned uid = 0;
  std::string detail;  // why it was not found or failed
};

// Asks the kernel's socket diagnostics (NETLINK_SOCK_DIAG) for exactly this connection.
UidLookup uid_from_sock_diag(const boost::asio::ip::tcp::endpoint& socket_end,
                             const boost::asio::ip::tcp::endpoint& far_end);
// Reads /proc/net/tcp (IPv4) and /proc/net/tcp6 (IPv6, and IPv4 mapped into IPv6).
UidLookup uid_from_proc_net_tcp(const boost::asio::ip::tcp::endpoint& socket_end,
                                const boost::asio::ip::tcp::endpoint& far_end);

// An address and port as /proc/net/tcp* prints them: each 32-bit word of the address in the
// machine's byte order as 8 hex digits, then ":" and the port as 4 hex digits.
std::string proc_net_tcp_address(const boost::asio::ip::address& address, unsigned short port);
// The uid column of the line of a /proc/net/tcp* table whose local address is `socket_end` and
// remote address `far_end` (as proc_net_tcp_address writes them). Lines of sockets whose owner
// the kernel no longer records (TIME_WAIT, pending connection requests) do not count.
std::optional<unsigned> uid_in_proc_net_tcp(std::string_view table, std::string_view socket_end,
                                            std::string_view far_end);

}  // namespace switchyard::transport::linux_owner

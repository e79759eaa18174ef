#pragma once
// Who owns the other end of an accepted connection. Every user's processes on a shared machine
// reach 127.0.0.1, so the listener asks, once per connection and before it reads a request,
// whether the connecting socket belongs to the user the server runs as.
//
// One implementation per platform:
//   peer_owner_linux.cpp    the kernel's socket diagnostics (NETLINK_SOCK_DIAG, looked up by the
//                           connection's exact addresses and ports), else /proc/net/tcp and tcp6;
//   peer_owner_windows.cpp  the TCP table's owning process (GetExtendedTcpTable) and its token's
//                           user SID, compared with the server's.
#include <boost/asio/ip/tcp.hpp>

#include <string>

namespace switchyard::transport {

struct PeerOwner {
  enum class Verdict {
    same_user,   // the server's own user: let in
    other_user,  // somebody else: refused
    unknown,     // no owner found (a closed peer, a peer on another machine, a failed lookup): refused
  };
  Verdict verdict = Verdict::unknown;
  // The owner as the log names it: "uid 1000" on Linux, "SID S-1-5-21-..." on Windows.
  std::string who;
  // Why the owner is unknown.
  std::string why;
};

// `local` and `remote` are the accepted socket's own and peer addresses (IPv4, IPv6, or IPv4
// mapped into IPv6 by a dual-stack listener). Never throws.
PeerOwner find_peer_owner(const boost::asio::ip::tcp::endpoint& local, const boost::asio::ip::tcp::endpoint& remote);

}  // namespace switchyard::transport

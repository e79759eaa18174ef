#include "transport/peer_owner.hpp"
#include "transport/peer_owner_linux.hpp"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace switchyard::transport {

namespace linux_owner {

namespace {

using tcp = boost::asio::ip::tcp;

// TCP states whose owner the kernel does not keep: a TIME_WAIT remnant and a connection request
// not yet accepted report uid 0, which would read as root.
constexpr int kTimeWait = 6;
constexpr int kNewSynRecv = 12;
constexpr int kListen = 10;

// The address as 16 bytes: an IPv4 address in the first 4 (sock_diag's layout for AF_INET), or
// IPv4 mapped into IPv6 when `mapped` is set.
std::array<unsigned char, 16> address_bytes(const boost::asio::ip::address& address, bool mapped) {
  std::array<unsigned char, 16> out{};
  if (address.is_v6()) {
    auto b = address.to_v6().to_bytes();
    std::memcpy(out.data(), b.data(), 16);
  } else if (mapped) {
    auto b = boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, address.to_v4()).to_bytes();
    std::memcpy(out.data(), b.data(), 16);
  } else {
    auto b = address.to_v4().to_bytes();
    std::memcpy(out.data(), b.data(), 4);
  }
  return out;
}

std::string error_text(int error) { return std::strerror(error); }

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::optional<std::string> read_file(const char* path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return std::move(text).str();
}

}  // namespace

UidLookup uid_from_sock_diag(const tcp::endpoint& socket_end, const tcp::endpoint& far_end) {
  using Status = UidLookup::Status;
  const bool v4 = socket_end.address().is_v4();
  if (v4 != far_end.address().is_v4()) return {Status::failed, 0, "the two ends have different address families"};

  Descriptor nl{::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
  if (nl.fd < 0) return {Status::failed, 0, "socket diagnostics unavailable: " + error_text(errno)};

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;  // one socket, found by its exact addresses and ports
  message.header.nlmsg_seq = 1;
  message.request.sdiag_family = v4 ? AF_INET : AF_INET6;
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = htons(socket_end.port());
  message.request.id.idiag_dport = htons(far_end.port());
  auto src = address_bytes(socket_end.address(), false);
  auto dst = address_bytes(far_end.address(), false);
  std::memcpy(message.request.id.idiag_src, src.data(), 16);
  std::memcpy(message.request.id.idiag_dst, dst.data(), 16);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(nl.fd, &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) < 0)
    return {Status::failed, 0, "socket diagnostics request failed: " + error_text(errno)};

  // The kernel answers while handling the request: the answer is queued when sendto returns.
  alignas(nlmsghdr) char buffer[8192];
  ssize_t received = ::recv(nl.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (received < 0) return {Status::failed, 0, "no answer from socket diagnostics: " + error_text(errno)};

  int left = static_cast<int>(received);
  for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
    if (h->nlmsg_seq != message.header.nlmsg_seq) continue;
    if (h->nlmsg_type == NLMSG_ERROR) {
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) break;
      int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
      // ENOENT: no such socket (or, rarely, no TCP handler in the kernel; the caller tries /proc).
      if (error == ENOENT) return {Status::not_found, 0, "no such socket in the kernel's table"};
      return {Status::failed, 0, "socket diagnostics: " + error_text(error)};
    }
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
    const auto* d = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
    // An IPv6 socket connected to an IPv4 address answers an IPv4 question with mapped addresses.
    const bool mapped = v4 && d->idiag_family == AF_INET6;
    auto want_src = address_bytes(socket_end.address(), mapped);
    auto want_dst = address_bytes(far_end.address(), mapped);
    const std::size_t width = (v4 && !mapped) ? 4 : 16;
    if (d->id.idiag_sport != htons(socket_end.port()) || d->id.idiag_dport != htons(far_end.port()) ||
        std::memcmp(d->id.idiag_src, want_src.data(), width) != 0 ||
        std::memcmp(d->id.idiag_dst, want_dst.data(), width) != 0) {
      // Without such a connection the kernel answers with a socket listening on that port, if any.
      if (d->idiag_state == kListen) return {Status::not_found, 0, "no such connection, only a listening socket"};
      return {Status::failed, 0, "socket diagnostics answered about another socket"};
    }
    if (d->idiag_state == kTimeWait || d->idiag_state == kNewSynRecv)
      return {Status::not_found, 0, "the socket is closing (state " + std::to_string(d->idiag_state) + ")"};
    return {Status::found, d->idiag_uid, {}};
  }
  return {Status::failed, 0, "unexpected answer from socket diagnostics"};
}

std::string proc_net_tcp_address(const boost::asio::ip::address& address, unsigned short port) {
  const bool v4 = address.is_v4();
  auto bytes = address_bytes(address, false);
  std::string out;
  char word[16];
  for (std::size_t i = 0; i < (v4 ? 4u : 16u); i += 4) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + i, 4);
    std::snprintf(word, sizeof(word), "%08X", static_cast<unsigned>(value));
    out += word;
  }
  std::snprintf(word, sizeof(word), ":%04X", static_cast<unsigned>(port));
  return out + word;
}

std::optional<unsigned> uid_in_proc_net_tcp(std::string_view table, std::string_view socket_end,
                                            std::string_view far_end) {
  while (!table.empty()) {
    auto eol = table.find('\n');
    std::string_view line = table.substr(0, eol);
    table.remove_prefix(eol == std::string_view::npos ? table.size() : eol + 1);

    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
    std::array<std::string_view, 8> fields;
    std::size_t count = 0;
    while (count < fields.size()) {
      auto start = line.find_first_not_of(" \t");
      if (start == std::string_view::npos) break;
      line.remove_prefix(start);
      auto end = line.find_first_of(" \t");
      fields[count++] = line.substr(0, end);
      line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    }
    if (count < fields.size()) continue;
    if (!iequals(fields[1], socket_end) || !iequals(fields[2], far_end)) continue;
    int state = 0;
    auto st = std::from_chars(fields[3].data(), fields[3].data() + fields[3].size(), state, 16);
    if (st.ec != std::errc() || st.ptr != fields[3].data() + fields[3].size()) continue;
    if (state == kTimeWait || state == kNewSynRecv) continue;
    unsigned uid = 0;
    auto u = std::from_chars(fields[7].data(), fields[7].data() + fields[7].size(), uid, 10);
    if (u.ec != std::errc() || u.ptr != fields[7].data() + fields[7].size()) continue;
    return uid;
  }
  return std::nullopt;
}

UidLookup uid_from_proc_net_tcp(const tcp::endpoint& socket_end, const tcp::endpoint& far_end) {
  using Status = UidLookup::Status;
  namespace ip = boost::asio::ip;
  const bool v4 = socket_end.address().is_v4();
  if (v4 != far_end.address().is_v4()) return {Status::failed, 0, "the two ends have different address families"};
  const char* primary = v4 ? "/proc/net/tcp" : "/proc/net/tcp6";
  auto table = read_file(primary);
  if (!table) return {Status::failed, 0, std::string("cannot read ") + primary};
  auto uid = uid_in_proc_net_tcp(*table, proc_net_tcp_address(socket_end.address(), socket_end.port()),
                                 proc_net_tcp_address(far_end.address(), far_end.port()));
  // An IPv6 socket connected to an IPv4 address is listed in tcp6 with mapped addresses (a
  // machine without IPv6 has no tcp6).
  if (!uid && v4) {
    if (auto table6 = read_file("/proc/net/tcp6"))
      uid = uid_in_proc_net_tcp(
          *table6,
          proc_net_tcp_address(ip::make_address_v6(ip::v4_mapped, socket_end.address().to_v4()), socket_end.port()),
          proc_net_tcp_address(ip::make_address_v6(ip::v4_mapped, far_end.address().to_v4()), far_end.port()));
  }
  if (uid) return {Status::found, *uid, {}};
  return {Status::not_found, 0, std::string("not listed in ") + primary + (v4 ? " or tcp6" : "")};
}

}  // namespace linux_owner

namespace {

// Set once socket diagnostics have found a socket: they work on this kernel.
std::atomic<bool> diagnostics_answer{false};

boost::asio::ip::tcp::endpoint unmapped(const boost::asio::ip::tcp::endpoint& e) {
  namespace ip = boost::asio::ip;
  if (e.address().is_v6() && e.address().to_v6().is_v4_mapped())
    return {ip::make_address_v4(ip::v4_mapped, e.address().to_v6()), e.port()};
  return e;
}

}  // namespace

PeerOwner find_peer_owner(const boost::asio::ip::tcp::endpoint& local, const boost::asio::ip::tcp::endpoint& remote) {
  using linux_owner::UidLookup;
  PeerOwner owner;
  try {
    const auto server_end = unmapped(local);
    const auto peer_end = unmapped(remote);
    UidLookup found = linux_owner::uid_from_sock_diag(peer_end, server_end);
    if (found.status == UidLookup::Status::found) {
      diagnostics_answer.store(true, std::memory_order_relaxed);
    } else if (found.status == UidLookup::Status::failed || !diagnostics_answer.load(std::memory_order_relaxed)) {
      // Diagnostics that fail, or that have never found a socket (a kernel without their TCP
      // part also answers "no such socket"): read /proc, which walks every socket (a millisecond
      // or more), instead.
      UidLookup listed = linux_owner::uid_from_proc_net_tcp(peer_end, server_end);
      if (listed.status == UidLookup::Status::found ||
          (listed.status == UidLookup::Status::not_found && found.status == UidLookup::Status::not_found)) {
        found = listed;
      } else {
        found.status = UidLookup::Status::failed;
        found.detail += "; " + listed.detail;
      }
    }
    if (found.status != UidLookup::Status::found) {
      // Not found: a peer that has gone, or one on another machine.
      owner.why = found.status == UidLookup::Status::not_found
                      ? "no local socket connects from " + peer_end.address().to_string() + " port " +
                            std::to_string(peer_end.port()) + ": " + found.detail
                      : found.detail;
      return owner;
    }
    owner.who = "uid " + std::to_string(found.uid);
    owner.verdict = found.uid == ::geteuid() ? PeerOwner::Verdict::same_user : PeerOwner::Verdict::other_user;
  } catch (const std::exception& e) {
    owner = PeerOwner{};
    owner.why = e.what();
  }
  return owner;
}

}  // namespace switchyard::transport

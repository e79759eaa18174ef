// Windows: the TCP table names the process that owns each connection, and that process's token
// names its user. Not built yet: the Windows build adds this file in place of
// peer_owner_linux.cpp and links iphlpapi and advapi32.
//
// Known limits, to be checked on real Windows:
// - a standard user may not open another user's process token (access denied): such a peer is
//   refused as one whose owner could not be determined, and the log line says so instead of
//   naming the SID;
// - under wine every owning PID in the table is 0 (its peers are often not Windows processes at
//   all), so no owner can be found there: under wine a pid of 0 lets the peer in, anywhere else
//   it refuses it.
#include "transport/peer_owner.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace switchyard::transport {

namespace {

using tcp = boost::asio::ip::tcp;

struct Handle {
  HANDLE h = nullptr;
  ~Handle() {
    if (h) CloseHandle(h);
  }
};

std::string failed(const char* what, DWORD error) { return std::string(what) + " failed (error " + std::to_string(error) + ")"; }

// The owning-process TCP table of one address family; empty (with `why`) when it cannot be read.
std::vector<char> tcp_table(ULONG family, std::string& why) {
  std::vector<char> buffer(16 * 1024);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD rc = GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    if (rc == NO_ERROR) return buffer;
    if (rc != ERROR_INSUFFICIENT_BUFFER) {
      why = failed("GetExtendedTcpTable", rc);
      return {};
    }
    buffer.resize(size + 4096);  // the table may grow between two calls
  }
  why = "the TCP table kept growing while it was read";
  return {};
}

// Ports in the table are in network byte order in the low 16 bits.
bool same_port(DWORD table_port, unsigned short port) { return ntohs(static_cast<u_short>(table_port)) == port; }

std::array<unsigned char, 16> v6_bytes(const boost::asio::ip::address& a) {
  namespace ip = boost::asio::ip;
  return a.is_v6() ? a.to_v6().to_bytes() : ip::make_address_v6(ip::v4_mapped, a.to_v4()).to_bytes();
}

// The PID of the process owning the socket whose own end is `socket_end` and whose far end is
// `far_end`; nullopt (with `why`) when there is no such row.
std::optional<DWORD> owning_pid(const tcp::endpoint& socket_end, const tcp::endpoint& far_end, std::string& why) {
  if (socket_end.address().is_v4()) {
    auto buffer = tcp_table(AF_INET, why);
    if (!buffer.empty()) {
      const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
      const DWORD self = htonl(socket_end.address().to_v4().to_uint());
      const DWORD remote_addr = htonl(far_end.address().to_v4().to_uint());
      for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const auto& row = table->table[i];
        if (row.dwLocalAddr == self && row.dwRemoteAddr == remote_addr && same_port(row.dwLocalPort, socket_end.port()) &&
            same_port(row.dwRemotePort, far_end.port()) && row.dwState != MIB_TCP_STATE_TIME_WAIT)
          return row.dwOwningPid;
      }
    }
  }
  // IPv6, and IPv6 sockets connected to an IPv4 address (listed with mapped addresses).
  auto buffer = tcp_table(AF_INET6, why);
  if (buffer.empty()) return std::nullopt;
  const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
  const auto self = v6_bytes(socket_end.address());
  const auto remote_addr = v6_bytes(far_end.address());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const auto& row = table->table[i];
    if (std::memcmp(row.ucLocalAddr, self.data(), 16) == 0 && std::memcmp(row.ucRemoteAddr, remote_addr.data(), 16) == 0 &&
        same_port(row.dwLocalPort, socket_end.port()) && same_port(row.dwRemotePort, far_end.port()) &&
        row.dwState != MIB_TCP_STATE_TIME_WAIT)
      return row.dwOwningPid;
  }
  if (why.empty()) why = "no local socket connects from " + socket_end.address().to_string() + " port " +
                         std::to_string(socket_end.port());
  return std::nullopt;
}

// The user SID of a process's token (a copy); empty (with `why`) when it cannot be read.
std::vector<char> token_user(HANDLE process, std::string& why) {
  Handle token;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token.h)) {
    why = failed("OpenProcessToken", GetLastError());
    return {};
  }
  DWORD size = 0;
  GetTokenInformation(token.h, TokenUser, nullptr, 0, &size);
  std::vector<char> info(size);
  if (size == 0 || !GetTokenInformation(token.h, TokenUser, info.data(), size, &size)) {
    why = failed("GetTokenInformation", GetLastError());
    return {};
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(info.data());
  DWORD length = GetLengthSid(user->User.Sid);
  std::vector<char> sid(length);
  if (!CopySid(length, sid.data(), user->User.Sid)) {
    why = failed("CopySid", GetLastError());
    return {};
  }
  return sid;
}

std::string sid_text(const std::vector<char>& sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(const_cast<char*>(sid.data()), &text)) return "(unreadable SID)";
  std::string out = text;
  LocalFree(text);
  return out;
}

bool running_under_wine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

tcp::endpoint unmapped(const tcp::endpoint& e) {
  namespace ip = boost::asio::ip;
  if (e.address().is_v6() && e.address().to_v6().is_v4_mapped())
    return {ip::make_address_v4(ip::v4_mapped, e.address().to_v6()), e.port()};
  return e;
}

}  // namespace

PeerOwner find_peer_owner(const tcp::endpoint& local, const tcp::endpoint& remote) {
  PeerOwner owner;
  try {
    auto pid = owning_pid(unmapped(remote), unmapped(local), owner.why);
    if (!pid) return owner;
    if (*pid == 0 && running_under_wine()) {
      owner.who = "a local process (wine does not name socket owners)";
      owner.verdict = PeerOwner::Verdict::same_user;
      return owner;
    }
    if (*pid == 0) {
      owner.why = "the TCP table names no owning process (pid 0)";
      return owner;
    }
    Handle process{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *pid)};
    if (!process.h) {
      owner.why = failed(("OpenProcess of pid " + std::to_string(*pid)).c_str(), GetLastError());
      return owner;
    }
    auto peer = token_user(process.h, owner.why);
    if (peer.empty()) return owner;
    static const std::vector<char> self = [] {
      std::string ignored;
      return token_user(GetCurrentProcess(), ignored);
    }();
    if (self.empty()) {
      owner.why = "the server's own user SID could not be read";
      return owner;
    }
    owner.who = "SID " + sid_text(peer);
    owner.why.clear();
    owner.verdict = EqualSid(const_cast<char*>(peer.data()), const_cast<char*>(self.data()))
                        ? PeerOwner::Verdict::same_user
                        : PeerOwner::Verdict::other_user;
  } catch (const std::exception& e) {
    owner = PeerOwner{};
    owner.why = e.what();
  }
  return owner;
}

}  // namespace switchyard::transport

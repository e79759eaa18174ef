// What finding the owner of an accepted connection costs: the lookup the listener makes once per
// connection (socket diagnostics), and the /proc/net/tcp reading it falls back to, with a given
// number of other loopback connections open (the /proc tables list every socket).
//
//   peer_owner_bench [--open N]... [--lookups M]     (default: --open 1 --open 100 --open 1000, M 20000)
#include "transport/peer_owner.hpp"
#include "transport/peer_owner_linux.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace ip = boost::asio::ip;
using tcp = ip::tcp;
using namespace switchyard::transport;

namespace {

struct Pair {
  tcp::socket client;
  tcp::socket accepted;
};

// Microseconds per call of `lookup` over `count` calls, cycling through the connections.
double per_call_us(const std::vector<Pair>& pairs, int count, const std::function<bool(const Pair&)>& lookup) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i)
    if (!lookup(pairs[static_cast<std::size_t>(i) % pairs.size()])) {
      std::fprintf(stderr, "a lookup did not find this process's own connection\n");
      std::exit(1);
    }
  std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / count;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> open_counts;
  int lookups = 20000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--open" && i + 1 < argc) open_counts.push_back(std::atoi(argv[++i]));
    else if (a == "--lookups" && i + 1 < argc) lookups = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: peer_owner_bench [--open N]... [--lookups M]\n");
      return 2;
    }
  }
  if (open_counts.empty()) open_counts = {1, 100, 1000};
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }

  boost::asio::io_context ioc;
  tcp::acceptor acceptor(ioc, tcp::endpoint(ip::make_address("127.0.0.1"), 0));
  const auto uid = ::geteuid();
  std::printf("| loopback connections open | find_peer_owner | socket diagnostics alone | /proc/net/tcp alone |\n");
  std::printf("|---|---|---|---|\n");
  for (int open : open_counts) {
    std::vector<Pair> pairs;
    pairs.reserve(static_cast<std::size_t>(open));
    for (int i = 0; i < open; ++i) {
      tcp::socket client(ioc);
      client.connect(acceptor.local_endpoint());
      pairs.push_back({std::move(client), acceptor.accept()});
    }
    double owner = per_call_us(pairs, lookups, [&](const Pair& p) {
      return find_peer_owner(p.accepted.local_endpoint(), p.accepted.remote_endpoint()).verdict ==
             PeerOwner::Verdict::same_user;
    });
    double diag = per_call_us(pairs, lookups, [&](const Pair& p) {
      auto r = linux_owner::uid_from_sock_diag(p.accepted.remote_endpoint(), p.accepted.local_endpoint());
      return r.status == linux_owner::UidLookup::Status::found && r.uid == uid;
    });
    double proc = per_call_us(pairs, std::max(1, std::min(lookups, 200000 / (open + 100))), [&](const Pair& p) {
      auto r = linux_owner::uid_from_proc_net_tcp(p.accepted.remote_endpoint(), p.accepted.local_endpoint());
      return r.status == linux_owner::UidLookup::Status::found && r.uid == uid;
    });
    std::printf("| %d | %.1f µs | %.1f µs | %.1f µs |\n", open, owner, diag, proc);
  }
  return 0;
}

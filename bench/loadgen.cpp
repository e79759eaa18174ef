// Load tool for the main path: plays W add-ins and their W kernels over real loopback sockets.
//
// Each add-in keeps C function calls in flight; each kernel answers every custom_function_call at
// once with an execution_result; K modules of S bytes are cached for every workbook, so every
// call goes through the incremental code push. The server is started by the tool so that its
// CPU time and peak memory can be read from /proc.
//
//   loadgen --server build/switchyard [--workbooks W] [--inflight C] [--modules K] [--module-size S]
//           [--seconds D] [--warmup D]
//
// The tool is single-threaded over epoll and writes everything it has queued for a socket with
// one send after each round of reads, so that it stays cheap next to the server it measures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string server = "build/switchyard";
  int workbooks = 4;
  int inflight = 64;
  int modules = 10;
  int module_size = 20000;
  double seconds = 5.0;
  double warmup = 1.0;
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "loadgen: %s\n", what.c_str());
  std::exit(1);
}

// ---- WebSocket client framing (masking key 0: the XOR is a no-op) ----------------------------

void append_client_frame(std::string& out, std::string_view payload) {
  out += static_cast<char>(0x81);
  std::size_t n = payload.size();
  if (n < 126) {
    out += static_cast<char>(0x80 | n);
  } else if (n <= 0xFFFF) {
    out += static_cast<char>(0x80 | 126);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xFF);
  } else {
    out += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; --i) out += static_cast<char>((static_cast<std::uint64_t>(n) >> (8 * i)) & 0xFF);
  }
  out.append(4, '\0');
  out.append(payload);
}

struct Peer {
  int fd = -1;
  bool is_kernel = false;
  int workbook = 0;
  std::string in;
  std::size_t in_pos = 0;
  std::string out;
};

void write_all_blocking(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        usleep(100);
        continue;
      }
      die(std::string("send: ") + std::strerror(errno));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

int open_ws(int port, const std::string& path) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("connect failed");
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string request = "GET " + path +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  write_all_blocking(fd, request);
  std::string response;
  char c;
  while (response.find("\r\n\r\n") == std::string::npos) {
    if (::recv(fd, &c, 1, 0) != 1) die("handshake failed");
    response += c;
  }
  if (response.rfind("HTTP/1.1 101", 0) != 0) die("handshake refused: " + response);
  return fd;
}

// Next complete server frame's payload from the peer's input, or false.
bool next_frame(Peer& p, std::string_view& payload) {
  std::size_t avail = p.in.size() - p.in_pos;
  if (avail < 2) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(p.in.data() + p.in_pos);
  std::uint64_t len = b[1] & 0x7F;
  std::size_t header = 2;
  if (len == 126) {
    if (avail < 4) return false;
    len = (std::uint64_t{b[2]} << 8) | b[3];
    header = 4;
  } else if (len == 127) {
    if (avail < 10) return false;
    len = 0;
    for (int i = 0; i < 8; ++i) len = (len << 8) | b[2 + i];
    header = 10;
  }
  if (avail < header + len) return false;
  payload = std::string_view(p.in.data() + p.in_pos + header, static_cast<std::size_t>(len));
  p.in_pos += header + static_cast<std::size_t>(len);
  return true;
}

// Blocking read of one frame (set-up phase only).
std::string read_frame_blocking(Peer& p) {
  std::string_view payload;
  while (!next_frame(p, payload)) {
    char buf[65536];
    ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
    if (n <= 0) die("connection closed during set-up");
    p.in.append(buf, static_cast<std::size_t>(n));
  }
  return std::string(payload);
}

// Every `"request_id":"..."` value in a frame, in order.
template <class F>
void for_each_request_id(std::string_view frame, F&& f) {
  static constexpr std::string_view key = "\"request_id\":\"";
  std::size_t pos = 0;
  while ((pos = frame.find(key, pos)) != std::string_view::npos) {
    pos += key.size();
    std::size_t end = frame.find('"', pos);
    if (end == std::string_view::npos) return;
    f(frame.substr(pos, end - pos));
    pos = end;
  }
}

std::string json_escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

struct ProcStat {
  double cpu_seconds = 0;
};

double process_cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  auto close = text.rfind(')');
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  std::vector<std::string> f;
  while (fields >> field) f.push_back(field);
  // After the command: state(0) ... utime is field 14 of the whole line, index 11 here.
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::stod(f[11]) + std::stod(f[12])) / ticks;
}

long peak_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

double self_cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--server") o.server = next();
    else if (a == "--workbooks") o.workbooks = std::stoi(next());
    else if (a == "--inflight") o.inflight = std::stoi(next());
    else if (a == "--modules") o.modules = std::stoi(next());
    else if (a == "--module-size") o.module_size = std::stoi(next());
    else if (a == "--seconds") o.seconds = std::stod(next());
    else if (a == "--warmup") o.warmup = std::stod(next());
    else die("unknown argument " + a);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);

  // ---- start the server
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) die("pipe");
  char home_template[] = "/tmp/loadgen-home-XXXXXX";
  std::string home = ::mkdtemp(home_template);
  pid_t server = ::fork();
  if (server == 0) {
    ::dup2(out_pipe[1], 1);
    ::close(out_pipe[0]);
    ::setenv("HOME", home.c_str(), 1);
    ::execl(opt.server.c_str(), opt.server.c_str(), "--port", "0", "--no-inspector", "--log-level", getenv("LOADGEN_SERVER_LOG_LEVEL") ? getenv("LOADGEN_SERVER_LOG_LEVEL") : "warning",
            "--python", "/bin/false", static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(out_pipe[1]);
  std::string line;
  char c;
  while (::read(out_pipe[0], &c, 1) == 1 && c != '\n') line += c;
  auto colon = line.rfind(':');
  if (line.find("listening on") == std::string::npos || colon == std::string::npos) die("server did not start");
  int port = std::stoi(line.substr(colon + 1));

  // ---- connect kernels, add-ins and one editor that loads the modules
  std::vector<Peer> peers;
  peers.reserve(2 * opt.workbooks + 1);
  for (int w = 0; w < opt.workbooks; ++w) {
    Peer k;
    k.fd = open_ws(port, "/ws/kernel/wb" + std::to_string(w));
    k.is_kernel = true;
    k.workbook = w;
    read_frame_blocking(k);  // ping
    peers.push_back(std::move(k));
  }
  for (int w = 0; w < opt.workbooks; ++w) {
    Peer a;
    a.fd = open_ws(port, "/ws/addin/wb" + std::to_string(w));
    a.workbook = w;
    read_frame_blocking(a);
    peers.push_back(std::move(a));
  }
  Peer ide;
  ide.fd = open_ws(port, "/ws/ide/loadgen");
  read_frame_blocking(ide);
  std::string body(static_cast<std::size_t>(opt.module_size), 'x');
  for (int i = 0; i < opt.module_size; i += 64) body[static_cast<std::size_t>(i)] = '\n';
  for (int w = 0; w < opt.workbooks; ++w) {
    for (int m = 0; m < opt.modules; ++m) {
      std::string code = "def f(*args):\n    return sum(args)\n# " + std::to_string(m) + "\n" + body;
      std::string msg = R"({"type":"update_module","workbook_id":"wb)" + std::to_string(w) +
                        R"(","module_name":"mod)" + std::to_string(m) + R"(","code":")" + json_escape(code) + "\"}";
      std::string frame;
      append_client_frame(frame, msg);
      write_all_blocking(ide.fd, frame);
    }
  }

  int ep = ::epoll_create1(0);
  for (std::size_t i = 0; i < peers.size(); ++i) {
    ::fcntl(peers[i].fd, F_SETFL, O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, peers[i].fd, &ev);
  }
  ::fcntl(ide.fd, F_SETFL, O_NONBLOCK);
  epoll_event ide_ev{};
  ide_ev.events = EPOLLIN;
  ide_ev.data.u64 = peers.size();
  ::epoll_ctl(ep, EPOLL_CTL_ADD, ide.fd, &ide_ev);

  // ---- the run
  std::uint64_t next_id = 0;
  std::vector<Clock::time_point> sent_at;
  sent_at.reserve(1 << 22);
  auto make_call = [&](Peer& addin) {
    std::uint64_t id = next_id++;
    if (sent_at.size() <= id) sent_at.resize(id + 1);
    sent_at[id] = Clock::now();
    char buf[200];
    int n = std::snprintf(buf, sizeof buf,
                          R"({"type":"function_execution","request_id":"%llu","module_name":"mod0","function_name":"f","args":[1,2,3]})",
                          static_cast<unsigned long long>(id));
    append_client_frame(addin.out, std::string_view(buf, static_cast<std::size_t>(n)));
  };
  for (auto& p : peers)
    if (!p.is_kernel)
      for (int i = 0; i < opt.inflight; ++i) make_call(p);

  const auto start = Clock::now();
  const auto measure_from = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.warmup));
  const auto measure_to =
      measure_from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.seconds));
  bool measuring = false;
  double server_cpu0 = 0, self_cpu0 = 0;
  std::uint64_t completed = 0, frames_to_addins = 0;
  std::vector<double> latencies;
  latencies.reserve(1 << 21);

  auto flush = [&](Peer& p) {
    while (!p.out.empty()) {
      ssize_t n = ::send(p.fd, p.out.data(), p.out.size(), MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return;  // the rest goes after the next round
        die(std::string("send: ") + std::strerror(errno));
      }
      p.out.erase(0, static_cast<std::size_t>(n));
    }
  };

  epoll_event events[64];
  char buf[1 << 16];
  while (true) {
    auto now = Clock::now();
    if (!measuring && now >= measure_from) {
      measuring = true;
      server_cpu0 = process_cpu_seconds(server);
      self_cpu0 = self_cpu_seconds();
    }
    if (now >= measure_to) break;
    int n = ::epoll_wait(ep, events, 64, 10);
    for (int e = 0; e < n; ++e) {
      std::size_t index = events[e].data.u64;
      Peer& p = index < peers.size() ? peers[index] : ide;
      while (true) {
        ssize_t r = ::recv(p.fd, buf, sizeof buf, 0);
        if (r > 0) {
          p.in.append(buf, static_cast<std::size_t>(r));
          if (static_cast<std::size_t>(r) < sizeof buf) break;
          continue;
        }
        if (r == 0) die("server closed a connection");
        if (errno == EAGAIN || errno == EINTR) break;
        die(std::string("recv: ") + std::strerror(errno));
      }
      std::string_view frame;
      while (next_frame(p, frame)) {
        if (&p == &ide) continue;
        if (p.is_kernel) {
          if (frame.find("\"custom_function_call\"") == std::string_view::npos) continue;  // module pushes
          for_each_request_id(frame, [&](std::string_view id) {
            std::string reply = R"({"type":"execution_result","request_id":")" + std::string(id) +
                                R"(","result":6,"logs":""})";
            append_client_frame(p.out, reply);
          });
        } else {
          if (frame.find("save_module_request") != std::string_view::npos) {
            for_each_request_id(frame, [&](std::string_view id) {
              append_client_frame(p.out, R"({"type":"save_module_response","request_id":")" + std::string(id) +
                                             R"(","success":true})");
            });
            continue;
          }
          if (measuring) ++frames_to_addins;
          auto t = Clock::now();
          for_each_request_id(frame, [&](std::string_view id) {
            std::uint64_t rid = std::strtoull(std::string(id).c_str(), nullptr, 10);
            if (measuring && t < measure_to && sent_at[rid] >= measure_from) {
              ++completed;
              latencies.push_back(std::chrono::duration<double, std::milli>(t - sent_at[rid]).count());
            }
            make_call(p);
          });
        }
      }
      if (p.in_pos == p.in.size()) {
        p.in.clear();
        p.in_pos = 0;
      } else if (p.in_pos > (1u << 20)) {
        p.in.erase(0, p.in_pos);
        p.in_pos = 0;
      }
    }
    for (auto& p : peers) flush(p);
    flush(ide);
  }
  double server_cpu = process_cpu_seconds(server) - server_cpu0;
  double self_cpu = self_cpu_seconds() - self_cpu0;
  long rss = peak_rss_kib(server);

  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  std::string cleanup = "rm -rf " + home;
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", home.c_str());

  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double q) {
    if (latencies.empty()) return 0.0;
    return latencies[std::min(latencies.size() - 1, static_cast<std::size_t>(q * latencies.size()))];
  };
  double calls_per_s = completed / opt.seconds;
  std::printf("workbooks=%d inflight=%d modules=%d module_size=%d seconds=%.1f\n", opt.workbooks, opt.inflight,
              opt.modules, opt.module_size, opt.seconds);
  std::printf("calls/s            %.0f\n", calls_per_s);
  std::printf("latency ms         p50 %.3f  p99 %.3f  max %.3f\n", pct(0.50), pct(0.99),
              latencies.empty() ? 0.0 : latencies.back());
  std::printf("server CPU/call    %.2f us  (%.1f%% of one core)\n", completed ? server_cpu / completed * 1e6 : 0.0,
              server_cpu / opt.seconds * 100);
  std::printf("server peak RSS    %.1f MiB\n", rss / 1024.0);
  std::printf("frames to add-ins  %llu  (%.1f results per frame)\n", static_cast<unsigned long long>(frames_to_addins),
              frames_to_addins ? static_cast<double>(completed) / frames_to_addins : 0.0);
  std::printf("load tool CPU/call %.2f us  (%.1f%% of one core)\n", completed ? self_cpu / completed * 1e6 : 0.0,
              self_cpu / opt.seconds * 100);
  return 0;
}

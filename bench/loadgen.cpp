// Load tool for the main path, over real loopback sockets against a server it starts itself (so
// that the server's CPU time and peak memory can be read from /proc).
//
// Steady load: plays W add-ins and their W kernels. Each add-in answers the server's
// connection-time questions (its K modules of S bytes, no functions, packages or events), then
// keeps C function calls in flight; each kernel answers every custom_function_call at once with an
// execution_result. Every call goes through the code-sync check; the first one of a workbook pushes
// its modules.
//
//   loadgen --server build/switchyard [--workbooks W] [--inflight C] [--modules K] [--module-size S]
//           [--seconds D] [--warmup D]
//
// The table: 1 x 1, 4 x 64, 16 x 64 and 50 x 64 (workbooks x calls in flight), one fresh server
// per row. With --server given more than once the rows of every binary are measured in turn, in
// the same run; --repeat N keeps, per row and binary, the run with the median CPU per call.
//
//   loadgen --table --server A [--server B] [--repeat N] [--seconds D] [--warmup D]
//
// A recalculation: one add-in whose kernel is the real kernel program (started by the server with
// --python), N calls of `add(1, 2)` sent at once, every answer awaited and checked; prints the time,
// the CPU per call of the server, of the kernel program and of this tool, and the peak RSS of the
// server and of the kernel. --recalc-print makes the function print a line, which comes back as
// the result's logs. With --server given more than once each binary is measured in turn, in the
// same run; --repeat N keeps, per binary, the run with the median kernel CPU per call.
//
//   loadgen --recalc N --server build/switchyard [--server B] [--recalc-print] [--repeat N]
//           [--python /usr/bin/python3] [--timeout S]
//
// The tool is single-threaded over epoll and writes everything it has queued for a socket with
// one send after each round of reads, so that it stays cheap next to the server it measures.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
  std::vector<std::string> servers;
  int workbooks = 4;
  int inflight = 64;
  int modules = 10;
  int module_size = 20000;
  double seconds = 5.0;
  double warmup = 1.0;
  bool table = false;
  int repeat = 1;
  long recalc = 0;
  bool recalc_print = false;
  std::string python = "/usr/bin/python3";
  double timeout = 600;
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "loadgen: %s\n", what.c_str());
  std::exit(1);
}

Clock::duration seconds_d(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
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
  std::size_t out_pos = 0;
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

// Drops what next_frame() has consumed.
void compact_input(Peer& p) {
  if (p.in_pos == p.in.size()) {
    p.in.clear();
    p.in_pos = 0;
  } else if (p.in_pos > (1u << 20)) {
    p.in.erase(0, p.in_pos);
    p.in_pos = 0;
  }
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
  std::string frame(payload);
  compact_input(p);
  return frame;
}

// The text value of `"key":"..."` in a frame (no escapes expected), or empty.
std::string_view string_member(std::string_view frame, std::string_view key) {
  std::string pattern = "\"" + std::string(key) + "\":\"";
  std::size_t pos = frame.find(pattern);
  if (pos == std::string_view::npos) return {};
  pos += pattern.size();
  std::size_t end = frame.find('"', pos);
  return end == std::string_view::npos ? std::string_view{} : frame.substr(pos, end - pos);
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

std::size_t count_of(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(what); pos != std::string_view::npos; pos = text.find(what, pos + what.size())) ++n;
  return n;
}

bool is_result_frame(std::string_view frame) {
  std::string_view head = frame.substr(0, 48);
  return head.find("\"type\":\"batch_results\"") != std::string_view::npos ||
         head.find("\"type\":\"function_execution_result\"") != std::string_view::npos;
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

// ---- the server process ----------------------------------------------------------------------

struct ServerProcess {
  pid_t pid = -1;
  int port = 0;
  std::string home;
};

ServerProcess start_server(const std::string& binary, const std::string& python) {
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) die("pipe");
  char home_template[] = "/tmp/loadgen-home-XXXXXX";
  ServerProcess s;
  s.home = ::mkdtemp(home_template);
  s.pid = ::fork();
  if (s.pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    ::setenv("HOME", s.home.c_str(), 1);
    const char* level = getenv("LOADGEN_SERVER_LOG_LEVEL") ? getenv("LOADGEN_SERVER_LOG_LEVEL") : "error";
    ::execl(binary.c_str(), binary.c_str(), "--port", "0", "--no-inspector", "--log-level", level, "--python",
            python.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(out_pipe[1]);
  std::string line;
  char c;
  while (::read(out_pipe[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out_pipe[0]);
  auto colon = line.rfind(':');
  if (line.find("listening on") == std::string::npos || colon == std::string::npos)
    die("server " + binary + " did not start");
  s.port = std::stoi(line.substr(colon + 1));
  return s;
}

void stop_server(ServerProcess& s) {
  ::kill(s.pid, SIGTERM);
  ::waitpid(s.pid, nullptr, 0);
  std::string cleanup = "rm -rf " + s.home;
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", s.home.c_str());
}

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

// The parent pid of a process, or -1 once it is gone.
pid_t parent_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string state;
  long ppid = -1;
  fields >> state >> ppid;
  return static_cast<pid_t>(ppid);
}

// The process below `root` (child, grandchild, ...) whose command line contains `needle`, or -1.
pid_t find_descendant(pid_t root, std::string_view needle) {
  std::vector<pid_t> pids;
  if (DIR* dir = ::opendir("/proc")) {
    while (dirent* entry = ::readdir(dir)) {
      char* end = nullptr;
      long pid = std::strtol(entry->d_name, &end, 10);
      if (end != entry->d_name && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(dir);
  }
  for (pid_t pid : pids) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string cmdline((std::istreambuf_iterator<char>(in)), {});
    if (cmdline.find(needle) == std::string::npos) continue;
    for (pid_t up = parent_of(pid), hops = 0; up > 1 && hops < 8; up = parent_of(up), ++hops)
      if (up == root) return pid;
  }
  return -1;
}

double self_cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

// ---- the add-in's side of the connection hook ------------------------------------------------

// The answer to one of the server's connection-time requests, or empty when the frame is none.
std::string hook_answer(std::string_view frame, const std::string& modules_json) {
  std::string_view id = string_member(frame, "request_id");
  std::string_view type = string_member(frame, "type");
  std::string tail = R"(,"request_id":")" + std::string(id) + "\"}";
  if (type == "get_modules_request") return R"({"type":"get_modules_response","modules":)" + modules_json + tail;
  if (type == "get_functions_request") return R"({"type":"get_functions_response","functions":[])" + tail;
  if (type == "get_packages_request")
    return R"({"type":"get_packages_response","packages":[],"python_paths":[])" + tail;
  if (type == "get_events_request")
    return R"({"events_registered":{},"com_events_registered":{},"events_definition":{},"events_tree":{})" + tail;
  if (type == "save_module_request") return R"({"type":"save_module_response","success":true)" + tail;
  return {};
}

// Answers the add-in hook's four requests (modules, functions, packages, events), in order. A
// server built before the connection hook sends none: two quiet seconds end the wait.
int answer_hook(Peer& addin, const std::string& modules_json) {
  int answered = 0;
  while (answered < 4) {
    std::string_view pending;
    const std::size_t at = addin.in_pos;
    const bool buffered = next_frame(addin, pending);
    addin.in_pos = at;
    if (!buffered) {
      pollfd pfd{addin.fd, POLLIN, 0};
      if (::poll(&pfd, 1, 2000) == 0) return answered;
    }
    std::string frame = read_frame_blocking(addin);
    std::string answer = hook_answer(frame, modules_json);
    if (answer.empty()) continue;
    std::string out;
    append_client_frame(out, answer);
    write_all_blocking(addin.fd, out);
    ++answered;
  }
  return answered;
}

std::string modules_object(int count, int size) {
  std::string body(static_cast<std::size_t>(size), 'x');
  for (int i = 0; i < size; i += 64) body[static_cast<std::size_t>(i)] = '\n';
  std::string out = "{";
  for (int m = 0; m < count; ++m) {
    std::string code = "def f(*args):\n    return sum(args)\n# " + std::to_string(m) + "\n" + body;
    if (m) out += ',';
    out += "\"mod" + std::to_string(m) + "\":\"" + json_escape(code) + "\"";
  }
  return out + "}";
}

void flush(Peer& p) {
  while (p.out_pos < p.out.size()) {
    ssize_t n = ::send(p.fd, p.out.data() + p.out_pos, p.out.size() - p.out_pos, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;  // the rest goes after the next round
      die(std::string("send: ") + std::strerror(errno));
    }
    p.out_pos += static_cast<std::size_t>(n);
  }
  if (p.out_pos == p.out.size()) {
    p.out.clear();
    p.out_pos = 0;
  } else if (p.out_pos > (1u << 20)) {
    p.out.erase(0, p.out_pos);
    p.out_pos = 0;
  }
}

// Reads what the socket has; dies when the server closed it.
void read_available(Peer& p) {
  char buf[1 << 16];
  while (true) {
    ssize_t r = ::recv(p.fd, buf, sizeof buf, 0);
    if (r > 0) {
      p.in.append(buf, static_cast<std::size_t>(r));
      if (static_cast<std::size_t>(r) < sizeof buf) return;
      continue;
    }
    if (r == 0) die("server closed a connection");
    if (errno == EAGAIN || errno == EINTR) return;
    die(std::string("recv: ") + std::strerror(errno));
  }
}

void watch(int ep, int fd, std::uint64_t tag) {
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = tag;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
}

// ---- steady load -----------------------------------------------------------------------------

struct Stats {
  int workbooks = 0, inflight = 0;
  double calls_per_s = 0, p50 = 0, p99 = 0, max = 0, cpu_us = 0, core_pct = 0, rss_mib = 0;
  double results_per_frame = 0, tool_cpu_us = 0, tool_core_pct = 0;
  unsigned long long errors = 0;
};

Stats steady_load(const Options& opt, const std::string& binary) {
  ServerProcess server = start_server(binary, "/bin/false");
  const std::string modules_json = modules_object(opt.modules, opt.module_size);

  // Kernels first, so that the add-ins' hooks find them connected and start none.
  std::vector<Peer> peers;
  peers.reserve(2 * opt.workbooks);
  for (int w = 0; w < opt.workbooks; ++w) {
    Peer k;
    k.fd = open_ws(server.port, "/ws/kernel/wb" + std::to_string(w));
    k.is_kernel = true;
    k.workbook = w;
    read_frame_blocking(k);  // ping
    peers.push_back(std::move(k));
  }
  for (int w = 0; w < opt.workbooks; ++w) {
    Peer a;
    a.fd = open_ws(server.port, "/ws/addin/wb" + std::to_string(w));
    a.workbook = w;
    read_frame_blocking(a);  // ping
    peers.push_back(std::move(a));
  }
  for (auto& p : peers)
    if (!p.is_kernel) answer_hook(p, modules_json);
  // An editor watches, as in a real session (it is sent workbook state, never results).
  Peer ide;
  ide.fd = open_ws(server.port, "/ws/ide/loadgen");

  int ep = ::epoll_create1(0);
  for (std::size_t i = 0; i < peers.size(); ++i) watch(ep, peers[i].fd, i);
  watch(ep, ide.fd, peers.size());

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
  const auto measure_from = start + seconds_d(opt.warmup);
  const auto measure_to = measure_from + seconds_d(opt.seconds);
  bool measuring = false;
  double server_cpu0 = 0, self_cpu0 = 0;
  std::uint64_t completed = 0, frames_to_addins = 0, errors = 0;
  std::vector<double> latencies;
  latencies.reserve(1 << 21);

  epoll_event events[64];
  while (true) {
    auto now = Clock::now();
    if (!measuring && now >= measure_from) {
      measuring = true;
      server_cpu0 = process_cpu_seconds(server.pid);
      self_cpu0 = self_cpu_seconds();
    }
    if (now >= measure_to) break;
    int n = ::epoll_wait(ep, events, 64, 10);
    for (int e = 0; e < n; ++e) {
      std::size_t index = events[e].data.u64;
      Peer& p = index < peers.size() ? peers[index] : ide;
      read_available(p);
      std::string_view frame;
      while (next_frame(p, frame)) {
        if (&p == &ide) continue;
        if (p.is_kernel) {
          // Module pushes and other state are taken in silence.
          if (frame.find("\"custom_function_call\"") == std::string_view::npos) continue;
          for_each_request_id(frame, [&](std::string_view id) {
            std::string reply = R"({"type":"execution_result","request_id":")" + std::string(id) +
                                R"(","result":6,"logs":""})";
            append_client_frame(p.out, reply);
          });
          continue;
        }
        if (!is_result_frame(frame)) {
          std::string answer = hook_answer(frame, modules_json);
          if (!answer.empty()) append_client_frame(p.out, answer);
          continue;
        }
        if (measuring) {
          ++frames_to_addins;
          errors += count_of(frame, "\"status\":\"error\"") + count_of(frame, "\"success\":false");
        }
        auto t = Clock::now();
        for_each_request_id(frame, [&](std::string_view id) {
          std::uint64_t rid = std::strtoull(std::string(id).c_str(), nullptr, 10);
          if (rid >= next_id) die("result for a call never made: " + std::string(id));
          if (measuring && t < measure_to && sent_at[rid] >= measure_from) {
            ++completed;
            latencies.push_back(std::chrono::duration<double, std::milli>(t - sent_at[rid]).count());
          }
          make_call(p);
        });
      }
      compact_input(p);
    }
    for (auto& p : peers) flush(p);
    flush(ide);
  }
  double server_cpu = process_cpu_seconds(server.pid) - server_cpu0;
  double self_cpu = self_cpu_seconds() - self_cpu0;
  long rss = peak_rss_kib(server.pid);
  stop_server(server);
  for (auto& p : peers) ::close(p.fd);
  ::close(ide.fd);
  ::close(ep);

  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double q) {
    if (latencies.empty()) return 0.0;
    return latencies[std::min(latencies.size() - 1, static_cast<std::size_t>(q * latencies.size()))];
  };
  Stats s;
  s.workbooks = opt.workbooks;
  s.inflight = opt.inflight;
  s.calls_per_s = completed / opt.seconds;
  s.p50 = pct(0.50);
  s.p99 = pct(0.99);
  s.max = latencies.empty() ? 0.0 : latencies.back();
  s.cpu_us = completed ? server_cpu / completed * 1e6 : 0.0;
  s.core_pct = server_cpu / opt.seconds * 100;
  s.rss_mib = rss / 1024.0;
  s.results_per_frame = frames_to_addins ? static_cast<double>(completed) / frames_to_addins : 0.0;
  s.tool_cpu_us = completed ? self_cpu / completed * 1e6 : 0.0;
  s.tool_core_pct = self_cpu / opt.seconds * 100;
  s.errors = errors;
  return s;
}

void print_stats(const Options& opt, const Stats& s) {
  std::printf("workbooks=%d inflight=%d modules=%d module_size=%d seconds=%.1f\n", s.workbooks, s.inflight,
              opt.modules, opt.module_size, opt.seconds);
  std::printf("calls/s            %.0f\n", s.calls_per_s);
  std::printf("latency ms         p50 %.3f  p99 %.3f  max %.3f\n", s.p50, s.p99, s.max);
  std::printf("server CPU/call    %.2f us  (%.1f%% of one core)\n", s.cpu_us, s.core_pct);
  std::printf("server peak RSS    %.1f MiB\n", s.rss_mib);
  std::printf("results per frame  %.1f\n", s.results_per_frame);
  std::printf("error results      %llu\n", s.errors);
  std::printf("load tool CPU/call %.2f us  (%.1f%% of one core)\n", s.tool_cpu_us, s.tool_core_pct);
}

void run_table(const Options& opt) {
  static constexpr int kRows[][2] = {{1, 1}, {4, 64}, {16, 64}, {50, 64}};
  // results[server][row]
  std::vector<std::vector<Stats>> results(opt.servers.size(), std::vector<Stats>(std::size(kRows)));
  for (std::size_t r = 0; r < std::size(kRows); ++r) {
    std::vector<std::vector<Stats>> runs(opt.servers.size());
    for (int rep = 0; rep < opt.repeat; ++rep) {
      for (std::size_t s = 0; s < opt.servers.size(); ++s) {
        Options o = opt;
        o.workbooks = kRows[r][0];
        o.inflight = kRows[r][1];
        runs[s].push_back(steady_load(o, opt.servers[s]));
        std::fprintf(stderr, "  %s %dx%d: %.2f us/call\n", opt.servers[s].c_str(), o.workbooks, o.inflight,
                     runs[s].back().cpu_us);
      }
    }
    for (std::size_t s = 0; s < opt.servers.size(); ++s) {
      std::sort(runs[s].begin(), runs[s].end(), [](const Stats& a, const Stats& b) { return a.cpu_us < b.cpu_us; });
      results[s][r] = runs[s][runs[s].size() / 2];
    }
  }
  std::printf("modules=%d module_size=%d seconds=%.1f warmup=%.1f repeat=%d (median by CPU per call)\n\n",
              opt.modules, opt.module_size, opt.seconds, opt.warmup, opt.repeat);
  for (std::size_t s = 0; s < opt.servers.size(); ++s) {
    std::printf("server %s\n", opt.servers[s].c_str());
    std::printf("| workbooks x in flight | calls/s | server CPU per call | p50 ms | p99 ms | results/frame | peak RSS MiB |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Stats& st : results[s]) {
      std::printf("| %d x %d | %.0f | %.2f us (%.0f%% core) | %.2f | %.2f | %.1f | %.1f |%s\n", st.workbooks,
                  st.inflight, st.calls_per_s, st.cpu_us, st.core_pct, st.p50, st.p99, st.results_per_frame,
                  st.rss_mib, st.errors ? " ERRORS" : "");
    }
    const Stats& four = results[s][1];
    const Stats& fifty = results[s][3];
    std::printf("CPU per call 50x64 / 4x64: %.2f\n\n", four.cpu_us > 0 ? fifty.cpu_us / four.cpu_us : 0.0);
  }
}

// ---- a recalculation through the real kernel program -------------------------------------------

struct RecalcStats {
  long n = 0, done = 0, errors = 0, wrong = 0, duplicates = 0, frames = 0;
  double elapsed = 0, sent_in = 0;
  double server_cpu_us = 0, kernel_cpu_us = 0, tool_cpu_us = 0;
  double server_rss_mib = 0, kernel_rss_mib = 0;
  bool ok() const { return done == n && errors == 0 && wrong == 0 && duplicates == 0; }
};

RecalcStats recalc_once(const Options& opt, const std::string& binary) {
  ServerProcess server = start_server(binary, opt.python);
  const std::string code = opt.recalc_print ? "def add(a, b):\n    print('adding', a, b)\n    return a + b\n"
                                            : "def add(a, b):\n    return a + b\n";
  // What every answer must carry: the sum and the logs of that one call.
  const std::string expected =
      opt.recalc_print ? R"("result":3,"logs":"adding 1 2\n")" : R"("result":3,"logs":"")";
  const std::string modules_json = "{\"bench\":\"" + json_escape(code) + "\"}";

  Peer addin;
  addin.fd = open_ws(server.port, "/ws/addin/recalc");
  read_frame_blocking(addin);  // ping
  if (answer_hook(addin, modules_json) == 0) {
    // A server without the connection hook: the kernel is asked for and the module saved by hand.
    std::string out;
    append_client_frame(out, R"({"type":"spawn_kernel"})");
    write_all_blocking(addin.fd, out);
    Peer ide;
    ide.fd = open_ws(server.port, "/ws/ide/recalc");
    out.clear();
    append_client_frame(out, R"({"type":"update_module","workbook_id":"recalc","module_name":"bench","code":")" +
                                 json_escape(code) + "\"}");
    write_all_blocking(ide.fd, out);
  }
  int ep = ::epoll_create1(0);
  watch(ep, addin.fd, 0);

  auto call = [&](std::string& out, const std::string& id) {
    append_client_frame(out, R"({"type":"function_execution","request_id":")" + id +
                                 R"(","module_name":"bench","function_name":"add","args":[1,2]})");
  };
  epoll_event events[4];
  // Every frame to the add-in goes through here: hook-style requests are answered, results counted.
  auto pump = [&](int wait_ms, auto&& on_result) {
    flush(addin);
    // While a write is pending, come back soon to go on with it.
    int n = ::epoll_wait(ep, events, 4, addin.out.empty() ? wait_ms : 1);
    if (n > 0) read_available(addin);
    std::string_view frame;
    while (next_frame(addin, frame)) {
      if (is_result_frame(frame)) {
        on_result(frame);
        continue;
      }
      std::string answer = hook_answer(frame, modules_json);
      if (!answer.empty()) append_client_frame(addin.out, answer);
    }
    compact_input(addin);
  };

  // Wait for the kernel: a probe call is answered with an error until it has connected.
  const auto ready_by = Clock::now() + std::chrono::seconds(60);
  bool ready = false;
  for (int probe = 0; !ready; ++probe) {
    if (Clock::now() > ready_by) die("the kernel did not answer within 60 s");
    call(addin.out, "probe-" + std::to_string(probe));
    const auto retry_at = Clock::now() + std::chrono::milliseconds(200);
    while (!ready && Clock::now() < retry_at)
      pump(20, [&](std::string_view frame) { ready = ready || frame.find("\"status\":\"success\"") != std::string_view::npos; });
  }
  // Late answers to earlier probes: let them arrive before the measured part.
  for (auto settle = Clock::now() + std::chrono::milliseconds(300); Clock::now() < settle;)
    pump(20, [](std::string_view) {});
  const pid_t kernel = find_descendant(server.pid, "corvane_master.python_server");
  if (kernel < 0) die("no kernel process below the server");

  RecalcStats st;
  const long n = st.n = opt.recalc;
  std::vector<char> answered(static_cast<std::size_t>(n), 0);
  std::string burst;
  burst.reserve(static_cast<std::size_t>(n) * 120);
  for (long i = 0; i < n; ++i) call(burst, std::to_string(i));
  long right = 0;
  const double server_cpu0 = process_cpu_seconds(server.pid);
  const double kernel_cpu0 = process_cpu_seconds(kernel);
  const double tool_cpu0 = self_cpu_seconds();
  const auto t0 = Clock::now();
  addin.out += burst;
  std::string().swap(burst);
  Clock::time_point all_sent{};
  while (st.done < n) {
    if (Clock::now() - t0 > seconds_d(opt.timeout)) break;
    pump(50, [&](std::string_view frame) {
      ++st.frames;
      st.errors += static_cast<long>(count_of(frame, "\"status\":\"error\""));
      right += static_cast<long>(count_of(frame, expected));
      for_each_request_id(frame, [&](std::string_view id) {
        if (id.rfind("probe-", 0) == 0) {
          right -= frame.find(expected) != std::string_view::npos ? 1 : 0;  // a late probe answer
          return;
        }
        long rid = std::strtol(std::string(id).c_str(), nullptr, 10);
        if (rid < 0 || rid >= n) die("result for a call never made: " + std::string(id));
        if (answered[static_cast<std::size_t>(rid)]) ++st.duplicates;
        else ++st.done;
        answered[static_cast<std::size_t>(rid)] = 1;
      });
    });
    if (all_sent == Clock::time_point{} && addin.out.empty()) all_sent = Clock::now();
  }
  st.elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  st.sent_in = std::chrono::duration<double>(all_sent - t0).count();
  const double per_call = st.done ? 1e6 / static_cast<double>(st.done) : 0.0;
  st.server_cpu_us = (process_cpu_seconds(server.pid) - server_cpu0) * per_call;
  st.kernel_cpu_us = (process_cpu_seconds(kernel) - kernel_cpu0) * per_call;
  st.tool_cpu_us = (self_cpu_seconds() - tool_cpu0) * per_call;
  st.wrong = st.done - right;
  st.server_rss_mib = static_cast<double>(peak_rss_kib(server.pid)) / 1024.0;
  st.kernel_rss_mib = static_cast<double>(peak_rss_kib(kernel)) / 1024.0;  // before it exits with the server
  stop_server(server);
  ::close(addin.fd);
  ::close(ep);
  return st;
}

void print_recalc(const Options& opt, const std::string& binary, const RecalcStats& st) {
  std::printf("recalculation of %ld calls of add(1, 2)%s through the kernel program (%s), server %s\n", st.n,
              opt.recalc_print ? " that prints a line" : "", opt.python.c_str(), binary.c_str());
  std::printf("answered           %ld of %ld  (%ld error results, %ld wrong results or logs, %ld duplicates, %ld frames)\n",
              st.done, st.n, st.errors, st.wrong, st.duplicates, st.frames);
  std::printf("time               %.2f s  (all calls written in %.2f s)\n", st.elapsed, st.sent_in);
  std::printf("calls/s            %.0f\n", st.elapsed > 0 ? static_cast<double>(st.done) / st.elapsed : 0.0);
  std::printf("kernel CPU/call    %.2f us\n", st.kernel_cpu_us);
  std::printf("server CPU/call    %.2f us\n", st.server_cpu_us);
  std::printf("load tool CPU/call %.2f us\n", st.tool_cpu_us);
  std::printf("kernel peak RSS    %.1f MiB\n", st.kernel_rss_mib);
  std::printf("server peak RSS    %.1f MiB\n", st.server_rss_mib);
}

int run_recalc(const Options& opt) {
  std::vector<std::vector<RecalcStats>> runs(opt.servers.size());
  for (int rep = 0; rep < opt.repeat; ++rep) {
    for (std::size_t s = 0; s < opt.servers.size(); ++s) {
      runs[s].push_back(recalc_once(opt, opt.servers[s]));
      if (opt.repeat > 1 || opt.servers.size() > 1)
        std::fprintf(stderr, "  %s: %.0f calls/s, kernel %.2f us/call\n", opt.servers[s].c_str(),
                     runs[s].back().elapsed > 0 ? runs[s].back().done / runs[s].back().elapsed : 0.0,
                     runs[s].back().kernel_cpu_us);
    }
  }
  bool ok = true;
  std::vector<RecalcStats> chosen;
  for (std::size_t s = 0; s < opt.servers.size(); ++s) {
    for (const RecalcStats& st : runs[s]) ok = ok && st.ok();
    std::sort(runs[s].begin(), runs[s].end(),
              [](const RecalcStats& a, const RecalcStats& b) { return a.kernel_cpu_us < b.kernel_cpu_us; });
    chosen.push_back(runs[s][runs[s].size() / 2]);
    if (s) std::printf("\n");
    print_recalc(opt, opt.servers[s], chosen.back());
  }
  if (opt.servers.size() > 1) {
    std::printf("\n| server | calls/s | kernel CPU/call | server CPU/call | kernel peak RSS MiB |\n|---|---|---|---|---|\n");
    for (std::size_t s = 0; s < opt.servers.size(); ++s) {
      const RecalcStats& st = chosen[s];
      std::printf("| %s | %.0f | %.2f us | %.2f us | %.1f |%s\n", opt.servers[s].c_str(),
                  st.elapsed > 0 ? st.done / st.elapsed : 0.0, st.kernel_cpu_us, st.server_cpu_us,
                  st.kernel_rss_mib, st.ok() ? "" : " ERRORS");
    }
  }
  return ok ? 0 : 1;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--server") o.servers.push_back(next());
    else if (a == "--workbooks") o.workbooks = std::stoi(next());
    else if (a == "--inflight") o.inflight = std::stoi(next());
    else if (a == "--modules") o.modules = std::stoi(next());
    else if (a == "--module-size") o.module_size = std::stoi(next());
    else if (a == "--seconds") o.seconds = std::stod(next());
    else if (a == "--warmup") o.warmup = std::stod(next());
    else if (a == "--table") o.table = true;
    else if (a == "--repeat") o.repeat = std::max(1, std::stoi(next()));
    else if (a == "--recalc") o.recalc = std::stol(next());
    else if (a == "--recalc-print") o.recalc_print = true;
    else if (a == "--python") o.python = next();
    else if (a == "--timeout") o.timeout = std::stod(next());
    else die("unknown argument " + a);
  }
  if (o.servers.empty()) o.servers.push_back("build/switchyard");
  if (!o.table && o.recalc <= 0 && o.servers.size() > 1) die("several --server only with --table or --recalc");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  if (opt.recalc > 0) return run_recalc(opt);
  if (opt.table) {
    run_table(opt);
    return 0;
  }
  print_stats(opt, steady_load(opt, opt.servers.front()));
  return 0;
}

// The Windows launcher. Every child is created suspended, put in a job object of its own that
// ends everything in it when its last handle closes (the server holds that handle: when the
// server exits, however it exits, the job closes and the child and all it started end), and then
// resumed, so not even its first instruction runs outside the job. The command line is quoted by
// the rules the C runtime splits it by, and the child inherits exactly its three standard
// handles, listed by name (PROC_THREAD_ATTRIBUTE_HANDLE_LIST): never a socket or a pipe of
// another child. Exits are noticed by a registered wait on the process handle.
#include "services/process.hpp"
#include "services/platform.hpp"
#include "services/wide.hpp"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwctype>
#include <unordered_map>
#include <utility>

namespace corvane::process {
namespace {

// The exit code a process ended by the server (or the task manager) shows.
constexpr UINT kTerminatedExitCode = 1;

std::mutex g_table_mutex;
std::unordered_map<int, std::weak_ptr<Child>> g_table;

// Jobs of children whose handle went away while they still ran: kept open (and so the children
// alive) until the server exits, as a POSIX child outlives its handle.
std::mutex g_parked_mutex;
std::vector<HANDLE> g_parked_jobs;

std::error_code last_error() { return std::error_code(static_cast<int>(::GetLastError()), std::system_category()); }
std::error_code gone() { return std::make_error_code(std::errc::no_such_process); }

void close(HANDLE& h) {
  if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  h = nullptr;
}

void CALLBACK process_ended(void* context, BOOLEAN) {
  const int pid = static_cast<int>(reinterpret_cast<std::intptr_t>(context));
  std::shared_ptr<Child> child;
  {
    std::lock_guard lock(g_table_mutex);
    auto it = g_table.find(pid);
    if (it != g_table.end()) child = it->second.lock();
  }
  // alive() reads the exit code from the handle itself and reaps.
  if (child) child->alive();
}

}  // namespace

Child::Child(int pid, void* process, void* job) : pid_(pid), process_(process), job_(job) {}

Child::~Child() {
  if (wait_) ::UnregisterWaitEx(wait_, nullptr);
  {
    std::lock_guard lock(g_table_mutex);
    auto it = g_table.find(pid_);
    if (it != g_table.end() && it->second.expired()) g_table.erase(it);
  }
  HANDLE process = process_, job = job_;
  const bool ended = process && ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  close(process);
  if (!job) return;
  if (ended) {
    // Whatever the process left running in its job ends with it now.
    close(job);
  } else {
    std::lock_guard lock(g_parked_mutex);
    g_parked_jobs.push_back(job);
  }
}

bool Child::alive() {
  {
    std::lock_guard lock(mutex_);
    if (reaped_) return false;
  }
  if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return true;
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  mark_reaped(static_cast<int>(code));
  return false;
}

void Child::mark_reaped(int status) {
  std::function<void(int)> handler;
  {
    std::lock_guard lock(mutex_);
    if (reaped_) return;
    reaped_ = true;
    status_ = status;
    handler = std::move(on_exit_);
  }
  if (handler) handler(status);
}

std::error_code Child::signal(int) {
  if (!alive()) return gone();
  if (::TerminateProcess(process_, kTerminatedExitCode)) return {};
  std::error_code ec = last_error();
  return alive() ? ec : gone();
}

std::error_code Child::signal_group(int) {
  const bool was_alive = alive();
  // The job outlives its first process: ending it also reaches what that process left running.
  if (job_ && !::TerminateJobObject(job_, kTerminatedExitCode) && was_alive) return last_error();
  if (!job_ && was_alive) return signal(0);
  return was_alive ? std::error_code() : gone();
}

std::error_code Child::terminate() { return signal(0); }
std::error_code Child::kill() { return signal(0); }
std::error_code Child::terminate_tree() { return signal_group(0); }
std::error_code Child::kill_tree() { return signal_group(0); }

bool Child::wait_for(int timeout_ms) {
  if (!alive()) return true;
  ::WaitForSingleObject(process_, static_cast<DWORD>(std::max(timeout_ms, 0)));
  return !alive();
}

void Child::wait() {
  if (!alive()) return;
  ::WaitForSingleObject(process_, INFINITE);
  alive();
}

bool exited(int) { return true; }
int exit_code(int status) { return status; }
bool signalled(int) { return false; }
int signal_number(int) { return 0; }

std::string describe_exit(int status) {
  const auto code = static_cast<std::uint32_t>(status);
  // NTSTATUS error codes (an access violation is 0xC0000005) read better in hex.
  if (code >= 0xC0000000u) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return std::string("status ") + text;
  }
  return "status " + std::to_string(code);
}

void close_pipe(PipeEnd end) {
  if (end) ::CloseHandle(end);
}

int reap_children() { return 0; }

std::vector<std::string> environment_with(const std::map<std::string, std::string>& overrides) {
  return platform::environment_with(overrides);
}

namespace {

// One argument as the C runtime's startup code reads it back: unchanged when it has no blank or
// quote; otherwise quoted, with backslashes doubled where they precede a quote (or the closing
// quote) and quotes escaped.
void append_argument(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++backslashes;
      ++i;
    }
    if (i == arg.size()) {
      line.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
      line += L'"';
    } else {
      line.append(backslashes, L'\\');
      line += arg[i];
    }
  }
  line += L'"';
}

std::wstring command_line(const std::vector<std::string>& argv) {
  std::wstring line;
  // The program's name is read up to the next blank, or between quotes, with no escapes (a file
  // name holds no quote).
  const std::wstring program = wide::from_utf8(argv[0]);
  if (program.empty() || program.find_first_of(L" \t") != std::wstring::npos) line += L'"' + program + L'"';
  else line += program;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    line += L' ';
    append_argument(line, wide::from_utf8(argv[i]));
  }
  return line;
}

// The environment as CreateProcessW takes it: "K=V" entries, sorted by name without regard to
// case, each ended by a NUL, the block by another.
std::wstring environment_block(const std::vector<std::string>& env) {
  std::vector<std::wstring> entries;
  for (const auto& kv : env) entries.push_back(wide::from_utf8(kv));
  auto name = [](const std::wstring& kv) { return std::wstring_view(kv).substr(0, kv.find(L'=', 1)); };
  std::stable_sort(entries.begin(), entries.end(), [&](const std::wstring& a, const std::wstring& b) {
    auto x = name(a), y = name(b);
    return ::CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()), TRUE) ==
           CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const auto& e : entries) {
    block += e;
    block += L'\0';
  }
  if (entries.empty()) block += L'\0';
  block += L'\0';
  return block;
}

bool is_file(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool has_extension(const std::wstring& path) {
  std::size_t sep = path.find_last_of(L"\\/:");
  std::size_t dot = path.rfind(L'.');
  return dot != std::wstring::npos && (sep == std::wstring::npos || dot > sep);
}

// The file `name` runs: itself when it names a folder, else the first match on PATH; ".exe" is
// tried after the name as given when it has no extension. Empty with `err` set when none.
std::wstring resolve_program(const std::string& name, DWORD& err) {
  const std::wstring wname = wide::from_utf8(name);
  auto try_path = [](const std::wstring& candidate) -> std::wstring {
    if (is_file(candidate)) return candidate;
    if (!has_extension(candidate) && is_file(candidate + L".exe")) return candidate + L".exe";
    return {};
  };
  err = ERROR_FILE_NOT_FOUND;
  if (wname.empty()) return {};
  if (wname.find_first_of(L"\\/:") != std::wstring::npos) return try_path(wname);
  const std::string path = platform::get_env("PATH").value_or("");
  std::wstring dirs = wide::from_utf8(path);
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(L';', start);
    if (end == std::wstring::npos) end = dirs.size();
    std::wstring dir = dirs.substr(start, end - start);
    dir.erase(std::remove(dir.begin(), dir.end(), L'"'), dir.end());
    if (!dir.empty()) {
      if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
      if (std::wstring found = try_path(dir + wname); !found.empty()) return found;
    }
    start = end + 1;
  }
  return {};
}

bool is_batch_file(const std::wstring& path) {
  if (path.size() < 4) return false;
  std::wstring ext = path.substr(path.size() - 4);
  for (auto& c : ext) c = static_cast<wchar_t>(std::towlower(c));
  return ext == L".bat" || ext == L".cmd";
}

Spawned failure(DWORD err, const std::string& program, std::string& error) {
  error = "[WinError " + std::to_string(err) + "] " + platform::error_message(static_cast<int>(err)) + ": '" +
          program + "'";
  Spawned failed;
  failed.error_number = static_cast<int>(err);
  return failed;
}

// The three standard handles of one child: what it gets (inheritable) and the server's ends.
class StdioPlan {
 public:
  ~StdioPlan() {
    for (HANDLE& h : child_end_) close(h);
    for (HANDLE& h : parent_end_) close(h);
  }

  bool prepare(const SpawnOptions& options, std::string& error) {
    const Stdio modes[3] = {options.in, options.out, options.err};
    const DWORD std_ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    for (int target = 0; target < 3; ++target) {
      const bool input = target == 0;
      if (modes[target] == Stdio::inherit) {
        HANDLE own = ::GetStdHandle(std_ids[target]);
        if (own && own != INVALID_HANDLE_VALUE &&
            !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &child_end_[target], 0, TRUE,
                               DUPLICATE_SAME_ACCESS))
          child_end_[target] = nullptr;  // not a handle a child can use: it goes without
      } else if (modes[target] == Stdio::null) {
        child_end_[target] = ::CreateFileW(L"NUL", input ? GENERIC_READ : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           &inherit, OPEN_EXISTING, 0, nullptr);
        if (child_end_[target] == INVALID_HANDLE_VALUE) return fail("cannot open NUL", error);
      } else {
        // A named pipe, because only those can be overlapped (for the loop's completion port) on
        // the server's side; the child's side is an ordinary synchronous handle.
        static std::atomic<unsigned> counter{0};
        const std::wstring name = L"\\\\.\\pipe\\corvane-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(counter++) + L"-" + std::to_wstring(::GetTickCount64());
        parent_end_[target] = ::CreateNamedPipeW(
            name.c_str(), (input ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536, 65536, 0, nullptr);
        if (parent_end_[target] == INVALID_HANDLE_VALUE) {
          parent_end_[target] = nullptr;
          return fail("cannot create a pipe", error);
        }
        // The single instance is taken here: had anyone else opened it first, this fails.
        child_end_[target] = ::CreateFileW(name.c_str(), input ? GENERIC_READ | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                           0, &inherit, OPEN_EXISTING, 0, nullptr);
        if (child_end_[target] == INVALID_HANDLE_VALUE) {
          child_end_[target] = nullptr;
          return fail("cannot open a pipe", error);
        }
      }
    }
    return true;
  }

  HANDLE child_end(int target) const { return child_end_[target]; }

  // The handles the child inherits, each once.
  std::vector<HANDLE> inherited() const {
    std::vector<HANDLE> out;
    for (HANDLE h : child_end_)
      if (h && std::find(out.begin(), out.end(), h) == out.end()) out.push_back(h);
    return out;
  }

  void hand_over(Spawned& spawned) {
    for (HANDLE& h : child_end_) close(h);
    spawned.in = std::exchange(parent_end_[0], nullptr);
    spawned.out = std::exchange(parent_end_[1], nullptr);
    spawned.err = std::exchange(parent_end_[2], nullptr);
  }

 private:
  static bool fail(const char* what, std::string& error) {
    error = std::string(what) + ": " + platform::error_message(static_cast<int>(::GetLastError()));
    return false;
  }
  HANDLE child_end_[3] = {nullptr, nullptr, nullptr};
  HANDLE parent_end_[3] = {nullptr, nullptr, nullptr};
};

// A job object that ends its processes when its last handle closes, and lets a process that
// crashes end instead of waiting on an error dialog.
HANDLE new_job() {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    ::CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Spawns take turns: a child's inheritable handles exist only during its own spawn.
std::mutex g_spawn_mutex;

}  // namespace

Spawned spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error) {
  if (argv.empty()) {
    error = "empty command";
    return {};
  }
  DWORD err = 0;
  const std::wstring path = resolve_program(argv[0], err);
  if (path.empty()) return failure(err, argv[0], error);
  // Batch files run through cmd.exe, whose quoting rules are not the C runtime's: an argument
  // could then become a command. The launcher starts programs, never a shell.
  if (is_batch_file(path)) {
    error = "cannot run a batch file without a shell: '" + argv[0] + "'";
    return {};
  }

  std::lock_guard spawn_lock(g_spawn_mutex);
  StdioPlan stdio;
  if (!stdio.prepare(options, error)) return {};

  std::wstring line = command_line(argv);
  std::wstring env_block;
  if (options.env) env_block = environment_block(*options.env);

  HANDLE job = new_job();
  if (!job) return failure(::GetLastError(), argv[0], error);

  std::vector<HANDLE> inherited = stdio.inherited();
  SIZE_T attr_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
  std::vector<unsigned char> attr_buffer(attr_size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_buffer.data());
  bool have_attributes = false;
  if (!inherited.empty()) {
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &attr_size) ||
        !::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                     inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DWORD e = ::GetLastError();
      ::CloseHandle(job);
      return failure(e, argv[0], error);
    }
    have_attributes = true;
  }

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = stdio.child_end(0);
  si.StartupInfo.hStdOutput = stdio.child_end(1);
  si.StartupInfo.hStdError = stdio.child_end(2);
  if (have_attributes) si.lpAttributeList = attributes;

  DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT;
  if (options.new_process_group) flags |= CREATE_NEW_PROCESS_GROUP;
  // Without a console of its own the server gives console children none that would pop up.
  if (!::GetConsoleWindow()) flags |= CREATE_NO_WINDOW;

  PROCESS_INFORMATION pi{};
  BOOL created = ::CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, have_attributes ? TRUE : FALSE, flags,
                                  options.env ? env_block.data() : nullptr, nullptr, &si.StartupInfo, &pi);
  DWORD create_error = created ? 0 : ::GetLastError();
  if (have_attributes) ::DeleteProcThreadAttributeList(attributes);
  if (!created) {
    ::CloseHandle(job);
    return failure(create_error, argv[0], error);
  }
  if (!::AssignProcessToJobObject(job, pi.hProcess)) {
    DWORD e = ::GetLastError();
    ::TerminateProcess(pi.hProcess, kTerminatedExitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(job);
    error = "cannot keep '" + argv[0] + "' with the server (job object): " + platform::error_message(static_cast<int>(e));
    return {};
  }
  ::ResumeThread(pi.hThread);
  ::CloseHandle(pi.hThread);

  Spawned spawned;
  const int pid = static_cast<int>(pi.dwProcessId);
  spawned.child = std::make_shared<Child>(pid, pi.hProcess, job);
  {
    std::lock_guard lock(g_table_mutex);
    g_table[pid] = spawned.child;
  }
  HANDLE wait = nullptr;
  if (::RegisterWaitForSingleObject(&wait, pi.hProcess, &process_ended, reinterpret_cast<void*>(static_cast<std::intptr_t>(pid)),
                                    INFINITE, WT_EXECUTEONLYONCE))
    spawned.child->wait_ = wait;
  stdio.hand_over(spawned);
  return spawned;
}

}  // namespace corvane::process

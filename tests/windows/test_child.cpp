// The Windows tests' child process. Under wine a Linux program started by a Windows one has no
// process handle (it cannot be waited on or ended), so the tests give the server this program
// in place of the kernel interpreter. It records how it was started, then, by TEST_CHILD_MODE:
//   (unset)  connects back as the workbook's kernel (the interpreter's command line:
//            -m MODULE WORKBOOK PORT OPTIONS) and answers calls:
//              add(a, b)      a + b
//              argv()         its own argv, as it read it
//              spawn()        starts a grandchild (this program, mode "sleep"); its pid
//              exit(code)     ends at once with that exit code, as a crash would
//            and exits 0 when the connection closes;
//   print    writes TEST_CHILD_OUTPUT to its standard output and exits 0 (an interpreter
//            answering indexscout's probe of the environment);
//   sleep    waits forever (a grandchild; also any start not as the interpreter, such as the
//            editor's);
//   crash    exits with code 3 at once.
// Each start appends one JSON line to the file named by TEST_CHILD_LOG:
//   {"event": "start", "pid": N, "mode": "...", "argv": [...]}
// and each grandchild started one {"event": "grandchild", "pid": N, "by": N}.
#include <windows.h>
#include <shellapi.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <cctype>
#include <string>
#include <vector>

namespace json = boost::json;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring env(const wchar_t* name) {
  wchar_t buffer[32768];
  DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  return n > 0 && n < 32768 ? std::wstring(buffer, n) : std::wstring();
}

// The arguments after the program's name, split by the C runtime's rules (as a Python
// interpreter would read them).
std::vector<std::string> arguments() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> out;
  for (int i = 1; i < argc; ++i) out.push_back(utf8(argv[i]));
  LocalFree(argv);
  return out;
}

// One line appended to the log, in one write, so lines of several processes do not mix.
void record(const json::object& entry) {
  std::wstring path = env(L"TEST_CHILD_LOG");
  if (path.empty()) return;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string line = json::serialize(entry) + "\n";
  // Processes that start together write together, and wine's append is a seek and a write, not
  // one step: two lines could land on the same offset. Writers take turns under a lock instead.
  OVERLAPPED whole{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    LARGE_INTEGER end{};
    GetFileSizeEx(file, &end);
    OVERLAPPED at{};
    at.Offset = end.LowPart;
    at.OffsetHigh = static_cast<DWORD>(end.HighPart);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, &at);
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  }
  CloseHandle(file);
}

// This program again, in mode "sleep"; its pid, or 0 when it could not start.
DWORD start_grandchild() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  SetEnvironmentVariableW(L"TEST_CHILD_MODE", L"sleep");
  std::wstring command = L"\"" + std::wstring(self) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  BOOL ok = CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
  SetEnvironmentVariableW(L"TEST_CHILD_MODE", nullptr);
  if (!ok) return 0;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return info.dwProcessId;
}

std::string percent_encoded(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

json::value answer(const json::object& call, const std::vector<std::string>& argv) {
  const json::value* request_id = call.if_contains("request_id");
  json::object reply;
  reply["type"] = "execution_result";
  reply["request_id"] = request_id ? *request_id : json::value();
  const json::value* name = call.if_contains("function_name");
  const json::array empty;
  const json::array& args = call.contains("args") && call.at("args").is_array() ? call.at("args").as_array() : empty;
  std::string function = name && name->is_string() ? std::string(name->as_string()) : "";
  if (function == "add" && args.size() == 2 && args[0].is_number() && args[1].is_number()) {
    if (args[0].is_int64() && args[1].is_int64()) reply["result"] = args[0].as_int64() + args[1].as_int64();
    else reply["result"] = args[0].to_number<double>() + args[1].to_number<double>();
  } else if (function == "argv") {
    json::array list;
    for (const auto& a : argv) list.emplace_back(a);
    reply["result"] = std::move(list);
  } else if (function == "spawn") {
    DWORD pid = start_grandchild();
    if (pid) record({{"event", "grandchild"}, {"pid", pid}, {"by", GetCurrentProcessId()}});
    reply["result"] = pid;
  } else if (function == "exit") {
    ExitProcess(args.size() == 1 && args[0].is_int64() ? static_cast<UINT>(args[0].as_int64()) : 1);
  } else {
    reply["type"] = "execution_error";
    reply["error"] = {{"type", "NameError"}, {"message", "no function " + function + " in the test child"}};
    return reply;
  }
  reply["logs"] = "";
  return reply;
}

int run_kernel(const std::vector<std::string>& argv) {
  if (argv.size() < 4 || argv[0] != "-m") return 2;
  const std::string& workbook = argv[2];
  const std::string& port = argv[3];
  boost::asio::io_context io;
  tcp::resolver resolver(io);
  websocket::stream<tcp::socket> ws(io);
  boost::asio::connect(ws.next_layer(), resolver.resolve("127.0.0.1", port));
  ws.handshake("127.0.0.1:" + port, "/ws/kernel/" + percent_encoded(workbook));
  ws.text(true);
  boost::beast::flat_buffer buffer;
  for (;;) {
    boost::system::error_code ec;
    ws.read(buffer, ec);
    if (ec) return 0;  // the server closed the connection (or went)
    json::value message = json::parse(boost::beast::buffers_to_string(buffer.data()), ec);
    buffer.consume(buffer.size());
    if (ec || !message.is_object()) continue;
    const json::object& m = message.as_object();
    const json::value* type = m.if_contains("type");
    if (!type || !type->is_string() || type->as_string() != "custom_function_call") continue;
    ws.write(boost::asio::buffer(json::serialize(answer(m, argv))));
  }
}

}  // namespace

int main() {
  std::vector<std::string> argv = arguments();
  std::string mode = utf8(env(L"TEST_CHILD_MODE"));
  json::array listed;
  for (const auto& a : argv) listed.emplace_back(a);
  record({{"event", "start"}, {"pid", GetCurrentProcessId()}, {"mode", mode},
          {"argv", std::move(listed)}});
  if (mode == "crash") return 3;
  if (mode == "print") {
    std::string text = utf8(env(L"TEST_CHILD_OUTPUT"));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return 0;
  }
  // A grandchild, or started as something other than the interpreter (the editor): it waits.
  if (mode == "sleep" || argv.empty() || argv[0] != "-m") {
    Sleep(INFINITE);
    return 0;
  }
  try {
    return run_kernel(argv);
  } catch (const std::exception& e) {
    record({{"event", "error"}, {"pid", GetCurrentProcessId()}, {"what", e.what()}});
    return 1;
  }
}

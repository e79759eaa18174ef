#include "services/platform.hpp"
#include "services/wide.hpp"

#include <windows.h>
#include <shellapi.h>
#include <userenv.h>

#include <algorithm>
#include <memory>

namespace corvane::platform {

std::filesystem::path home_directory() {
  if (auto profile = get_env("USERPROFILE"); profile && !profile->empty()) return path_from_utf8(*profile);
  // The profile folder of the user whose token the process runs with.
  HANDLE token = nullptr;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    wchar_t buffer[MAX_PATH * 4];
    DWORD size = static_cast<DWORD>(std::size(buffer));
    const bool ok = ::GetUserProfileDirectoryW(token, buffer, &size);
    ::CloseHandle(token);
    if (ok) return std::filesystem::path(buffer);
  }
  std::error_code ec;
  return std::filesystem::current_path(ec);
}

std::string default_python() { return "python.exe"; }

std::optional<std::string> get_env(const std::string& name) {
  const std::wstring wide_name = wide::from_utf8(name);
  std::wstring value(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    DWORD n = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) {
      value.resize(n);
      return wide::to_utf8(value);
    }
    value.resize(n);
  }
}

void set_env(const std::string& name, const std::string& value) {
  ::SetEnvironmentVariableW(wide::from_utf8(name).c_str(), wide::from_utf8(value).c_str());
}

namespace {

// "NAME=value" entries of the process's environment, without the drive entries ("=C:=C:\...").
std::vector<std::string> environment_entries() {
  std::vector<std::string> out;
  std::unique_ptr<wchar_t, decltype(&::FreeEnvironmentStringsW)> block(::GetEnvironmentStringsW(),
                                                                       &::FreeEnvironmentStringsW);
  if (!block) return out;
  for (const wchar_t* p = block.get(); *p; p += std::wcslen(p) + 1) {
    if (*p == L'=') continue;
    out.push_back(wide::to_utf8(p));
  }
  return out;
}

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    return up(x) == up(y);
  });
}

}  // namespace

std::map<std::string, std::string> environment() {
  std::map<std::string, std::string> env;
  for (const std::string& kv : environment_entries()) {
    auto eq = kv.find('=');
    if (eq == std::string::npos) continue;
    env.emplace(kv.substr(0, eq), kv.substr(eq + 1));
  }
  return env;
}

std::vector<std::string> environment_with(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> out;
  for (std::string& kv : environment_entries()) {
    std::string_view key = std::string_view(kv).substr(0, kv.find('='));
    bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) { return same_name(o.first, key); });
    if (!replaced) out.push_back(std::move(kv));
  }
  for (const auto& [k, v] : overrides) out.push_back(k + "=" + v);
  return out;
}

char path_list_separator() { return ';'; }

std::filesystem::path path_from_utf8(std::string_view text) { return std::filesystem::path(wide::from_utf8(text)); }

std::string path_to_utf8(const std::filesystem::path& path) { return wide::to_utf8(path.native()); }

std::filesystem::path executable_path() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return std::filesystem::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

int process_id() { return static_cast<int>(::GetCurrentProcessId()); }

std::tm local_time(std::time_t t) {
  std::tm tm{};
  ::localtime_s(&tm, &t);
  return tm;
}

std::vector<std::string> arguments(int argc, char** argv) {
  int count = 0;
  std::unique_ptr<wchar_t*, decltype(&::LocalFree)> wide_argv(::CommandLineToArgvW(::GetCommandLineW(), &count),
                                                               &::LocalFree);
  if (!wide_argv || count != argc) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(wide::to_utf8(wide_argv.get()[i]));
  return out;
}

void ignore_broken_pipes() {}

void prepare_process() {
  ::SetConsoleOutputCP(CP_UTF8);
  // A crashing child shows no dialog that would keep it from exiting.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

std::optional<WriteFailure> replace_file(const std::filesystem::path& file, std::string_view text) {
  std::filesystem::path tmp = file;
  tmp += ".tmp-" + std::to_string(::GetCurrentProcessId());
  // The folder's permissions (under the profile, the user's alone) apply to the new file.
  HANDLE h = ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return WriteFailure{tmp, error_message(static_cast<int>(::GetLastError()))};
  bool ok = true;
  while (ok && !text.empty()) {
    DWORD written = 0;
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
    ok = ::WriteFile(h, text.data(), n, &written, nullptr) && written > 0;
    text.remove_prefix(written);
  }
  ok = ok && ::FlushFileBuffers(h);
  DWORD err = ok ? 0 : ::GetLastError();
  ::CloseHandle(h);
  if (ok && !::MoveFileExW(tmp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    err = ::GetLastError();
  }
  if (!ok) {
    ::DeleteFileW(tmp.c_str());
    return WriteFailure{file, error_message(static_cast<int>(err))};
  }
  return std::nullopt;
}

std::string error_message(int error_number) {
  wchar_t* text = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(error_number), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n == 0 || !text) return "error " + std::to_string(error_number);
  std::wstring message(text, n);
  ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                              message.back() == L'.'))
    message.pop_back();
  return wide::to_utf8(message);
}

}  // namespace corvane::platform

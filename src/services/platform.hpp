#pragma once
// What the operating system decides and the server only asks: the user's folders, the
// environment, the program's own file, the running process. Text is UTF-8 everywhere in the
// server; on Windows these functions convert at the system call (the system's UTF-16), so paths
// and values with non-ASCII characters survive. Implemented in platform_posix.cpp and
// platform_win.cpp.
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform {

// The user's home folder: $HOME, else the password database's entry (POSIX); the profile
// folder, %USERPROFILE% (Windows). The current folder when there is none.
std::filesystem::path home_directory();

// The interpreter that runs kernels when neither a flag nor CORVANE_PYTHON names one, looked up
// on PATH: "python3" (POSIX), "python.exe" (Windows).
std::string default_python();

// An environment variable's value; nullopt when it is not set.
std::optional<std::string> get_env(const std::string& name);
void set_env(const std::string& name, const std::string& value);
// The whole environment, by name.
std::map<std::string, std::string> environment();
// Overrides applied to the current environment, as the "NAME=value" strings a child is given
// (on Windows an override replaces a variable whose name differs only in case).
std::vector<std::string> environment_with(const std::map<std::string, std::string>& overrides);

// Separator of PATH-like lists: ':' or ';'.
char path_list_separator();
// Parts joined into a PATH-like list; empty parts are left out (an empty entry would name the
// working folder).
inline std::string join_path_list(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += path_list_separator();
    out += part;
  }
  return out;
}

// UTF-8 text as a path and back (std::filesystem reads narrow text in the ANSI code page on
// Windows).
std::filesystem::path path_from_utf8(std::string_view text);
std::string path_to_utf8(const std::filesystem::path& path);

// The running program's own file; empty when it cannot be found.
std::filesystem::path executable_path();

int process_id();
std::tm local_time(std::time_t t);

// The command line as UTF-8 (Windows passes main() the ANSI code page's rendering).
std::vector<std::string> arguments(int argc, char** argv);

// A write to a pipe or socket whose reader has gone fails instead of ending the process (POSIX:
// SIGPIPE ignored unless someone handles it; nothing to do on Windows).
void ignore_broken_pipes();

// Once at start: a peer or child that goes away while being written to must not end the process
// (POSIX: SIGPIPE ignored), many connections need many descriptors (POSIX: the soft limit raised),
// and the console shows UTF-8 (Windows).
void prepare_process();

// Replaces `file` with `text` so that a reader sees the old content or the new, never a part:
// written to `file` + ".tmp-<pid>" (readable by the user alone on POSIX), flushed to the disk,
// then renamed over it. On failure, which file failed and why.
struct WriteFailure {
  std::filesystem::path file;
  std::string reason;
};
std::optional<WriteFailure> replace_file(const std::filesystem::path& file, std::string_view text);

// The reason for a system error number (errno on POSIX, GetLastError() on Windows).
std::string error_message(int error_number);

}  // namespace corvane::platform

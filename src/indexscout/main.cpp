// indexscout: command-line access to the package-index client, JSON on stdout.
#include "indexscout/indexscout.hpp"
#include "services/logging.hpp"
#include "services/platform.hpp"
#include "services/settings.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/serialize.hpp>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>

namespace {

namespace asio = boost::asio;
namespace json = boost::json;

constexpr const char* kUsage = R"(usage: indexscout [--python PATH] [--log-level LEVEL] COMMAND ARGUMENTS...

Answers questions about Python packages on the package indexes configured in
~/.corvane/settings.json and in the local Python environment. Answers are JSON on stdout.

commands:
  versions NAME [--index URL]        versions of a project, newest first
  extras NAME VERSION [--index URL]  extras that a version declares
  deps NAME VERSION [--index URL]    requirements of a version
  find NAME [VERSION]                URL of the first index holding the project (or version), or null
  check NAME [SPEC] [--extra E]...   installed version if it satisfies SPEC and the extras, or null

options:
  --index URL        ask only this index instead of the configured ones
  --extra E          an extra the installed distribution must provide (repeatable)
  --python PATH      interpreter of the local environment (default: $CORVANE_PYTHON, else python3)
  --log-level LEVEL  debug, info, warning or error (default: warning); logs go to stderr
  --help             show this text

exit status: 0 with an answer on stdout, 1 when the query failed (see stderr), 2 for a usage error.
)";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::optional<std::string> index;
  std::vector<std::string> extras;
  std::string python;
  std::string log_level = "warning";
  bool help = false;
};

Args parse_args(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const std::string& name) -> std::string {
      if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0)
        return arg.substr(name.size() + 1);
      if (i + 1 >= argc) throw UsageError(name + " needs a value");
      return argv[++i];
    };
    auto is = [&](const std::string& name) { return arg == name || arg.rfind(name + "=", 0) == 0; };
    if (arg == "--help" || arg == "-h") a.help = true;
    else if (is("--index")) a.index = value("--index");
    else if (is("--extra")) a.extras.push_back(value("--extra"));
    else if (is("--python")) a.python = value("--python");
    else if (is("--log-level")) a.log_level = value("--log-level");
    else if (arg == "--") {
      for (++i; i < argc; ++i) a.positional.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') throw UsageError("unknown option " + arg);
    else a.positional.push_back(arg);
  }
  if (a.help) return a;
  if (a.positional.empty()) throw UsageError("missing command");
  a.command = a.positional.front();
  a.positional.erase(a.positional.begin());

  auto arity = [&](std::size_t min, std::size_t max) {
    if (a.positional.size() < min || a.positional.size() > max)
      throw UsageError("wrong number of arguments for " + a.command);
  };
  if (a.command == "versions") arity(1, 1);
  else if (a.command == "extras" || a.command == "deps") arity(2, 2);
  else if (a.command == "find") arity(1, 2);
  else if (a.command == "check") arity(1, 2);
  else throw UsageError("unknown command " + a.command);
  if (a.index && (a.command == "find" || a.command == "check")) throw UsageError("--index does not apply to " + a.command);
  if (!a.extras.empty() && a.command != "check") throw UsageError("--extra applies to check only");
  spdlog::level::level_enum level;
  if (!corvane::logging::parse_level(a.log_level, level)) throw UsageError("unknown log level " + a.log_level);
  return a;
}

std::filesystem::path base_dir() { return corvane::platform::home_directory() / ".corvane"; }

json::value strings(const std::vector<std::string>& v) {
  json::array a;
  for (const auto& s : v) a.emplace_back(s);
  return a;
}

json::value optional_string(const std::optional<std::string>& s) { return s ? json::value(*s) : json::value(nullptr); }

indexscout::awaitable<json::value> run_query(indexscout::Indexscout& client, const Args& a) {
  // Results are named before use: GCC 12 mishandles temporaries inside co_await expressions.
  const std::string& name = a.positional[0];
  json::value answer;
  if (a.command == "versions") {
    std::vector<std::string> versions = co_await client.get_versions(name, a.index);
    answer = strings(versions);
  } else if (a.command == "extras") {
    std::vector<std::string> extras = co_await client.get_extras(name, a.positional[1], a.index);
    answer = strings(extras);
  } else if (a.command == "deps") {
    std::vector<indexscout::Dependency> deps = co_await client.get_dependencies(name, a.positional[1], a.index);
    json::array records;
    for (const auto& d : deps) records.emplace_back(indexscout::to_json(d));
    answer = std::move(records);
  } else if (a.positional.size() == 2) {
    std::optional<std::string> url = co_await client.find_repo_for_package_version(name, a.positional[1]);
    answer = optional_string(url);
  } else {
    std::optional<std::string> url = co_await client.find_repo_for_package(name);
    answer = optional_string(url);
  }
  co_await client.close();
  co_return answer;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  try {
    // UTF-8 arguments on every system (Windows hands main() its ANSI code page's rendering).
    std::vector<std::string> utf8 = corvane::platform::arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& a : utf8) pointers.push_back(a.data());
    args = parse_args(static_cast<int>(pointers.size()), pointers.data());
  } catch (const UsageError& e) {
    std::cerr << "indexscout: " << e.what() << "\n" << "try 'indexscout --help'\n";
    return 2;
  }
  if (args.help) {
    std::cout << kUsage;
    return 0;
  }

  corvane::logging::Options log_options;
  corvane::logging::parse_level(args.log_level, log_options.level);
  corvane::logging::configure(log_options);

  try {
    corvane::SettingsManager settings(base_dir());
    indexscout::IndexscoutOptions options;
    options.python_executable = args.python;
    indexscout::Indexscout client(&settings, options);

    json::value answer;
    if (args.command == "check") {
      std::string spec = args.positional.size() > 1 ? args.positional[1] : "";
      std::optional<std::vector<std::string>> extras;
      if (!args.extras.empty()) extras = args.extras;
      answer = optional_string(client.check_specifier_in_dist(args.positional[0], spec, extras));
    } else {
      asio::io_context io;
      std::exception_ptr failure;
      asio::co_spawn(io, run_query(client, args), [&](std::exception_ptr e, json::value v) {
        failure = e;
        answer = std::move(v);
      });
      io.run();
      if (failure) std::rethrow_exception(failure);
    }
    std::cout << json::serialize(answer) << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "indexscout: " << e.what() << "\n";
    return 1;
  }
}

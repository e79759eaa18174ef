// Packages: the cache, pip's resolver, the install workflow and the editors' package requests,
// with the real pip of /usr/bin/python3 against the local package index of the indexscout tests
// (wheels and source archives built on request; nothing leaves 127.0.0.1).
#include "support.hpp"

#include "../indexscout/support.hpp"

#include "packages/dependency_resolver.hpp"
#include "packages/package_manager.hpp"
#include "services/pipe_process.hpp"
#include "switchyard/packages.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>

#include <signal.h>
#include <sys/wait.h>

#include <fstream>

namespace switchyard::testing {
namespace {

namespace fs = std::filesystem;
using corvane::InstallEvent;

std::string read_file(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Running: neither gone nor a zombie nobody reaped yet.
bool process_alive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::string status = read_file("/proc/" + std::to_string(pid) + "/stat");
  auto close = status.rfind(')');
  return !(close != std::string::npos && close + 2 < status.size() && status[close + 2] == 'Z');
}

// Waits (a minute at most) for the process to be gone or a zombie.
bool process_gone(pid_t pid) {
  for (int i = 0; i < 6000; ++i) {
    if (!process_alive(pid)) return true;
    ::usleep(10000);
  }
  return false;
}

class Packages : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    // pip as the tests want it: this machine's pip configuration and proxies stay out.
    ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    ::setenv("PIP_CONFIG_FILE", "/dev/null", 1);
    ::setenv("PIP_ROOT_USER_ACTION", "ignore", 1);
    ::unsetenv("PIP_FIND_LINKS");
    ::setenv("PIP_CACHE_DIR", (home / "pip-cache").c_str(), 1);
    auto& index = indexscout::test::IndexServer::instance();
    server->package_manager.python_executable = "/usr/bin/python3";
    json::object primary{{"url", index.simple_url("packages")}, {"primary", true}};
    server->settings_manager.set("package_management.pip.index_urls", json::array{primary});
    json::object api{{"index_url", index.simple_url("packages")}, {"api_pattern", index.api_pattern("packages")}};
    server->settings_manager.set("package_management.pip_api", json::array{api});
  }

  corvane::PackageManager& pm() { return server->package_manager; }

  static awaitable<void> collect(std::unique_ptr<corvane::InstallStream> stream, std::vector<InstallEvent>& out) {
    while (auto event = co_await stream->next()) out.push_back(*event);
  }
  std::vector<InstallEvent> install(std::string name, std::string version, std::vector<std::string> extras = {}) {
    std::vector<InstallEvent> events;
    run(collect(pm().install_package_to_cache(name, version, extras), events), std::chrono::seconds(60));
    return events;
  }
  static std::vector<std::string> of(const std::vector<InstallEvent>& events, std::string_view type) {
    std::vector<std::string> out;
    for (const auto& e : events)
      if (e.type == type) out.push_back(e.data);
    return out;
  }

  // Runs every task to completion side by side.
  void run_together(std::vector<awaitable<void>> tasks, std::chrono::seconds limit = std::chrono::seconds(90)) {
    std::size_t left = tasks.size();
    std::exception_ptr error;
    for (auto& task : tasks)
      asio::co_spawn(ioc, std::move(task), [&](std::exception_ptr e) {
        if (e) error = e;
        --left;
      });
    ioc.restart();
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (left > 0 && std::chrono::steady_clock::now() < deadline) ioc.run_one_for(std::chrono::milliseconds(10));
    ASSERT_EQ(left, 0u) << "tasks did not finish in time";
    if (error) std::rethrow_exception(error);
  }

  static json::object entry(std::string name, std::string version, std::vector<std::string> extras = {},
                            std::string status = "pending") {
    json::array e;
    for (auto& x : extras) e.emplace_back(x);
    return json::object{{"name", name}, {"version", version}, {"extras", e}, {"status", status}};
  }
  json::array& packages(const std::string& wb) { return server->workbooks.at(wb).packages.as_array(); }
  std::string status(const std::string& wb, std::string_view name) {
    json::object* e = _find_package_by_name(packages(wb), name);
    return e ? std::string(get_str(*e, "status")) : "<absent>";
  }
  static std::vector<std::string> pip_lines(const FakePeer& ide, std::string_view output_type) {
    std::vector<std::string> out;
    for (auto& m : ide.of_type("pip_output"))
      if (get_str(m, "output_type") == output_type) out.emplace_back(get_str(m, "message"));
    return out;
  }
  static bool contains(const std::vector<std::string>& lines, std::string_view fragment) {
    for (auto& l : lines)
      if (l.find(fragment) != std::string::npos) return true;
    return false;
  }
  // A distribution the kernels' interpreter sees as installed.
  void plant_distribution(const std::string& name, const std::string& version) {
    fs::path site = home / "site";
    fs::path dist_info = site / (name + "-" + version + ".dist-info");
    fs::create_directories(dist_info);
    std::ofstream(dist_info / "METADATA") << "Metadata-Version: 2.1\nName: " << name << "\nVersion: " << version << "\n";
    ::setenv("PYTHONPATH", site.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("PYTHONPATH");
    ServerTest::TearDown();
  }
};

// ---- the cache -------------------------------------------------------------------------------

TEST_F(Packages, CacheInstallsAnEntryOnceAcrossAskersAndReplacesWhatIsNotFinished) {
  // Two askers at once: one runs pip, the other waits and finds the entry cached.
  std::vector<InstallEvent> a, b;
  std::vector<awaitable<void>> both;
  both.push_back(collect(pm().install_package_to_cache("PlainPkg", "1.0", {}), a));
  both.push_back(collect(pm().install_package_to_cache("plainpkg", "1.0", {}), b));
  run_together(std::move(both));
  const fs::path entry = pm().package_cache / "plainpkg" / "1.0";
  for (auto* events : {&a, &b}) {
    EXPECT_EQ(of(*events, "path"), std::vector<std::string>{entry.string()});
    EXPECT_EQ(of(*events, "success").size(), 1u);
    EXPECT_TRUE(of(*events, "error").empty());
  }
  EXPECT_EQ(of(a, "cached").size() + of(b, "cached").size(), 1u);
  EXPECT_FALSE(of(of(a, "cached").empty() ? a : b, "stdout").empty());  // pip's own lines
  EXPECT_EQ(read_file(entry / "plainpkg" / "__init__.py"), "VALUE = 'plain 1.0'\n");
  EXPECT_TRUE(fs::exists(entry / corvane::PackageManager::kMarkerFile));

  // A folder without its marker and a leftover temporary folder: neither counts, both go.
  const fs::path stale = pm().package_cache / "plainpkg" / "2.0";
  fs::create_directories(stale / "plainpkg");
  std::ofstream(stale / "plainpkg" / "__init__.py") << "half written";
  fs::create_directories(pm().package_cache / "plainpkg" / ".tmp~2.0~stale");
  EXPECT_FALSE(pm().is_cached(stale));
  auto events = install("plainpkg", "2.0");
  EXPECT_TRUE(of(events, "cached").empty());
  EXPECT_EQ(read_file(stale / "plainpkg" / "__init__.py"), "VALUE = 'plain 2.0'\n");
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(pm().package_cache / "plainpkg")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1.0", "2.0"}));

  // Extras make an entry of their own, sorted and normalised.
  EXPECT_EQ(pm().entry_path("Extra_Pkg", "1.0", {"More", "a.b"}), pm().package_cache / "extra-pkg" / "1.0[a-b,more]");
}

TEST_F(Packages, BadNamesVersionsAndExtrasNeverReachPipOrTheFileSystem) {
  struct Case {
    std::string name, version;
    std::vector<std::string> extras;
    std::string error;
  } cases[] = {
      {"../../etc", "1.0", {}, "Invalid package name '../../etc'"},
      {"plainpkg", "1.0 --index-url http://evil", {}, "Invalid version '1.0 --index-url http://evil' for package 'plainpkg'"},
      {"plainpkg", "../1.0", {}, "Invalid version '../1.0' for package 'plainpkg'"},
      {"plainpkg", "1.0", {"a]==0;x"}, "Invalid extra 'a]==0;x' for package 'plainpkg'"},
      {"-e", "1.0", {}, "Invalid package name '-e'"},
  };
  for (const auto& c : cases) {
    auto events = install(c.name, c.version, c.extras);
    ASSERT_EQ(events.size(), 1u) << c.name;
    EXPECT_EQ(events[0].type, "error");
    EXPECT_EQ(events[0].data, c.error);
  }
  EXPECT_FALSE(fs::exists(pm().package_cache));
}

TEST_F(Packages, InstallersNeverOutliveTheirStreamTheirTimeLimitOrTheServer) {
  const fs::path pid_file = home / "build.pid";
  ::setenv("SLOWBUILD_PID_FILE", pid_file.c_str(), 1);
  // Reads events until pip runs the build step (a grandchild of the stream's pip), then waits
  // for the build to say who it is.
  auto until_building = [&](corvane::InstallStream& stream, std::vector<InstallEvent>& seen) -> awaitable<void> {
    while (true) {
      auto event = co_await stream.next();
      if (!event) co_return;
      seen.push_back(*event);
      if (event->data.find("Building wheel for slowbuild") != std::string::npos) break;
    }
    asio::steady_timer pause(co_await asio::this_coro::executor);
    for (int i = 0; i < 3000 && (!fs::exists(pid_file) || read_file(pid_file).empty()); ++i) {
      pause.expires_after(std::chrono::milliseconds(10));
      co_await pause.async_wait(asio::use_awaitable);
    }
  };
  auto build_pid = [&] { return static_cast<pid_t>(std::stoi(read_file(pid_file))); };

  // 1. The stream goes away mid-build: the installer's whole group dies, nothing is cached.
  {
    auto stream = pm().install_package_to_cache("slowbuild", "1.0", {});
    std::vector<InstallEvent> seen;
    run(until_building(*stream, seen), std::chrono::seconds(60));
    ASSERT_TRUE(fs::exists(pid_file));
    pid_t pid = build_pid();
    stream.reset();
    EXPECT_TRUE(process_gone(pid));
    EXPECT_FALSE(pm().is_cached(pm().entry_path("slowbuild", "1.0", {})));
    for (auto& e : fs::directory_iterator(pm().package_cache / "slowbuild"))
      ADD_FAILURE() << "left behind: " << e.path();
  }
  // 2. The time limit.
  fs::remove(pid_file);
  server->settings_manager.set(corvane::PackageManager::kTimeLimitKey, 3);
  std::vector<InstallEvent> events;
  {
    auto stream = pm().install_package_to_cache("slowbuild", "1.0", {});
    run(until_building(*stream, events), std::chrono::seconds(60));
    advance(std::chrono::milliseconds(2999));
    EXPECT_TRUE(process_alive(build_pid()));
    advance(std::chrono::milliseconds(1));
    run(collect(std::move(stream), events), std::chrono::seconds(60));
  }
  EXPECT_EQ(of(events, "error"),
            std::vector<std::string>{"Installing slowbuild==1.0 took longer than 3 s; the installer was stopped"});
  EXPECT_TRUE(of(events, "path").empty());
  EXPECT_TRUE(process_gone(build_pid()));
  EXPECT_EQ(pm().processes().running(), 0u);

  // 3. The server stops.
  fs::remove(pid_file);
  server->settings_manager.set(corvane::PackageManager::kTimeLimitKey, 600);
  {
    auto stream = pm().install_package_to_cache("slowbuild", "1.0", {});
    std::vector<InstallEvent> seen;
    run(until_building(*stream, seen), std::chrono::seconds(60));
    pid_t pid = build_pid();
    run(server->shutdown_event());
    EXPECT_TRUE(process_gone(pid));
    run(collect(std::move(stream), seen), std::chrono::seconds(10));
    EXPECT_EQ(of(seen, "error"), std::vector<std::string>{"pip was killed by signal 9"});
  }
  EXPECT_EQ(of(install("plainpkg", "1.0"), "error"), std::vector<std::string>{"The server is stopping"});
  ::unsetenv("SLOWBUILD_PID_FILE");
}

// ---- the resolver ----------------------------------------------------------------------------

TEST_F(Packages, ResolverReportsPipsTreeWithSourcesAndWhatTheKernelsAlreadyHave) {
  plant_distribution("fromenv", "1.0");
  corvane::DependencyResolver resolver(pm());
  std::vector<corvane::PackageSpec> specs = {{"WithDep", "1.0", {}},
                                             {"extrapkg", "1.0", {"more"}},
                                             {"usesneedsdep", "1.0", {}},
                                             {"fromenv", "1.0", {}}};
  corvane::Resolution r = run(resolver.resolve(specs), std::chrono::seconds(60));
  ASSERT_TRUE(r.success) << (r.errors.empty() ? "" : r.errors[0]);
  EXPECT_TRUE(r.conflicts.empty());
  std::map<std::string, const corvane::ResolvedPackage*> by_name;
  for (const auto& p : r.packages) by_name[p.spec.name] = &p;
  ASSERT_EQ(by_name.size(), 8u);
  auto check = [&](const std::string& name, bool direct, std::vector<std::string> source, bool from_dist) {
    ASSERT_TRUE(by_name.count(name)) << name;
    const auto& p = *by_name[name];
    EXPECT_EQ(p.is_direct, direct) << name;
    EXPECT_EQ(p.source, source) << name;
    EXPECT_EQ(p.spec.from_dist, from_dist) << name;
  };
  check("WithDep", true, {"WithDep"}, false);  // named as the workbook names it
  check("plainpkg", false, {"WithDep"}, false);
  check("extrapkg", true, {"extrapkg"}, false);
  check("extradep", false, {"extrapkg"}, false);  // reached through the requested extra only
  check("needsdep", false, {"usesneedsdep"}, false);
  check("builddep", false, {"usesneedsdep"}, false);
  check("fromenv", true, {"fromenv"}, true);
  EXPECT_EQ(by_name["plainpkg"]->spec.version, "2.0");
  EXPECT_EQ(by_name["extrapkg"]->spec.extras, std::vector<std::string>{"more"});

  // A version that does not exist: pip's error lines, not its whole output.
  r = run(resolver.resolve({{"plainpkg", "9.9", {}}}), std::chrono::seconds(60));
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.errors, (std::vector<std::string>{
                          "Could not find a version that satisfies the requirement plainpkg==9.9 (from versions: 1.0, 2.0)",
                          "No matching distribution found for plainpkg==9.9"}));
  // A conflict.
  r = run(resolver.resolve({{"needsplain2", "1.0", {}}, {"plainpkg", "1.0", {}}}), std::chrono::seconds(60));
  EXPECT_FALSE(r.success);
  EXPECT_TRUE(contains(r.conflicts, "needsplain2 1.0 depends on plainpkg>=2.0")) << r.conflicts.size();
  EXPECT_TRUE(contains(r.errors, "Version conflict: needsplain2 1.0 depends on plainpkg>=2.0"));
}

// ---- the workflow ----------------------------------------------------------------------------

TEST_F(Packages, WorkflowInstallsRetriesRecordsErrorsAndServesTheSecondRunFromTheCache) {
  plant_distribution("fromenv", "1.0");
  auto kernel = connect("kernel", "wb");
  auto addin = connect("addin", "wb");
  auto ide = connect("ide", "main");
  json::array list{entry("plainpkg", "1.0"),
                   entry("usesneedsdep", "1.0"),    // its dependency installs only on a retry
                   entry("neverinstalls", "1.0"),   // never installs
                   entry("extrapkg", "1.0", {"more"}),
                   entry("fromenv", "1.0"),         // the kernels' environment has it
                   entry("../../x", "1.0"),         // refused before anything runs
                   entry("gone", "1.0", {}, "to_remove")};
  server->workbooks.at("wb").packages = list;
  run(handle_workbook_packages_install(*server, "wb"), std::chrono::seconds(120));

  EXPECT_EQ(status("wb", "plainpkg"), "installed");
  EXPECT_EQ(status("wb", "usesneedsdep"), "installed");  // its dependency's error went with the retry
  EXPECT_EQ(status("wb", "neverinstalls"), "error");
  EXPECT_EQ(status("wb", "extrapkg"), "installed");
  EXPECT_EQ(status("wb", "fromenv"), "installed");
  EXPECT_EQ(status("wb", "../../x"), "error");
  EXPECT_EQ(status("wb", "gone"), "<absent>");
  EXPECT_TRUE(has_log(spdlog::level::info, "Removed 1 packages marked for removal"));

  const json::object& errors = server->workbooks.at("wb").package_errors.as_object();
  EXPECT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors.at("../../x"), json::array{"Invalid package name '../../x'"});
  EXPECT_TRUE(errors.contains("neverinstalls"));
  EXPECT_TRUE(contains({std::string(errors.at("neverinstalls").as_array().back().as_string())}, "outside"));

  // Console: resolution, the environment skip, the failure, one successful retry round and one
  // that changed nothing, the summary.
  auto stdout_lines = pip_lines(*ide, "stdout");
  EXPECT_EQ(stdout_lines.at(0), "Resolving dependencies for 5 package(s)...");
  auto success = pip_lines(*ide, "success");
  EXPECT_EQ(success.at(0), "Resolved 8 package(s) including dependencies");
  EXPECT_TRUE(contains(success, "✓ fromenv==1.0 (from current environment)"));
  EXPECT_TRUE(contains(success, "Installed extrapkg[more]==1.0 to " + (pm().package_cache / "extrapkg" / "1.0[more]").string()));
  EXPECT_TRUE(contains(success, "Retry succeeded: needsdep==1.0 to "));
  auto error_lines = pip_lines(*ide, "error");
  EXPECT_TRUE(contains(error_lines, "Invalid package name '../../x'"));
  EXPECT_TRUE(contains(error_lines, "1 package(s) failed to install after retries:"));
  EXPECT_TRUE(contains(error_lines, "  - neverinstalls==1.0: "));
  std::size_t retries = 0;
  for (auto& m : ide->of_type("pip_output"))
    if (!m.contains("output_type")) {
      ++retries;
      EXPECT_TRUE(get_str(m, "message").ends_with("failed package(s) with enhanced environment..."));
    }
  EXPECT_EQ(retries, 2u);
  EXPECT_FALSE(fs::exists(pm().package_cache / "fromenv"));  // never handed to the installer

  const json::array deps = server->workbooks.at("wb").resolved_deps.as_array();
  ASSERT_EQ(deps.size(), 8u);
  for (const auto& d : deps) {
    const json::object& o = d.as_object();
    EXPECT_EQ(o.at("is_error").as_bool(), get_str(o, "name") == "neverinstalls");
    EXPECT_EQ(o.size(), 7u);
    EXPECT_EQ(o.begin()->key(), "name");
  }

  // The kernel gets the paths, which exist; the add-in the list; the editors the end.
  ASSERT_EQ(kernel->of_type("set_package_paths").size(), 1u);
  json::object set = kernel->of_type("set_package_paths")[0];
  EXPECT_TRUE(set.at("old_paths").as_array().empty());
  const json::array first_paths = set.at("new_paths").as_array();
  EXPECT_EQ(first_paths.size(), 6u);  // plainpkg, usesneedsdep, extrapkg, extradep, builddep, needsdep
  for (const auto& p : first_paths) EXPECT_TRUE(fs::exists(fs::path(std::string(p.as_string())))) << p;
  EXPECT_TRUE(kernel->of_type("unload_and_clear_paths").empty());
  ASSERT_EQ(addin->of_type("save_workbook_packages").size(), 1u);
  EXPECT_EQ(addin->of_type("save_workbook_packages")[0].at("packages"), json::value(packages("wb")));
  auto complete = ide->of_type("package_installation_complete");
  ASSERT_EQ(complete.size(), 1u);
  EXPECT_EQ(get_str(complete[0], "message"), "✓ Installation complete. 4 package(s) installed.");
  EXPECT_EQ(ide->of_type("package_paths_updated").at(0).at("paths"), json::value(first_paths));
  EXPECT_EQ(server->workbooks.at("wb").installed_packages, json::value(packages("wb")));

  // Second run: the old paths leave the kernel first, everything comes from the cache.
  for (auto* peer : {kernel.get(), addin.get(), ide.get()}) peer->frames.clear();
  run(handle_workbook_packages_install(*server, "wb"), std::chrono::seconds(120));
  ASSERT_FALSE(kernel->frames.empty());
  EXPECT_EQ(kernel->messages().front(), (json::object{{"type", "unload_and_clear_paths"}, {"paths", first_paths}}));
  set = kernel->of_type("set_package_paths").at(0);
  EXPECT_EQ(set.at("old_paths"), json::value(first_paths));
  EXPECT_EQ(set.at("new_paths").as_array().size(), 6u);
  auto cached = pip_lines(*ide, "cached");
  EXPECT_TRUE(contains(cached, "Using cached plainpkg==1.0 from "));
  EXPECT_TRUE(contains(cached, "Retry succeeded: needsdep==1.0 from cache ") || contains(cached, "Using cached needsdep==1.0"));
  EXPECT_EQ(status("wb", "neverinstalls"), "error");
}

TEST_F(Packages, WorkflowEndsEarlyWithoutPackagesAndReportsAFailedResolution) {
  auto kernel = connect("kernel", "wb");
  auto addin = connect("addin", "wb");
  auto ide = connect("ide", "main");
  // Nothing at all: a log line, no message to anybody.
  run(handle_workbook_packages_install(*server, "wb"));
  EXPECT_TRUE(has_log(spdlog::level::info, "No packages to install for workbook wb"));
  EXPECT_TRUE(kernel->frames.empty() && addin->frames.empty() && ide->frames.empty());
  EXPECT_EQ(server->workbooks.at("wb").installed_packages, json::value(json::array()));

  // Only removals, with paths of an earlier run: unloaded, and the workbook stores an empty list.
  server->workbooks.at("wb").packages = json::array{entry("a", "1.0", {}, "to_remove")};
  server->workbooks.at("wb").package_paths = json::array{"/old/path"};
  run(handle_workbook_packages_install(*server, "wb"));
  EXPECT_EQ(kernel->frames, (std::vector<std::string>{R"({"type":"unload_and_clear_paths","paths":["/old/path"]})"}));
  EXPECT_EQ(addin->frames, (std::vector<std::string>{R"({"type":"save_workbook_packages","packages":[]})"}));
  EXPECT_EQ(ide->frames.back(),
            R"({"type":"package_installation_complete","workbook_id":"wb","message":"✓ All packages removed. No packages to install."})");
  EXPECT_EQ(server->workbooks.at("wb").package_paths, json::value(json::array()));

  // A version that does not exist: every entry "error", each of pip's errors on the consoles.
  ide->frames.clear();
  server->workbooks.at("wb").packages = json::array{entry("plainpkg", "9.9"), entry("extradep", "1.0")};
  run(handle_workbook_packages_install(*server, "wb"), std::chrono::seconds(60));
  EXPECT_EQ(status("wb", "plainpkg"), "error");
  EXPECT_EQ(status("wb", "extradep"), "error");
  EXPECT_EQ(pip_lines(*ide, "error"), (std::vector<std::string>{
                                          "Could not find a version that satisfies the requirement plainpkg==9.9 (from versions: 1.0, 2.0)",
                                          "No matching distribution found for plainpkg==9.9"}));
  auto updates = ide->of_type("workbook_packages_update");
  EXPECT_FALSE(updates.back().contains("package_errors"));
  EXPECT_TRUE(has_log(spdlog::level::err,
                      "Dependency resolution failed for workbook wb: ['Could not find a version that satisfies the "
                      "requirement plainpkg==9.9 (from versions: 1.0, 2.0)', 'No matching distribution found for "
                      "plainpkg==9.9']"));
  EXPECT_TRUE(addin->of_type("save_workbook_packages").size() == 1u);  // only the earlier one

  // No install path at all (the kernels' environment has it): the old paths still leave the
  // kernel, and no new ones come.
  plant_distribution("fromenv", "1.0");
  kernel->frames.clear();
  ide->frames.clear();
  server->workbooks.at("wb").packages = json::array{entry("fromenv", "1.0")};
  server->workbooks.at("wb").package_paths = json::array{"/old/two"};
  run(handle_workbook_packages_install(*server, "wb"), std::chrono::seconds(60));
  EXPECT_EQ(kernel->frames, (std::vector<std::string>{R"({"type":"unload_and_clear_paths","paths":["/old/two"]})"}));
  EXPECT_TRUE(ide->of_type("package_paths_updated").empty());
  EXPECT_EQ(status("wb", "fromenv"), "installed");
  EXPECT_EQ(get_str(ide->of_type("package_installation_complete").at(0), "message"),
            "✓ Installation complete. 1 package(s) installed.");
}

TEST_F(Packages, RetriedDirectPackagesEndCleanAndFailedDependenciesMarkWhoNeedsThem) {
  auto ide = connect("ide", "main");
  server->workbooks.at("wb").packages =
      json::array{entry("needsdep", "1.0"), entry("builddep", "1.0"), entry("usesnever", "1.0")};
  run(handle_workbook_packages_install(*server, "wb"), std::chrono::seconds(120));
  // needsdep failed, then installed on a retry: its own errors are gone.
  EXPECT_EQ(status("wb", "needsdep"), "installed");
  EXPECT_TRUE(contains(pip_lines(*ide, "error"), "needsdep==1.0: "));
  EXPECT_TRUE(contains(pip_lines(*ide, "success"), "Retry succeeded: needsdep==1.0 to "));
  // usesnever installed, its dependency never did: it carries the dependency's error.
  EXPECT_EQ(status("wb", "usesnever"), "installed_with_errors");
  const json::object& errors = server->workbooks.at("wb").package_errors.as_object();
  ASSERT_EQ(errors.size(), 1u);
  const json::array& texts = errors.at("usesnever").as_array();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_TRUE(std::string_view(texts[0].as_string()).starts_with("Dependency 'neverdep':\n"));
  EXPECT_TRUE(std::string_view(texts.back().as_string()).find("outside the target directory") != std::string::npos);
  EXPECT_EQ(get_str(ide->of_type("package_installation_complete").at(0), "message"),
            "✓ Installation complete. 3 package(s) installed.");
  for (const auto& d : server->workbooks.at("wb").resolved_deps.as_array())
    EXPECT_EQ(d.as_object().at("is_error").as_bool(), get_str(d.as_object(), "name") == "neverdep");
}

TEST_F(Packages, RunsOfOneWorkbookTakeTurnsAndCollapseWhileOtherWorkbooksGoAlongside) {
  auto ide = connect("ide", "main");
  for (const char* wb : {"one", "two"}) server->workbooks.at(wb).packages = json::array{entry("plainpkg", "1.0")};
  install("plainpkg", "1.0");  // cached: each run is then mostly pip's resolver
  // Four requests for "one" while its first run goes: one further run serves the other three.
  std::vector<awaitable<void>> tasks;
  for (int i = 0; i < 4; ++i) tasks.push_back(handle_workbook_packages_install(*server, "one"));
  tasks.push_back(handle_workbook_packages_install(*server, "two"));
  run_together(std::move(tasks));
  std::vector<std::string> order;  // "R" resolving started, "C" complete, per workbook
  for (auto& m : ide->messages()) {
    std::string wb(get_str(m, "workbook_id"));
    if (get_str(m, "type") == "pip_output" && get_str(m, "message").starts_with("Resolving dependencies"))
      order.push_back("R" + wb);
    if (get_str(m, "type") == "package_installation_complete") order.push_back("C" + wb);
  }
  std::vector<std::string> one, two;
  for (auto& o : order) (o.ends_with("one") ? one : two).push_back(o.substr(0, 1));
  EXPECT_EQ(one, (std::vector<std::string>{"R", "C", "R", "C"}));
  EXPECT_EQ(two, (std::vector<std::string>{"R", "C"}));
  // "two" started before "one"'s first run ended.
  auto pos = [&](const std::string& s) { return std::find(order.begin(), order.end(), s) - order.begin(); };
  EXPECT_LT(pos("Rtwo"), pos("Cone"));
  EXPECT_EQ(status("one", "plainpkg"), "installed");
  EXPECT_FALSE(packages_install_running(*server, "one"));
}

TEST_F(Packages, ACancelledOrStoppedRunPutsItsEntriesBackAndKillsItsInstaller) {
  const fs::path pid_file = home / "build.pid";
  ::setenv("SLOWBUILD_PID_FILE", pid_file.c_str(), 1);
  auto kernel = connect("kernel", "wb");
  auto ide = connect("ide", "main");
  server->workbooks.at("wb").packages = json::array{entry("plainpkg", "1.0"), entry("slowbuild", "1.0")};
  asio::cancellation_signal cancel;
  bool done = false;
  std::exception_ptr ended;
  asio::co_spawn(ioc, handle_workbook_packages_install(*server, "wb"),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) {
                   ended = e;
                   done = true;
                 }));
  auto building = [&] { return fs::exists(pid_file) && !read_file(pid_file).empty(); };
  ASSERT_TRUE(wait_for(building));
  EXPECT_EQ(status("wb", "slowbuild"), "installing");
  const pid_t pid = static_cast<pid_t>(std::stoi(read_file(pid_file)));
  ide->frames.clear();
  cancel.emit(asio::cancellation_type::terminal);
  ASSERT_TRUE(wait_for([&] { return done; }));
  EXPECT_TRUE(ended);  // the awaiting task sees the cancellation
  EXPECT_TRUE(process_gone(pid));
  EXPECT_EQ(status("wb", "slowbuild"), "pending");
  EXPECT_EQ(status("wb", "plainpkg"), "pending");  // installed, but the run did not get to its end
  EXPECT_TRUE(pm().is_cached(pm().entry_path("plainpkg", "1.0", {})));
  auto updates = ide->of_type("workbook_packages_update");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].at("packages"), json::value(packages("wb")));
  EXPECT_FALSE(pm().is_cached(pm().entry_path("slowbuild", "1.0", {})));
  EXPECT_EQ(server->workbooks.at("wb").installed_packages, json::value(packages("wb")));
  EXPECT_TRUE(kernel->of_type("set_package_paths").empty());
  EXPECT_FALSE(packages_install_running(*server, "wb"));

  // The server stops under a run: its installer dies, and its entries go back to "pending"
  // rather than carrying the killed installer's error.
  fs::remove(pid_file);
  auto addin = connect("addin", "wb");
  done = false;
  asio::co_spawn(ioc, handle_workbook_packages_install(*server, "wb"), [&](std::exception_ptr) { done = true; });
  ASSERT_TRUE(wait_for(building));
  ide->frames.clear();
  run(server->shutdown_event());
  ASSERT_TRUE(wait_for([&] { return done; }));
  EXPECT_TRUE(process_gone(static_cast<pid_t>(std::stoi(read_file(pid_file)))));
  EXPECT_EQ(status("wb", "slowbuild"), "pending");
  EXPECT_EQ(ide->of_type("workbook_packages_update").size(), 1u);
  EXPECT_TRUE(pip_lines(*ide, "error").empty());
  EXPECT_TRUE(addin->of_type("save_workbook_packages").empty());
  EXPECT_TRUE(has_log(spdlog::level::info, "Package installation for workbook wb was interrupted"));
  ::unsetenv("SLOWBUILD_PID_FILE");
}

// ---- state sync and the editors' requests ----------------------------------------------------

TEST_F(Packages, AddinAnswerStartsPendingAndTheEditorsGetTheStoredState) {
  json::object answer = obj(R"({"packages":[{"name":"a","version":"1","status":"installed"},7,
                                            {"name":"b","version":"2"}],"python_paths":["/p"]})");
  auto [list, paths] = get_packages_and_python_paths_from_addin_message(answer);
  EXPECT_EQ(list, json::array({json::object{{"name", "a"}, {"version", "1"}, {"status", "pending"}},
                               json::object{{"name", "b"}, {"version", "2"}, {"status", "pending"}}}));
  EXPECT_EQ(answer.at("packages").as_array()[0].as_object().at("status"), "pending");  // in place
  EXPECT_EQ(paths, json::array{"/p"});
  json::object empty;
  auto [none, no_paths] = get_packages_and_python_paths_from_addin_message(empty);
  EXPECT_TRUE(none.empty() && no_paths.empty());

  auto ide = connect("ide", "main");
  auto other = connect("ide", "other");
  server->workbooks.at("wb").packages = list;
  server->workbooks.at("wb").python_paths = paths;
  json::array given_empty;
  run(_push_packages_and_python_paths(*server, "wb", &given_empty, nullptr, nullptr, ide));
  EXPECT_EQ(ide->frames.back(),
            R"({"type":"workbook_packages_update","workbook_id":"wb","packages":[{"name":"a","version":"1","status":"pending"},)"
            R"({"name":"b","version":"2","status":"pending"}],"python_paths":["/p"],"package_errors":{}})");
  EXPECT_TRUE(other->frames.empty());
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed packages and python paths state to IDE websocket for: wb"));
  run(_push_packages_and_python_paths(*server, "wb"));
  EXPECT_EQ(other->frames.size(), 1u);
  ide->fail_sends = true;
  other->fail_sends = true;
  run(_push_packages_and_python_paths(*server, "wb", nullptr, nullptr, nullptr, ide));
  EXPECT_TRUE(has_log_containing("Error pushing packages and python paths state: "));

  auto addin = connect("addin", "wb");
  dispatch("addin", "wb", obj(R"({"type":"client_sync_packages","packages":[]})"));
  EXPECT_TRUE(addin->frames.empty());
  EXPECT_EQ(server->workbooks.at("wb").packages, json::value(list));
}

TEST_F(Packages, EditorRequestsChangeTheListAnswerQuestionsAndStartTheRun) {
  auto ide = connect("ide", "main");
  auto other = connect("ide", "other");
  auto addin = connect("addin", "wb");
  auto kernel = connect("kernel", "wb");
  auto ask = [&](std::string text) {
    ide->frames.clear();
    dispatch("ide", "main", obj(text));
    for (auto& m : ide->messages())
      if (get_str(m, "type").ends_with("_response")) return m;
    ADD_FAILURE() << "no answer to " << text;
    return json::object();
  };
  // Questions, answered from the index.
  EXPECT_EQ(ask(R"({"type":"get_package_versions_request","request_id":"v","package_name":"plainpkg"})"),
            obj(R"({"type":"get_package_versions_response","request_id":"v","package_name":"plainpkg","success":true,"versions":["2.0","1.0"]})"));
  EXPECT_EQ(ask(R"({"type":"get_package_extras_request","package_name":"extrapkg","version":"1.0"})").at("extras"),
            json::array{"more"});
  json::object info = ask(R"({"type":"get_package_info_request","package_name":"withdep"})");
  EXPECT_EQ(info.at("version"), "1.0");
  EXPECT_EQ(get_str(info.at("dependencies").as_array().at(0).as_object(), "name"), "plainpkg");
  EXPECT_EQ(info.at("cached"), false);
  EXPECT_EQ(ask(R"({"type":"get_package_versions_request","package_name":"a b"})").at("error"), "Invalid package name 'a b'");

  // The list: add (the newest version when none is given), refuse bad and double entries.
  json::object added = ask(R"({"type":"add_workbook_package","request_id":1,"workbook_id":"wb","name":"plainpkg"})");
  EXPECT_EQ(added, obj(R"({"type":"add_workbook_package_response","request_id":1,"workbook_id":"wb","success":true,
                          "package":{"name":"plainpkg","version":"2.0","extras":[],"status":"pending"}})"));
  EXPECT_EQ(other->of_type("workbook_packages_update").back().at("packages").as_array().size(), 1u);
  EXPECT_EQ(addin->of_type("save_workbook_packages").back().at("packages").as_array().size(), 1u);
  EXPECT_EQ(ask(R"({"type":"add_workbook_package","workbook_id":"wb","name":"PlainPkg","version":"1.0"})").at("error"),
            "Package 'PlainPkg' is already in workbook wb");
  EXPECT_EQ(ask(R"({"type":"add_workbook_package","workbook_id":"wb","name":"x","version":"1.0; rm -rf"})").at("error"),
            "Invalid version '1.0; rm -rf' for package 'x'");
  EXPECT_EQ(ask(R"({"type":"add_workbook_package","workbook_id":"wb","name":"x","version":"1.0","extras":"more"})").at("error"),
            "extras must be a list of extra names");
  EXPECT_EQ(ask(R"({"type":"add_workbook_package","name":"x","version":"1.0"})").at("error"), "Missing workbook_id");
  ask(R"({"type":"add_workbook_package","workbook_id":"wb","name":"extrapkg","version":"1.0","extras":["more"]})");
  ask(R"({"type":"add_workbook_package","workbook_id":"wb","name":"gone","version":"1.0"})");

  // Update, status, order, removal.
  EXPECT_EQ(ask(R"({"type":"update_workbook_package","workbook_id":"wb","name":"plainpkg","version":"1.0"})").at("package"),
            obj(R"({"name":"plainpkg","version":"1.0","extras":[],"status":"pending_update"})"));
  EXPECT_EQ(ask(R"({"type":"update_package_status","workbook_id":"wb","name":"gone","status":"bogus"})").at("error"),
            "Invalid status 'bogus'");
  ask(R"({"type":"remove_workbook_package","workbook_id":"wb","name":"GONE"})");
  EXPECT_EQ(status("wb", "gone"), "to_remove");
  EXPECT_EQ(ask(R"({"type":"remove_workbook_package","workbook_id":"wb","name":"nope"})").at("error"),
            "Package 'nope' is not in workbook wb");
  ask(R"({"type":"reorder_workbook_packages","workbook_id":"wb","order":["gone","extrapkg","unknown"]})");
  std::vector<std::string> names;
  for (auto& e : packages("wb")) names.emplace_back(get_str(e.as_object(), "name"));
  EXPECT_EQ(names, (std::vector<std::string>{"gone", "extrapkg", "plainpkg"}));

  // Import paths: stored, to the kernel, to the workbook.
  EXPECT_EQ(ask(R"({"type":"update_python_paths","workbook_id":"wb","python_paths":["/a",{"path":"/b"}]})").at("python_paths"),
            json::array({"/a", "/b"}));
  EXPECT_EQ(kernel->frames.back(), R"({"type":"set_python_paths","old_paths":[],"new_paths":["/a","/b"]})");
  EXPECT_EQ(addin->frames.back(), R"({"type":"save_workbook_python_paths","python_paths":["/a","/b"]})");

  // The run, in the background; then its results.
  EXPECT_EQ(ask(R"({"type":"install_workbook_packages","workbook_id":"wb"})").at("queued"), false);
  ASSERT_TRUE(wait_for([&] { return !other->of_type("package_installation_complete").empty(); }));
  EXPECT_EQ(get_str(other->of_type("package_installation_complete").at(0), "message"),
            "✓ Installation complete. 2 package(s) installed.");
  json::object state = ask(R"({"type":"get_workbook_packages","workbook_id":"wb"})");
  EXPECT_EQ(state.at("python_paths"), json::array({"/a", "/b"}));
  EXPECT_EQ(state.at("package_paths").as_array().size(), 3u);
  EXPECT_EQ(state.at("installing"), false);
  EXPECT_EQ(ask(R"({"type":"get_resolved_deps","workbook_id":"wb"})").at("resolved_deps").as_array().size(), 3u);

  // Restore: back to the list as the last run left it.
  ask(R"({"type":"update_workbook_package","workbook_id":"wb","name":"plainpkg","version":"2.0"})");
  EXPECT_EQ(status("wb", "plainpkg"), "pending_update");
  ask(R"({"type":"restore_workbook_packages","workbook_id":"wb"})");
  EXPECT_EQ(status("wb", "plainpkg"), "installed");
  EXPECT_EQ(get_str(*_find_package_by_name(packages("wb"), "plainpkg"), "version"), "1.0");

  // One package straight into the cache, with its progress on the asking editor's console.
  json::object direct = ask(R"({"type":"package_install_request","request_id":"i","name":"builddep","version":"1.0"})");
  EXPECT_EQ(direct.at("success"), true);
  EXPECT_EQ(direct.at("path"), json::value(pm().entry_path("builddep", "1.0", {}).string()));
  EXPECT_FALSE(ide->of_type("pip_output").empty());
}

}  // namespace
}  // namespace switchyard::testing

#!/usr/bin/python3
"""The indexscout command-line tool against the local package-index server.

usage: cli_test.py PATH_TO_INDEXSCOUT
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = None
SERVER = None
BASE = None


def setUpModule():
    global SERVER, BASE
    SERVER = subprocess.Popen([sys.executable, os.path.join(HERE, "index_server.py")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = SERVER.stdout.readline().split()
    BASE = f"http://127.0.0.1:{line[1]}"


def tearDownModule():
    SERVER.stdin.close()
    SERVER.wait(timeout=10)


def index(name):
    return f"{BASE}/{name}/simple/"


class CliTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.TemporaryDirectory()
        self.write_settings({
            "package_management": {
                "pip": {"index_urls": [{"url": index("main"), "primary": True}, {"url": index("second")}],
                        "use_secondary_urls": True},
                "pip_api": [{"index_url": index(n), "api_pattern": f"{BASE}/{n}/pypi/{{package_name}}/{{version}}/json"}
                            for n in ("main", "second")],
            }
        })

    def tearDown(self):
        self.home.cleanup()

    def write_settings(self, settings):
        os.makedirs(os.path.join(self.home.name, ".corvane"), exist_ok=True)
        with open(os.path.join(self.home.name, ".corvane", "settings.json"), "w") as f:
            json.dump(settings, f)

    def run_tool(self, *args, env=None):
        environment = dict(os.environ, HOME=self.home.name, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1")
        environment.update(env or {})
        return subprocess.run([TOOL, *args], capture_output=True, text=True, env=environment, timeout=60)

    def answer(self, *args, env=None):
        result = self.run_tool(*args, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def test_versions(self):
        self.assertEqual(self.answer("versions", "demo"), ["10.0", "2.0rc1", "1.0"])
        self.assertEqual(self.answer("versions", "onlysecond"), ["0.2", "0.1"])
        self.assertEqual(self.answer("versions", "Demo", "--index", index("html")), ["10.0", "2.0rc1", "1.0"])
        self.assertEqual(self.answer("versions", "nope"), [])

    def test_extras_and_dependencies(self):
        self.assertEqual(self.answer("extras", "demo", "10.0"), ["Dev", "alpha"])
        self.assertEqual(self.answer("extras", "demo", "1.0", f"--index={index('simple')}"), ["docs", "test"])
        result = self.run_tool("deps", "demo", "10.0")
        self.assertEqual(result.returncode, 0, result.stderr)
        deps = json.loads(result.stdout)
        self.assertEqual(len(deps), 7)
        self.assertIn('{"name":"pandas","version_spec":"(>=2.0)","extras":["excel","sql"],'
                      '"markers":"python_version >= \'3.8\'"}', result.stdout)
        self.assertIn("Could not parse requirement: (broken requirement", result.stderr)

    def test_find(self):
        self.assertEqual(self.answer("find", "demo"), index("main"))
        self.assertEqual(self.answer("find", "onlysecond"), index("second"))
        self.assertEqual(self.answer("find", "demo", "2.0rc1"), index("main"))
        self.assertIsNone(self.answer("find", "demo", "3.0"))
        self.assertIsNone(self.answer("find", "nope"))

    def test_check(self):
        with tempfile.TemporaryDirectory() as site:
            info = os.path.join(site, "cli_probe-2.5.dist-info")
            os.makedirs(info)
            with open(os.path.join(info, "METADATA"), "w") as f:
                f.write("Metadata-Version: 2.1\nName: cli-probe\nVersion: 2.5\nRequires-Dist: x ; extra == 'fast'\n")
            env = {"PYTHONPATH": site}
            python = ["--python", "/usr/bin/python3"]
            self.assertEqual(self.answer("check", "CLI_Probe", ">=2", *python, env=env), "2.5")
            self.assertEqual(self.answer("check", "cli-probe", "--extra", "FAST", *python, env=env), "2.5")
            self.assertIsNone(self.answer("check", "cli-probe", "<2", *python, env=env))
            self.assertIsNone(self.answer("check", "cli-probe", "--extra", "slow", *python, env=env))
            self.assertIsNone(self.answer("check", "not-installed", *python, env=env))
            self.assertTrue(self.answer("check", "json", env={"CORVANE_PYTHON": "/usr/bin/python3"}).startswith("3."))

    def test_usage_errors(self):
        for args in ([], ["bogus"], ["versions"], ["extras", "demo"], ["find", "a", "b", "c"],
                     ["find", "demo", "--index", "x"], ["versions", "demo", "--extra", "e"],
                     ["--log-level", "loud", "versions", "demo"], ["versions", "demo", "--index"],
                     ["--frobnicate", "versions", "demo"]):
            result = self.run_tool(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertEqual(result.stdout, "")
            self.assertTrue(result.stderr.startswith("indexscout: "), result.stderr)
        result = self.run_tool("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("usage: indexscout", result.stdout)

    def test_logging_and_settings_errors(self):
        result = self.run_tool("--log-level", "info", "versions", "demo")
        self.assertEqual(result.returncode, 0)
        self.assertIn("[business_layer.packages.indexscout] [info] Querying primary index for demo versions",
                      result.stderr)
        self.assertEqual(self.run_tool("versions", "demo").stderr, "")  # warning level by default
        self.write_settings({"package_management": {"pip_api": {"not": "a list"}}})
        result = self.run_tool("find", "demo")
        self.assertEqual(result.returncode, 1)
        self.assertIn("package_management.pip_api must be a list", result.stderr)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

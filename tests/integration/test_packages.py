"""A workbook's packages end to end: the editor lists them, the server resolves and installs them
into its cache with the kernels' pip (from the local package index of the indexscout tests), the
real kernel gets the paths, and a workbook function imports the package."""
import asyncio
import json
import os
import subprocess
import sys
import tempfile
import time

from tests.integration.harness import TIMEOUT, ROOT, ServerProcess, connect, get, recv_type

import unittest

INDEX_SERVER = os.path.join(ROOT, "tests", "indexscout", "index_server.py")

MODULE = '''
def which():
    import withdep
    return withdep.VALUE
'''


class WorkbookPackages(unittest.IsolatedAsyncioTestCase):
    def setUp(self):
        self.index = subprocess.Popen([sys.executable, INDEX_SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      text=True)
        port = int(self.index.stdout.readline().split()[1])
        simple = "http://127.0.0.1:%d/packages/simple/" % port
        self.home = tempfile.TemporaryDirectory(prefix="switchyard-packages-")
        os.makedirs(os.path.join(self.home.name, ".corvane"))
        settings = {"package_management": {
            "pip": {"index_urls": [{"url": simple, "primary": True}]},
            "pip_api": [{"index_url": simple,
                         "api_pattern": "http://127.0.0.1:%d/packages/pypi/{package_name}/{version}/json" % port}]}}
        with open(os.path.join(self.home.name, ".corvane", "settings.json"), "w") as f:
            json.dump(settings, f)
        # pip as the test wants it: this machine's pip configuration and proxies stay out.
        self.find_links = os.environ.pop("PIP_FIND_LINKS", None)
        self.server = ServerProcess(env={"HOME": self.home.name, "PIP_CONFIG_FILE": os.devnull,
                                         "PIP_ROOT_USER_ACTION": "ignore", "NO_PROXY": "127.0.0.1,localhost",
                                         "no_proxy": "127.0.0.1,localhost"})

    def tearDown(self):
        self.server.stop()
        self.index.stdin.close()
        self.index.wait(TIMEOUT)
        self.index.stdout.close()
        self.home.cleanup()
        if self.find_links is not None:
            os.environ["PIP_FIND_LINKS"] = self.find_links

    async def ask(self, ws, message, timeout=TIMEOUT):
        await ws.send(json.dumps(message))
        answer = await recv_type(ws, message["type"] + "_response", timeout)
        self.assertTrue(answer["success"], answer)
        return answer

    async def install(self, ide):
        """Runs the workbook's installation; returns the console lines and the last package list."""
        await self.ask(ide, {"type": "install_workbook_packages", "workbook_id": "wb"})
        lines, packages, paths = [], None, None
        deadline = time.time() + 90
        while time.time() < deadline:
            m = json.loads(await asyncio.wait_for(ide.recv(), 90))
            if m.get("workbook_id") != "wb":
                continue
            if m["type"] == "pip_output":
                lines.append((m.get("output_type"), m["message"]))
            elif m["type"] == "workbook_packages_update":
                packages = m["packages"]
            elif m["type"] == "package_paths_updated":
                paths = m["paths"]
            elif m["type"] == "package_installation_complete":
                return lines, packages, paths, m["message"]
        self.fail("the installation did not complete")

    async def call(self, addin, request_id):
        await addin.send(json.dumps({"type": "function_execution", "request_id": request_id, "module_name": "pkgs",
                                     "function_name": "which", "args": []}))
        return await recv_type(addin, "function_execution_result")

    async def test_listed_packages_install_into_the_cache_and_import_in_the_kernel(self):
        addin = await connect(self.server, "addin", "wb", "?name=Book")
        ide = await connect(self.server, "ide", "main")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        deadline = time.time() + TIMEOUT
        while json.loads(get(self.server.port, "/connections")[2])["kernel"] != ["wb"]:
            self.assertLess(time.time(), deadline, "kernel did not connect")
            await asyncio.sleep(0.05)
        # The kernel's connection runs the workbook's (empty) installation first; its console line
        # says it is done.
        await recv_type(ide, "log_to_console")

        await self.ask(ide, {"type": "add_workbook_package", "workbook_id": "wb", "name": "withdep", "version": "1.0"})
        await self.ask(ide, {"type": "add_workbook_package", "workbook_id": "wb", "name": "plainpkg",
                             "version": "1.0"})
        await recv_type(addin, "save_workbook_packages")
        saved = await recv_type(addin, "save_workbook_packages")  # the workbook keeps the list
        self.assertEqual([p["name"] for p in saved["packages"]], ["withdep", "plainpkg"])

        lines, packages, paths, done = await self.install(ide)
        self.assertEqual(done, "✓ Installation complete. 2 package(s) installed.")
        self.assertEqual([(p["name"], p["status"]) for p in packages], [("withdep", "installed"),
                                                                         ("plainpkg", "installed")])
        cache = os.path.join(self.home.name, ".corvane", "packages")
        self.assertEqual(sorted(paths), [os.path.join(cache, "plainpkg", "1.0"), os.path.join(cache, "withdep", "1.0")])
        self.assertIn(("success", "Resolved 2 package(s) including dependencies"), lines)
        self.assertTrue(any(t == "stdout" and "Installing collected packages" in m for t, m in lines), lines)

        await ide.send(json.dumps({"type": "update_module", "workbook_id": "wb", "module_name": "pkgs",
                                   "code": MODULE}))
        request = await recv_type(addin, "save_module_request")
        await addin.send(json.dumps({"type": "save_module_response", "requestId": request["requestId"],
                                     "success": True}))
        result = await self.call(addin, "r1")
        self.assertEqual(result.get("result"), "withdep on plain 1.0", result)

        # Again: from the cache; the kernel drops the old paths and takes them back.
        lines, packages, paths, done = await self.install(ide)
        self.assertIn(("cached", "Using cached plainpkg==1.0 from " + os.path.join(cache, "plainpkg", "1.0")), lines)
        self.assertFalse(any(t == "stdout" and "Installing collected packages" in m for t, m in lines), lines)
        result = await self.call(addin, "r2")
        self.assertEqual(result.get("result"), "withdep on plain 1.0", result)
        await ide.close()
        await addin.close()


if __name__ == "__main__":
    unittest.main()

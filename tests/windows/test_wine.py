"""The Windows programs under wine, driven by Linux peers over 127.0.0.1: switchyard.exe with
test_child.exe as its kernels (a Linux program started by a Windows one cannot be waited on or
ended under wine), and indexscout.exe against the local package index.

Environment: SWITCHYARD_BINARY (switchyard.exe), SWITCHYARD_LAUNCHER (scripts/wine),
TEST_CHILD_EXE, INDEXSCOUT_EXE, WINEPREFIX."""
import asyncio
import getpass
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import uuid

import websockets

from tests.integration.harness import (LAUNCHER, ROOT, TIMEOUT, ServerProcess, connect, get, recv_json, recv_type,
                                       until, wait_until)

CHILD = os.environ.get("TEST_CHILD_EXE", "")
INDEXSCOUT = os.environ.get("INDEXSCOUT_EXE", "")
PREFIX = os.environ.get("WINEPREFIX", os.path.join(ROOT, "build-windows", "wineprefix"))
# Where the Windows programs keep settings, logs and caches under wine: the prefix's profile.
PROFILE = os.path.join(PREFIX, "drive_c", "users", getpass.getuser())


def windows_path(path):
    """The name a Windows program under wine gives a Linux path (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_events(path):
    """The test child's log; a line still being written is not there yet."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in text.split("\n")[:-1] if line]


def tagged_processes(tag):
    """Linux pids of the test child's processes that carry `tag` in their environment (each
    Windows process under wine is one Linux process)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
            with open("/proc/%s/stat" % entry) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue  # gone while it was read
        if state != "Z" and ("TEST_CHILD_TAG=" + tag).encode() in environ and cmdline.split(b"\0")[0].lower().endswith(b"child.exe"):
            found.append(int(entry))
    return found


class WineTestCase(unittest.IsolatedAsyncioTestCase):
    server_args = ()

    def setUp(self):
        self.assertTrue(LAUNCHER, "SWITCHYARD_LAUNCHER is not set")
        shutil.rmtree(os.path.join(PROFILE, ".corvane"), ignore_errors=True)
        self.tag = uuid.uuid4().hex
        self.events_file = tempfile.mktemp(prefix="switchyard-wine-events-")
        self.addCleanup(lambda: os.path.exists(self.events_file) and os.unlink(self.events_file))
        self.server = ServerProcess("--python", windows_path(CHILD), *self.server_args, env=self.child_env())
        self.addCleanup(self.stop_server)

    def child_env(self, **extra):
        return dict({"TEST_CHILD_LOG": windows_path(self.events_file), "TEST_CHILD_TAG": self.tag}, **extra)

    def stop_server(self):
        self.server.stop()
        # Whatever the server started is gone with it.
        self.assertTrue(wait_until(lambda: tagged_processes(self.tag) == []), tagged_processes(self.tag))

    def events(self, kind="start"):
        return [e for e in read_events(self.events_file) if e["event"] == kind]

    async def events_when(self, kind, count):
        self.assertTrue(await until(lambda: len(self.events(kind)) >= count), read_events(self.events_file))
        return self.events(kind)

    def kernels(self):
        return json.loads(get(self.server.port, "/connections")[2])["kernel"]

    async def call(self, addin, request_id, function, *args):
        await addin.send(json.dumps({"type": "function_execution", "request_id": request_id, "module_name": "calc",
                                     "function_name": function, "args": list(args)}))
        while True:
            message = await recv_json(addin)
            if message.get("type") == "function_execution_result" and message.get("request_id") == request_id:
                return message
            if message.get("type") == "batch_results":
                for result in message["results"]:
                    if result.get("request_id") == request_id:
                        return result


class Session(WineTestCase):
    async def test_peers_connect_a_call_comes_back_chunks_are_joined_and_close_codes_are_right(self):
        ide = await connect(self.server, "ide", "main")
        addin = await connect(self.server, "addin", "wb", "?name=Book")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        self.assertTrue(await until(lambda: self.kernels() == ["wb"]), self.server.log_text())
        self.assertTrue(await self.server.log_seen("Client connected: kernel/wb"))
        result = await self.call(addin, "r1", "add", 2, 3)
        self.assertEqual((result["status"], result["result"]), ("success", 5), result)

        # A message in chunks, sent last chunk first, reaches a (Linux) kernel whole.
        kernel = await connect(self.server, "kernel", "other")
        text = json.dumps({"type": "execution_request", "workbook_id": "other", "code": "é" * 100000})
        parts = [text[i:i + 65536] for i in range(0, len(text), 65536)]
        for index in reversed(range(len(parts))):
            await ide.send(json.dumps({"type": "chunk", "chunk_id": "c1", "chunk_index": index,
                                       "total_chunks": len(parts), "data": parts[index],
                                       "original_type": "execution_request"}))
        self.assertEqual((await recv_type(kernel, "execution_request"))["code"], "é" * 100000)

        for path, expected in (("/ws/martian/x", (4001, "Invalid client type")),
                               ("/ws/addin/a%2Fb", (4002, "Invalid client ID: Client ID contains invalid characters"))):
            ws = await websockets.connect(self.server.url(path))
            with self.assertRaises(websockets.ConnectionClosed) as caught:
                await asyncio.wait_for(ws.recv(), TIMEOUT)
            self.assertEqual((caught.exception.code, caught.exception.reason), expected)

        # Ctrl+C stops the server as SIGTERM does on Linux: 1001 to the peers, its kernel gone, exit 0.
        self.server.proc.send_signal(signal.SIGINT)
        with self.assertRaises(websockets.ConnectionClosed) as caught:
            while True:
                await asyncio.wait_for(ide.recv(), TIMEOUT)
        self.assertEqual(caught.exception.code, 1001)
        self.assertEqual(self.server.proc.wait(TIMEOUT), 0)
        self.assertTrue(await until(lambda: tagged_processes(self.tag) == []))


class Processes(WineTestCase):
    async def test_argv_reaches_children_unchanged(self):
        # The kernel's JSON argument (quotes and backslashes; the server escapes non-ASCII in it).
        value = 'Book "one" back\\slash\\\\ end\\'
        query = "?name=" + "".join("%%%02X" % b for b in value.encode()) + "&dir=C%3A%5CUsers%5C%20x"
        addin = await connect(self.server, "addin", "wb", query)
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        argv = (await self.events_when("start", 1))[0]["argv"]
        self.assertEqual(argv[:4], ["-m", "corvane_master.python_server", "wb", str(self.server.port)])
        self.assertEqual(json.loads(argv[4]), {"name": value, "dir": "C:\\Users\\ x"})
        self.assertEqual(len(argv), 5)
        self.assertTrue(await until(lambda: self.kernels() == ["wb"]))
        self.assertEqual((await self.call(addin, "a1", "argv"))["result"], argv)

        # A program under a folder with blanks and non-ASCII letters, and arguments with both
        # (the editor's command line comes from the settings as given).
        folder = tempfile.mkdtemp(prefix="switchyard wine José Núñez ")
        self.addCleanup(shutil.rmtree, folder, True)
        program = os.path.join(folder, "test child.exe")
        shutil.copy(CHILD, program)
        args = ["José Núñez", 'say "hi"', "C:\\Users\\José Núñez\\", "", "a\\\\\"b", "{\"k\": [1, 2]}", "tab\there"]
        ide = await connect(self.server, "ide", "main")
        await ide.send(json.dumps({"type": "set_setting", "path": "ide.command", "value": [windows_path(program), *args]}))
        await recv_type(ide, "setting_saved")
        await addin.send(json.dumps({"type": "show_ide"}))
        self.assertEqual((await self.events_when("start", 2))[1]["argv"], args)

    async def test_one_kernel_per_workbook_kill_takes_the_tree_and_a_crash_restarts(self):
        connected = lambda n: self.server.log_text().count("Client connected: kernel/wb") >= n
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        self.assertTrue(await until(lambda: connected(1)))
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        await self.events_when("start", 2)
        # The first kernel was stopped for the second: one process left.
        self.assertTrue(await until(lambda: connected(2)))
        self.assertTrue(await until(lambda: len(tagged_processes(self.tag)) == 1), tagged_processes(self.tag))

        # The kernel starts a grandchild; the kill ends both, and a new kernel starts.
        grandchild = (await self.call(addin, "g1", "spawn"))["result"]
        self.assertTrue(grandchild)
        await self.events_when("grandchild", 1)
        self.assertTrue(await until(lambda: len(tagged_processes(self.tag)) == 2), tagged_processes(self.tag))
        await addin.send(json.dumps({"type": "kill_kernel"}))
        self.assertTrue((await recv_type(addin, "kill_kernel_response"))["success"])
        await self.events_when("start", 3)  # the restarted kernel
        self.assertTrue(await until(lambda: len(tagged_processes(self.tag)) == 1), tagged_processes(self.tag))
        self.assertTrue(await self.server.log_seen("[BusinessLayer] Kernel killed and restarted successfully for: wb"))

        # A crash (exit code 3) is logged and the kernel comes back.
        self.assertTrue(await until(lambda: connected(3)))
        result = await self.call(addin, "x1", "exit", 3)
        self.assertEqual(result["error"], {"message": "Kernel disconnected"})
        self.assertTrue(await self.server.log_seen("exited with status 3"), self.server.log_text())
        self.assertRegex(self.server.log_text(), r"\[warning\] Kernel for workbook wb \(PID \d+\) exited with status 3")
        await self.events_when("start", 4)
        self.assertTrue(await self.server.log_seen("Restarting the kernel for workbook wb (restart 1 of 5)"))
        self.assertTrue(await until(lambda: connected(4)))
        self.assertEqual((await self.call(addin, "a1", "add", 2, 2))["result"], 4)

    async def test_no_child_outlives_a_killed_server(self):
        ide = await connect(self.server, "ide", "main")
        await ide.send(json.dumps({"type": "set_setting", "path": "ide.command",
                                   "value": [windows_path(CHILD), "editor"]}))
        await recv_type(ide, "setting_saved")
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        await addin.send(json.dumps({"type": "show_ide"}))
        await self.events_when("start", 2)
        self.assertTrue(await until(lambda: self.kernels() == ["wb"]))
        await self.call(addin, "g1", "spawn")
        self.assertTrue(await until(lambda: len(tagged_processes(self.tag)) == 3), tagged_processes(self.tag))
        # SIGKILL of the wine process that runs the server: its job objects close, their processes end.
        self.server.proc.kill()
        self.server.proc.wait()
        self.assertTrue(await until(lambda: tagged_processes(self.tag) == []), tagged_processes(self.tag))


class PortInUse(unittest.TestCase):
    def test_a_port_in_use_is_one_clear_line(self):
        import socket
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        try:
            result = subprocess.run([*LAUNCHER, os.environ["SWITCHYARD_BINARY"], "--port", str(port), "--no-inspector"],
                                    capture_output=True, text=True, timeout=TIMEOUT)
        finally:
            holder.close()
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.splitlines()[-1],
                         "switchyard: cannot listen on 127.0.0.1:%d: Address already in use" % port)


class IndexScout(unittest.TestCase):
    """indexscout.exe (WinHTTP, the project's own HTML and wheel readers) against the local index."""

    @classmethod
    def setUpClass(cls):
        cls.index = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "indexscout", "index_server.py")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        cls.base = "http://127.0.0.1:%s" % cls.index.stdout.readline().split()[1]

    @classmethod
    def tearDownClass(cls):
        cls.index.stdin.close()
        cls.index.wait(TIMEOUT)

    def setUp(self):
        shutil.rmtree(os.path.join(PROFILE, ".corvane"), ignore_errors=True)

    def tool(self, *args, **env):
        environment = dict(os.environ, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1", **env)
        result = subprocess.run([*LAUNCHER, INDEXSCOUT, *args], capture_output=True, text=True, env=environment,
                                timeout=TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def test_versions_and_check(self):
        main = self.base + "/main/simple/"
        self.assertEqual(self.tool("versions", "demo", "--index", main), ["10.0", "2.0rc1", "1.0"])
        self.assertEqual(self.tool("versions", "Demo", "--index", self.base + "/html/simple/"),
                         ["10.0", "2.0rc1", "1.0"])
        self.assertEqual(self.tool("versions", "nope", "--index", main), [])

        # `check` asks the interpreter for its path; the test child answers as one would.
        with tempfile.TemporaryDirectory(prefix="switchyard-wine-site-") as site:
            info = os.path.join(site, "cli_probe-2.5.dist-info")
            os.makedirs(info)
            with open(os.path.join(info, "METADATA"), "w") as f:
                f.write("Metadata-Version: 2.1\nName: cli-probe\nVersion: 2.5\n")
            probe = json.dumps({"path": [windows_path(site)], "stdlib": ["json"], "version": "3.11.2"})
            env = {"TEST_CHILD_MODE": "print", "TEST_CHILD_OUTPUT": probe}
            python = ["--python", windows_path(CHILD)]
            self.assertEqual(self.tool("check", "CLI_Probe", ">=2", *python, **env), "2.5")
            self.assertIsNone(self.tool("check", "cli-probe", "<2", *python, **env))
            self.assertIsNone(self.tool("check", "not-installed", *python, **env))


if __name__ == "__main__":
    unittest.main()

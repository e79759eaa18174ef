"""Supervision: crashed kernels come back (and the server gives up on one that keeps crashing), one
kernel per workbook, no child outlives the server, a kill of one workbook's kernel stalls no
other workbook, a peer that stops reading is cut off, a port in use is a clear error."""
import asyncio
import json
import os
import socket
import subprocess
import tempfile

import websockets

from tests.integration.harness import (BINARY, PYTHON, ServerProcess, ServerTestCase, connect, get, recv_json,
                                       recv_type, until)
from tests.integration.test_kernels import FAKE, FakeKernels, alive, events_when, read_events

MODULE = '''
import os, signal

def add(a, b):
    return a + b

def die(code):
    os._exit(code)

def segfault():
    os.kill(os.getpid(), signal.SIGSEGV)
'''
ANSWERS = {
    "get_modules_request": {"type": "get_modules_response", "modules": {"calc": MODULE}},
    "get_functions_request": {"type": "get_functions_response", "functions": []},
    "get_packages_request": {"type": "get_packages_response", "packages": [], "python_paths": []},
    "get_events_request": {"events_registered": {}, "com_events_registered": {}, "events_definition": {},
                           "events_tree": {}},
}


class AnsweringAddin:
    """An add-in that answers the server's connection-time questions; everything else it receives
    waits in `inbox`."""

    def __init__(self, ws):
        self.ws = ws
        self.inbox = asyncio.Queue()
        self.task = asyncio.ensure_future(self._read())

    @classmethod
    async def open(cls, server, workbook_id, query=""):
        return cls(await connect(server, "addin", workbook_id, query))

    async def _read(self):
        try:
            async for raw in self.ws:
                m = json.loads(raw)
                if m.get("type") in ANSWERS:
                    await self.ws.send(json.dumps(dict(ANSWERS[m["type"]], request_id=m["request_id"])))
                else:
                    await self.inbox.put(m)
        except websockets.ConnectionClosed:
            pass

    async def receive(self, message_type, timeout=60):
        while True:
            m = await asyncio.wait_for(self.inbox.get(), timeout)
            if m.get("type") == message_type:
                return m

    async def call(self, request_id, function, *args):
        await self.ws.send(json.dumps({"type": "function_execution", "request_id": request_id,
                                       "module_name": "calc", "function_name": function, "args": list(args)}))
        while True:
            m = await self.receive_result()
            if m["request_id"] == request_id:
                return m

    async def receive_result(self):
        m = await asyncio.wait_for(self.inbox.get(), 60)
        while m.get("type") not in ("function_execution_result", "batch_results"):
            m = await asyncio.wait_for(self.inbox.get(), 60)
        if m["type"] == "batch_results":
            for r in m["results"][1:]:
                await self.inbox.put(r)
            m = m["results"][0]
        return m

    async def close(self):
        await self.ws.close()
        await self.task


def count(text, fragment):
    return text.count(fragment)


async def eventually(predicate, timeout=60):
    return await until(predicate, timeout)


async def logged(server, fragment, timeout=60):
    return await server.log_seen(fragment, timeout)


class CrashedRealKernel(ServerTestCase):
    async def test_a_crash_by_exit_code_or_signal_is_logged_and_the_kernel_comes_back(self):
        ide = await connect(self.server, "ide", "main")
        addin = await AnsweringAddin.open(self.server, "wb", "?name=Book")
        connected = lambda n: count(self.server.log_text(), "Client connected: kernel/wb") >= n
        self.assertTrue(await eventually(lambda: connected(1)))
        first = await addin.call("a1", "add", 1, 2)
        self.assertEqual(first.get("result"), 3, first)

        # Exit status: the call in flight is answered, the exit logged, the kernel started again and
        # loaded with the workbook's code by its connection hook.
        result = await addin.call("d1", "die", 1)
        self.assertEqual(result["error"], {"message": "Kernel disconnected"})
        self.assertTrue(await logged(self.server, "exited with status 1"))
        self.assertRegex(self.server.log_text(), r"\[warning\] Kernel for workbook wb \(PID \d+\) exited with status 1")
        self.assertTrue(await eventually(lambda: connected(2)))
        self.assertEqual((await addin.call("a2", "add", 2, 2))["result"], 4)

        # A signal.
        result = await addin.call("s1", "segfault")
        self.assertEqual(result["error"], {"message": "Kernel disconnected"})
        self.assertTrue(await logged(self.server, "was killed by signal SIGSEGV"))
        self.assertRegex(self.server.log_text(),
                         r"\[warning\] Kernel for workbook wb \(PID \d+\) was killed by signal SIGSEGV")
        self.assertTrue(await eventually(lambda: connected(3)))
        self.assertEqual((await addin.call("a3", "add", 3, 3))["result"], 6)
        self.assertIn("Restarting the kernel for workbook wb (restart 2 of 5)", self.server.log_text())

        # Stopped on purpose, it stays stopped; so after its add-in leaves.
        spawned = count(self.server.log_text(), "Spawned kernel for workbook: wb")
        await addin.ws.send(json.dumps({"type": "terminate_kernel"}))
        self.assertTrue(await eventually(lambda: count(self.server.log_text(), "Client disconnected: kernel/wb") >= 3))
        await asyncio.sleep(1.0)  # longer than the first back-off: a wrong restart would show
        self.assertEqual(count(self.server.log_text(), "Spawned kernel for workbook: wb"), spawned)
        self.assertNotIn("exited with status 0", self.server.log_text())
        await addin.close()
        await ide.close()


class CrashingKernel(FakeKernels):
    mode = "crash"

    async def test_restarts_back_off_then_give_up_and_a_kill_starts_afresh(self):
        ide = await connect(self.server, "ide", "main")
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        give_up = "Kernel for workbook wb crashed 6 times within 60 s; giving up on restarting it"
        self.assertTrue(await self.server.log_seen(give_up, timeout=90))
        self.assertEqual(len(self.starts()), 6)
        log = self.server.log_text()
        self.assertIn("[error] " + give_up, log)
        self.assertEqual(count(log, "exited with status 3"), 6)
        for n in range(1, 6):
            self.assertIn("Restarting the kernel for workbook wb (restart %d of 5)" % n, log)
        console = await recv_type(ide, "log_to_console")
        while console["content"] != give_up:
            console = await recv_type(ide, "log_to_console")

        # A kill starts afresh: its kernel, then restarts again after its crash.
        await addin.send(json.dumps({"type": "kill_kernel"}))
        self.assertTrue((await recv_type(addin, "kill_kernel_response"))["success"])
        await events_when(self.events_file, lambda ev: len(self.starts()) >= 8, timeout=60)
        await addin.close()
        await ide.close()


class OneKernelPerWorkbook(FakeKernels):
    async def test_two_addins_opening_one_workbook_at_once_end_with_one_kernel_and_none_after(self):
        first, second = await asyncio.gather(AnsweringAddin.open(self.server, "wb"),
                                             AnsweringAddin.open(self.server, "wb"))
        done = "Add-in connection set up for workbook: wb"
        self.assertTrue(await eventually(lambda: count(self.server.log_text(), done) >= 2))
        starts = self.starts()
        self.assertEqual(len(starts), 1)
        self.assertTrue(alive(starts[0]["pid"]))
        await first.close()
        await second.close()
        self.assertTrue(await eventually(lambda: not alive(starts[0]["pid"])))
        self.assertEqual(len(self.starts()), 1)


class NoChildOutlivesTheServer(FakeKernels):
    async def test_sigkill_of_the_server_takes_its_children_and_frees_its_port(self):
        # A server on a port of its own, with a kernel and an editor.
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        self.server.stop()
        env = {"FAKE_KERNEL_LOG": self.events_file, "FAKE_KERNEL_MODE": ""}
        self.server = ServerProcess("--port", str(port), "--python", FAKE, env=env)
        ide = await connect(self.server, "ide", "main")
        await ide.send(json.dumps({"type": "set_setting", "path": "ide.command", "value": [PYTHON, FAKE, "editor"]}))
        await recv_type(ide, "setting_saved")
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        await addin.send(json.dumps({"type": "show_ide"}))
        await events_when(self.events_file, lambda ev: len(self.starts()) >= 2)
        self.assertEqual(sorted(e["argv"][0] for e in self.starts()), ["-m", "editor"])

        self.server.proc.kill()
        self.server.proc.wait()
        # At once, on the same port.
        again = ServerProcess("--port", str(port), "--python", FAKE, env=env)
        try:
            self.assertEqual(again.port, port)
            for child in self.starts():
                self.assertTrue(await until(lambda: not alive(child["pid"])), child)
        finally:
            again.stop()


class StubbornKernelAndAnotherWorkbook(FakeKernels):
    mode = "ignore-term"

    async def test_a_kill_waiting_for_its_kernel_stalls_no_other_workbook(self):
        slow = await connect(self.server, "addin", "slow")
        other = await connect(self.server, "addin", "other")
        await slow.send(json.dumps({"type": "spawn_kernel"}))
        await events_when(self.events_file, lambda ev: len(self.starts()) >= 1)
        order = []

        async def kill():
            await slow.send(json.dumps({"type": "kill_kernel"}))
            self.assertTrue((await recv_type(slow, "kill_kernel_response"))["success"])
            order.append("kill")

        async def ping():
            await other.send(json.dumps({"type": "ping"}))
            await recv_type(other, "pong")
            order.append("pong")

        kill_task = asyncio.ensure_future(kill())
        # The kill now waits for the kernel that ignores SIGTERM, then pauses before the restart.
        self.assertTrue(await asyncio.to_thread(self.server.wait_for_log, "Killing kernel for workbook slow"))
        await ping()
        await kill_task
        self.assertEqual(order, ["pong", "kill"])
        await slow.close()
        await other.close()


class StalledPeers(ServerTestCase):
    def setUp(self):
        self.home = tempfile.TemporaryDirectory(prefix="switchyard-it-home-")
        os.makedirs(os.path.join(self.home.name, ".corvane"))
        with open(os.path.join(self.home.name, ".corvane", "settings.json"), "w") as f:
            json.dump({"server": {"max_unsent_bytes_per_connection": 1 << 20, "max_unsent_bytes": 4 << 20}}, f)
        self.server = ServerProcess(env={"HOME": self.home.name})

    def tearDown(self):
        super().tearDown()
        self.home.cleanup()

    async def test_a_peer_that_stops_reading_is_cut_off_and_the_others_get_everything(self):
        reader = await connect(self.server, "ide", "reader")
        # A peer that completes the handshake and then never reads.
        stalled = socket.create_connection(("127.0.0.1", self.server.port))
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sendall(("GET /ws/ide/stalled HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                         "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                         "Sec-WebSocket-Version: 13\r\n\r\n" % self.server.port).encode())
        self.assertTrue(await self.server.log_seen("Client connected: ide/stalled"))
        kernel = await connect(self.server, "kernel", "wb")
        payload = "x" * (256 * 1024)
        # 20 MB, far more than the caps and the socket buffers; each message is read by the reading
        # editor before the next goes, so only the stalled one falls behind.
        for i in range(80):
            await kernel.send(json.dumps({"type": "stdout", "content": payload, "n": i}))
            m = await recv_json(reader, 60)
            while m.get("type") != "stdout":
                m = await recv_json(reader, 60)
            self.assertEqual(m["n"], i)
        self.assertTrue(await self.server.log_seen("Closing connection ide/stalled: it does not read what is sent "
                                                 "to it", timeout=60))
        self.assertRegex(self.server.log_text(), r"Closing connection ide/stalled: .* \(\d+ bytes waiting\)")
        self.assertTrue(await self.server.log_seen("Client disconnected: ide/stalled", timeout=60))
        self.assertNotIn("Closing connection ide/reader", self.server.log_text())
        stalled.close()
        await kernel.close()
        await reader.close()


class PortInUse(ServerTestCase):
    def setUp(self):
        pass

    def tearDown(self):
        pass

    async def test_one_clear_line_and_status_1(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        try:
            done = subprocess.run([BINARY, "--port", str(port), "--no-inspector"], capture_output=True, text=True,
                                  timeout=60)
        finally:
            taken.close()
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.splitlines()[-1],
                         "switchyard: cannot listen on 127.0.0.1:%d: Address already in use" % port)

"""The code-inspector service over real sockets: on its own against a test server, and launched by
the server binary."""
import asyncio
import json
import os
import re
import signal
import subprocess
import time
import unittest

import websockets

from tests.integration.harness import TIMEOUT, PYTHON, ROOT, ServerProcess, connect, get, recv_type

SOURCE = '''import functools

@functools.cache
def outer(x):
    """Doc."""
    def helper(y):
        return y  # trailing
    return helper(x)

class Sheet:
    async def refresh(self, name="été"):
        pass

value = outer(1)
def tail(): return "éééé"  # after
'''


def running(pid):
    """True while the process exists and is not a zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):  # gone while its entry was read (ENOENT, ESRCH)
        return False
    return state != "Z"


def gone_within(pid, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if not running(pid):
            return True
        time.sleep(0.02)
    return not running(pid)


def result(request_id, name=None, qualified=None, start=None, end=None, is_async=None, error=None, **echo):
    answer = {"type": "function_at_position_result", "request_id": request_id}
    answer.update(echo)
    answer.update({"function_name": name, "qualified_name": qualified, "start_line": start, "end_line": end,
                   "is_async": is_async, "error": error})
    return answer


class InspectorService(unittest.IsolatedAsyncioTestCase):
    """The service against a stand-in server: its requests and answers, and its exit."""

    async def test_answers_questions_and_exits_when_its_connection_closes(self):
        connected = asyncio.get_running_loop().create_future()
        released = asyncio.Event()

        async def handler(ws, path):
            connected.set_result((ws, path))
            await released.wait()

        async with websockets.serve(handler, "127.0.0.1", 0) as server:
            port = server.sockets[0].getsockname()[1]
            env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"), PYTHONDONTWRITEBYTECODE="1")
            proc = subprocess.Popen([PYTHON, "-m", "corvane_inspector", str(port)], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            try:
                ws, path = await asyncio.wait_for(connected, TIMEOUT)
                self.assertEqual(path, "/ws/inspector/main")
                # The server's greeting, frames that are not requests and unknown requests get no answer.
                for frame in ('{"type":"ping"}', "not json", "[1, 2]", '{"type":"list_everything"}'):
                    await ws.send(frame)
                questions = [
                    # A decorator line belongs to its function.
                    ({"request_id": "q1", "code": SOURCE, "line": 3, "column": 1},
                     result("q1", "outer", "outer", 4, 8, False)),
                    # The innermost function; past its end on its last line is the enclosing one.
                    ({"request_id": "q2", "workbook_id": "wb", "module_name": "m", "code": SOURCE, "line": 7,
                      "column": 9},
                     result("q2", "helper", "outer.<locals>.helper", 6, 7, False, workbook_id="wb", module_name="m")),
                    ({"request_id": "q3", "code": SOURCE, "line": 7, "column": 30},
                     result("q3", "outer", "outer", 4, 8, False)),
                    ({"request_id": 4, "code": SOURCE, "line": 11, "column": 40},
                     result(4, "refresh", "Sheet.refresh", 11, 12, True)),
                    # Columns count characters, not bytes.
                    ({"request_id": "q4a", "code": SOURCE, "line": 15, "column": 26},
                     result("q4a", "tail", "tail", 15, 15, False)),
                    ({"request_id": "q4b", "code": SOURCE, "line": 15, "column": 29}, result("q4b")),
                    ({"request_id": "q5", "code": SOURCE, "line": 14}, result("q5")),
                    ({"code": "def broken(:\n", "line": 1},
                     result(None, error="SyntaxError: invalid syntax (line 1)")),
                    ({"request_id": "q7", "code": SOURCE, "line": 0},
                     result("q7", error="'line' must be a positive integer")),
                    ({"request_id": "q8", "line": 1}, result("q8", error="'code' must be a text")),
                ]
                for request, _ in questions:
                    await ws.send(json.dumps(dict(request, type="get_function_at_position")))
                for request, expected in questions:
                    answer = json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))
                    self.assertEqual(answer, expected, request)
                    self.assertEqual(list(answer), list(expected))
                await ws.close()
                self.assertEqual(await asyncio.get_running_loop().run_in_executor(None, proc.wait, TIMEOUT), 0)
                self.assertEqual(proc.stderr.read(), "")
            finally:
                released.set()
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
                proc.stderr.close()


class LaunchedInspector(unittest.IsolatedAsyncioTestCase):
    """The server starts the service by default; it connects as inspector/main and ends with the server."""

    def start(self):
        server = ServerProcess(inspector=True)
        self.addCleanup(lambda: server.proc.poll() is None and server.stop())
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            if json.loads(get(server.port, "/connections")[2])["inspector"] == ["main"]:
                break
            time.sleep(0.05)
        else:
            self.fail("the inspector did not connect:\n" + server.log_text())
        self.assertTrue(server.wait_for_log("Python Inspector launched successfully"))
        pid = int(re.search(r"Inspector started \(PID: (\d+)\)", server.log_text()).group(1))
        return server, pid

    async def test_stopped_with_the_server(self):
        server, pid = self.start()
        self.assertTrue(running(pid))
        self.assertEqual(server.stop(), 0)
        self.assertTrue(gone_within(pid, TIMEOUT), "the inspector outlived its server")

    async def test_exits_when_the_server_dies(self):
        server, pid = self.start()
        # No orderly shutdown: the service notices its connection closing.
        server.stop(signal.SIGKILL)
        self.assertTrue(gone_within(pid, TIMEOUT), "the inspector outlived its server")

    async def test_answers_an_editor_through_the_server(self):
        server, pid = self.start()
        ide = await connect(server, "ide", "main")
        await ide.send(json.dumps({"type": "get_function_at_position", "request_id": "e1", "code": SOURCE,
                                   "line": 12, "column": 9}))
        if await server.log_seen("No handler for ide/get_function_at_position", 1.0):
            await ide.close()
            self.skipTest("editors' get_function_at_position is not routed in this build")
        answer = await recv_type(ide, "function_at_position_result")
        self.assertEqual(answer, result("e1", "refresh", "Sheet.refresh", 11, 12, True))
        await ide.close()
        self.assertEqual(server.stop(), 0)
        self.assertTrue(gone_within(pid, TIMEOUT), "the inspector outlived its server")


if __name__ == "__main__":
    unittest.main()

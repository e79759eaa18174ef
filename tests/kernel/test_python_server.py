"""Tests of the kernel program (python/corvane_master), run as a real process against a fake broker.

    cd <repo> && PYTHONPATH=python /usr/bin/python3 -m unittest discover -s tests/kernel -t . -v
"""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import signal
import subprocess
import tempfile
import textwrap
import time
import unittest

from .broker import KERNEL_PYTHON, TIMEOUT, FakeBroker, KernelProcess, free_port, kernel_env

WB = "wb-test"


def src(text: str) -> str:
    return textwrap.dedent(text).lstrip("\n")


async def until_exists(path: str, timeout: float = TIMEOUT) -> bool:
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            return False
        await asyncio.sleep(0.005)
    return True


def reassemble(envelopes: list[dict]) -> dict:
    slots = sorted(envelopes, key=lambda e: e["chunk_index"])
    return json.loads("".join(e["data"] for e in slots))


class KernelTestCase(unittest.IsolatedAsyncioTestCase):
    """Each test gets a fresh broker and a fresh kernel connected to it."""

    kernel_env: dict = {}

    async def asyncSetUp(self) -> None:
        self.broker = await FakeBroker().start()
        self.kernel = await KernelProcess(WB, self.broker.port, self.kernel_env).start()
        self.addAsyncCleanup(self._cleanup)
        self.peer = await self.broker.accept()

    async def _cleanup(self) -> None:
        await self.kernel.stop()
        await self.broker.stop()
        shutil.rmtree(self.kernel.cwd, ignore_errors=True)

    def assertNoStreamValues(self, messages, request_id) -> None:
        late = [m for m in messages if m.get("request_id") == request_id]
        self.assertEqual(late, [], "stream messages after the cancel was processed")


class ConnectionTests(KernelTestCase):
    async def test_connects_to_kernel_route_without_query_and_ignores_ping(self):
        self.assertEqual(self.peer.path, f"/ws/kernel/{WB}")
        await self.peer.update_module("m", "def f():\n    return 'ok'\n")
        # The ping sent on connect got no answer: the first message is the call's result.
        first = await self.peer.call("m", "f", request_id="r1")
        self.assertEqual(self.peer.skipped, [])
        self.assertEqual(first, {"type": "execution_result", "request_id": "r1", "result": "ok", "logs": ""})

    async def test_unknown_messages_and_bad_frames_are_logged_and_ignored(self):
        await self.peer.send({"type": "ping"})
        await self.peer.send({"type": "totally_unknown_message", "x": 1})
        await self.peer.send("this is not json")
        await self.peer.send("[1, 2, 3]")
        await self.peer.send({"no_type": True})
        await self.peer.update_module("m", "def f():\n    return 1\n")
        answer = await self.peer.call("m", "f")
        self.assertEqual(answer["result"], 1)
        self.assertEqual(self.peer.skipped, [], "the kernel answered something it should ignore")
        self.assertTrue(await self.kernel.stderr_contains("totally_unknown_message"))
        lines = [line for line in self.kernel.stderr_text().splitlines() if "totally_unknown_message" in line]
        self.assertEqual(len(lines), 1)
        self.assertIn("not JSON", self.kernel.stderr_text())

    async def test_chunked_message_is_reassembled(self):
        await self.peer.update_module("m", "def size(text):\n    return len(text)\n")
        big = "é" * 150_000 + "🙂"
        text = json.dumps({"type": "custom_function_call", "module_name": "m", "function_name": "size",
                           "args": [big], "request_id": "big-1", "workbook_id": WB}, separators=(",", ":"))
        size = 65536
        total = (len(text) + size - 1) // size
        self.assertGreater(total, 2)
        envelopes = [{"type": "chunk", "chunk_id": "c-1", "chunk_index": i, "total_chunks": total,
                      "data": text[i * size:(i + 1) * size], "original_type": "custom_function_call"}
                     for i in range(total)]
        order = list(range(total - 1, -1, -1))  # backwards, with a repeat of the last one sent
        for i in order[:-1]:
            await self.peer.send(envelopes[i])
        await self.peer.send(envelopes[order[-2]])
        await self.peer.send(envelopes[order[-1]])
        answer = await self.peer.answer("big-1")
        self.assertEqual(answer["type"], "execution_result")
        self.assertEqual(answer["result"], len(big))


class FunctionCallTests(KernelTestCase):
    async def test_result_and_logs(self):
        await self.peer.update_module("calc", src("""
            import sys
            def add(a, b):
                print("adding", a, b)
                print("to stderr", file=sys.stderr)
                return a + b
            def echo(*args):
                return list(args)
        """))
        answer = await self.peer.call("calc", "add", [2, 3], request_id="r-add")
        self.assertEqual(answer, {"type": "execution_result", "request_id": "r-add", "result": 5,
                                  "logs": "adding 2 3\nto stderr\n"})
        answer = await self.peer.call("calc", "echo", [None, True, 1.5, "ü", [1, [2]], {"k": "v"}])
        self.assertEqual(answer["result"], [None, True, 1.5, "ü", [1, [2]], {"k": "v"}])
        self.assertEqual(answer["logs"], "")  # logs are per call

    async def test_a_burst_of_calls_keeps_order_logs_errors_and_module_updates(self):
        # Sent back to back, so that many calls arrive in one read and run as one batch.
        v1 = src("""
            def f(i):
                print("v1", i)
                return i
            def bad(i):
                raise ValueError(f"no {i}")
        """)
        await self.peer.update_module("m", v1)
        frames, expected = [], []
        for i in range(300):
            if i == 150:
                frames.append({"type": "update_module", "workbook_id": WB, "module_name": "m",
                               "code": v1.replace("return i", "return -i").replace('"v1"', '"v2"')})
            function = "bad" if i % 97 == 0 else "f"
            frames.append({"type": "custom_function_call", "module_name": "m", "function_name": function,
                           "args": [i], "request_id": f"b{i}", "workbook_id": WB})
            expected.append((f"b{i}", function, i))
        for frame in frames:
            await self.peer.send(frame)
        answers = [await self.peer.until(lambda m: str(m.get("request_id", "")).startswith("b"))
                   for _ in expected]
        self.assertEqual([a["request_id"] for a in answers], [rid for rid, _, _ in expected])
        for answer, (rid, function, i) in zip(answers, expected):
            if function == "bad":
                self.assertEqual((answer["type"], answer["error"]["message"]), ("execution_error", f"no {i}"))
            else:
                version = "v1" if i < 150 else "v2"
                self.assertEqual((answer["result"], answer["logs"]), (i if i < 150 else -i, f"{version} {i}\n"))

    async def test_async_function_is_awaited(self):
        await self.peer.update_module("am", src("""
            import asyncio
            async def later(x):
                await asyncio.sleep(0.01)
                return x * 2
        """))
        self.assertEqual(await self.peer.value("am", "later", [21]), 42)

    async def test_error_carries_type_message_and_traceback_and_kernel_survives(self):
        await self.peer.update_module("calc", src("""
            def helper(x):
                raise ValueError(f"bad input {x}")
            def fail(x):
                return helper(x)
            def ok():
                return "still alive"
        """))
        answer = await self.peer.call("calc", "fail", [7], request_id="r-fail")
        self.assertEqual(answer["type"], "execution_error")
        self.assertEqual(answer["request_id"], "r-fail")
        error = answer["error"]
        self.assertEqual(error["type"], "ValueError")
        self.assertEqual(error["message"], "bad input 7")
        tb = error["traceback"]
        self.assertIn('File "calc.py", line 4, in fail', tb)
        self.assertIn('File "calc.py", line 2, in helper', tb)
        self.assertIn('raise ValueError(f"bad input {x}")', tb)
        self.assertIn("ValueError: bad input 7", tb)
        self.assertNotIn("corvane_master", tb)
        self.assertEqual(await self.peer.value("calc", "ok"), "still alive")

    async def test_missing_function_and_bad_names_are_errors(self):
        await self.peer.update_module("calc", "X = 1\n")
        answer = await self.peer.call("calc", "nope")
        self.assertEqual(answer["error"]["type"], "AttributeError")
        self.assertIn("nope", answer["error"]["message"])
        answer = await self.peer.call("calc", "X")
        self.assertEqual(answer["error"]["type"], "TypeError")
        answer = await self.peer.call("bad-name", "f")
        self.assertEqual(answer["error"]["type"], "ValueError")
        self.assertEqual(self.peer.skipped, [])  # no module sync for an invalid name

    async def test_non_serialisable_result_is_an_error_not_a_crash(self):
        await self.peer.update_module("odd", src("""
            class Thing:
                pass
            def a_set():
                print("made a set")
                return {1, 2}
            def a_thing():
                return [1, {"x": Thing()}]
            def not_a_number():
                return float("nan")
            def fine():
                return "fine"
        """))
        answer = await self.peer.call("odd", "a_set")
        self.assertEqual(answer["type"], "execution_error")
        self.assertEqual(answer["error"]["type"], "TypeError")
        self.assertIn("set", answer["error"]["message"])
        answer = await self.peer.call("odd", "a_thing")
        self.assertEqual(answer["type"], "execution_error")
        self.assertIn("Thing", answer["error"]["message"])
        answer = await self.peer.call("odd", "not_a_number")
        self.assertEqual(answer["type"], "execution_error")
        self.assertIn("float", answer["error"]["message"])
        self.assertEqual(await self.peer.value("odd", "fine"), "fine")

    async def test_exit_and_interrupt_in_user_code_do_not_kill_the_kernel(self):
        await self.peer.update_module("rude", src("""
            import sys
            def leave():
                sys.exit(3)
            def interrupt():
                raise KeyboardInterrupt
            def ask():
                return input("name? ")
            def ok():
                return 1
        """))
        self.assertEqual((await self.peer.call("rude", "leave"))["error"]["type"], "SystemExit")
        self.assertEqual((await self.peer.call("rude", "interrupt"))["error"]["type"], "KeyboardInterrupt")
        self.assertEqual((await self.peer.call("rude", "ask"))["error"]["type"], "EOFError")
        self.assertEqual(await self.peer.value("rude", "ok"), 1)
        self.assertIsNone(self.kernel.proc.returncode)

    async def test_event_execution(self):
        await self.peer.update_module("events", src("""
            def on_change(sheet, address):
                print("changed", sheet, address)
                return f"{sheet}!{address}"
            def on_bad(*args):
                raise RuntimeError("handler failed")
        """))
        base = {"type": "event_execution", "module_name": "events", "workbook_id": WB,
                "object_name": "Sheet1", "event_type": "onChanged", "object_type": "worksheet"}
        await self.peer.send({**base, "function_name": "on_change", "args": ["Sheet1", "A1"], "request_id": "e1"})
        answer = await self.peer.answer("e1")
        self.assertEqual(answer["type"], "event_execution_result")
        self.assertEqual(answer["workbook_id"], WB)
        self.assertTrue(answer["success"])
        self.assertEqual(answer["result"], "Sheet1!A1")
        self.assertEqual(answer["logs"], "changed Sheet1 A1\n")
        await self.peer.send({**base, "function_name": "on_bad", "args": [], "request_id": "e2"})
        answer = await self.peer.answer("e2")
        self.assertEqual(answer["type"], "event_execution_result")
        self.assertFalse(answer["success"])
        self.assertEqual(answer["error"]["type"], "RuntimeError")
        self.assertIn("handler failed", answer["error"]["traceback"])


class LargeResultTests(KernelTestCase):
    kernel_env = {"CORVANE_KERNEL_CHUNK_THRESHOLD": "1000", "CORVANE_KERNEL_MAX_MESSAGE": "10000"}

    async def test_result_beyond_the_server_limit_is_an_error(self):
        await self.peer.update_module("big", "def text(n):\n    return 'x' * n\n")
        answer = await self.peer.call("big", "text", [20000])
        self.assertEqual(answer["type"], "execution_error")
        self.assertIn("too large", answer["error"]["message"])
        self.assertEqual(await self.peer.value("big", "text", [10]), "x" * 10)

    async def test_large_message_is_sent_in_chunks(self):
        await self.peer.update_module("big", "def text(n):\n    return 'x' * n\n")
        await self.peer.send({"type": "custom_function_call", "module_name": "big", "function_name": "text",
                              "args": [3000], "request_id": "big", "workbook_id": WB})
        first = await self.peer.recv()
        self.assertEqual(first["type"], "chunk")
        self.assertEqual(first["original_type"], "execution_result")
        envelopes = [first] + [await self.peer.recv() for _ in range(first["total_chunks"] - 1)]
        self.assertEqual({e["chunk_id"] for e in envelopes}, {first["chunk_id"]})
        whole = reassemble(envelopes)
        self.assertEqual(whole["type"], "execution_result")
        self.assertEqual(whole["result"], "x" * 3000)


class ModuleTests(KernelTestCase):
    async def test_modules_import_each_other_in_any_order(self):
        # "main" arrives before the module it imports at load time.
        await self.peer.update_module("main", src("""
            import helpers
            from helpers import VERSION as LOADED_VERSION
            def run():
                return helpers.greet("world"), helpers.VERSION, LOADED_VERSION
        """))
        await self.peer.update_module("helpers", src("""
            VERSION = 1
            def greet(name):
                return f"hello {name}"
        """))
        self.assertEqual(await self.peer.value("main", "run"), ["hello world", 1, 1])
        # A new version of helpers is seen through "import helpers" at once.
        await self.peer.update_module("helpers", src("""
            VERSION = 2
            def greet(name):
                return f"hi {name}"
        """))
        self.assertEqual(await self.peer.value("main", "run"), ["hi world", 2, 1])

    async def test_update_replaces_code_and_removed_names_disappear(self):
        await self.peer.update_module("m", "def f():\n    return 1\ndef g():\n    return 'g'\n")
        self.assertEqual(await self.peer.value("m", "f"), 1)
        await self.peer.update_module("m", "def f():\n    return 2\n", workbook_id=None)
        self.assertEqual(await self.peer.value("m", "f"), 2)
        self.assertEqual((await self.peer.call("m", "g"))["error"]["type"], "AttributeError")

    async def test_broken_module_reports_its_error_on_call(self):
        await self.peer.update_module("broken", "def f(:\n    pass\n")
        answer = await self.peer.call("broken", "f")
        self.assertEqual(answer["error"]["type"], "SyntaxError")
        await self.peer.update_module("failing", "import math\nVALUE = 1 / 0\ndef f():\n    return 1\n")
        answer = await self.peer.call("failing", "f")
        self.assertEqual(answer["error"]["type"], "ZeroDivisionError")
        self.assertIn('File "failing.py", line 2', answer["error"]["traceback"])
        # Fixing the code makes the module usable again.
        await self.peer.update_module("failing", "def f():\n    return 'fixed'\n")
        self.assertEqual(await self.peer.value("failing", "f"), "fixed")
        self.assertTrue(await self.kernel.stderr_contains("'broken' failed to load"))

    async def test_called_module_missing_is_requested_then_an_import_error(self):
        await self.peer.send({"type": "custom_function_call", "module_name": "ghost", "function_name": "f",
                              "args": [], "request_id": "g1", "workbook_id": WB})
        request = await self.peer.recv()
        self.assertEqual(request, {"type": "request_module_sync", "module_name": "ghost", "workbook_id": WB})
        answer = await self.peer.answer("g1")  # nobody answers: fails after the (1 s) wait
        self.assertEqual(answer["type"], "execution_error")
        self.assertEqual(answer["error"]["type"], "ModuleNotFoundError")
        self.assertIn("ghost", answer["error"]["message"])

    async def test_missing_library_imports_do_not_stall_or_ask_the_server(self):
        libdir = tempfile.mkdtemp(prefix="corvane-lib-")
        self.addCleanup(shutil.rmtree, libdir, True)
        with open(os.path.join(libdir, "somelib.py"), "w") as fh:
            fh.write("try:\n    import optional_accelerator_xyz\nexcept ImportError:\n"
                     "    optional_accelerator_xyz = None\nVALUE = 'lib'\n")
        await self.peer.send({"type": "set_python_paths", "old_paths": [], "new_paths": [libdir]})
        await self.peer.update_module("uses", src("""
            import importlib.util
            def run():
                import json, somelib
                found = importlib.util.find_spec("not_installed_anywhere_xyz")
                try:
                    import xml.no_such_submodule
                except ImportError:
                    sub = "missing"
                try:
                    import _no_such_builtin_xyz.sub
                except ImportError:
                    dotted = "missing"
                return somelib.VALUE, found, sub, dotted
        """))
        # No request_module_sync means none of these imports waited for the editor's answer.
        self.assertEqual(await self.peer.value("uses", "run"), ["lib", None, "missing", "missing"])
        self.assertEqual([m for m in self.peer.skipped if m.get("type") == "request_module_sync"], [])

    async def test_delete_module(self):
        await self.peer.update_module("gone", "def f():\n    return 'here'\n")
        self.assertEqual(await self.peer.value("gone", "f"), "here")
        await self.peer.send({"type": "delete_module", "workbook_id": WB, "module_name": "gone"})
        await self.peer.send({"type": "custom_function_call", "module_name": "gone", "function_name": "f",
                              "args": [], "request_id": "d1", "workbook_id": WB})
        request = await self.peer.recv()
        self.assertEqual(request, {"type": "request_module_sync", "module_name": "gone", "workbook_id": WB})
        answer = await self.peer.answer("d1")
        self.assertEqual(answer["type"], "execution_error")
        self.assertEqual(answer["error"]["type"], "ModuleNotFoundError")
        # Re-created under the same name, it works again.
        await self.peer.update_module("gone", "def f():\n    return 'back'\n")
        self.assertEqual(await self.peer.value("gone", "f"), "back")


class AnsweredModuleSyncTests(KernelTestCase):
    # The other tests' kernels wait 1 s for an answer nobody sends; these answer, and a busy
    # machine may take longer than that to do it.
    kernel_env = {"CORVANE_MODULE_SYNC_TIMEOUT": str(TIMEOUT)}

    async def test_request_module_sync_round_trip(self):
        await self.peer.update_module("user", src("""
            import counted
            def run():
                return counted.twice(21), counted.LOADS
        """))
        request = await self.peer.until(lambda m: m.get("type") == "request_module_sync")
        self.assertEqual(request, {"type": "request_module_sync", "module_name": "counted", "workbook_id": WB})
        # The server's answer has no workbook_id; a second, identical push must not run it again.
        code = "import builtins\nbuiltins.corvane_test_loads = getattr(builtins, 'corvane_test_loads', 0) + 1\n" \
               "LOADS = builtins.corvane_test_loads\ndef twice(x):\n    return 2 * x\n"
        await self.peer.update_module("counted", code, workbook_id=None)
        await self.peer.update_module("counted", code)
        self.assertEqual(await self.peer.value("user", "run"), [42, 1])
        await self.peer.update_module("probe", "import builtins\ndef loads():\n    return builtins.corvane_test_loads\n")
        self.assertEqual(await self.peer.value("probe", "loads"), 1)

    async def test_module_sync_answer_arrives_while_the_call_waits(self):
        await self.peer.send({"type": "custom_function_call", "module_name": "late", "function_name": "f",
                              "args": [5], "request_id": "l1", "workbook_id": WB})
        request = await self.peer.recv()
        self.assertEqual(request["type"], "request_module_sync")
        await self.peer.update_module("late", "def f(x):\n    return x + 1\n", workbook_id=None)
        self.assertEqual((await self.peer.answer("l1"))["result"], 6)


class StreamingTests(KernelTestCase):
    async def _collect(self, request_id: str) -> list[dict]:
        messages = []
        while True:
            message = await self.peer.answer(request_id)
            self.assertEqual(message["type"], "streaming_function_result")
            messages.append(message)
            if message["done"]:
                return messages

    async def _start(self, function: str, request_id: str, args=()) -> None:
        await self.peer.send({"type": "execute_streaming_function", "request_id": request_id,
                              "module_name": "streams", "function_name": function, "args": list(args)})

    async def asyncSetUp(self) -> None:
        await super().asyncSetUp()
        await self.peer.update_module("streams", src("""
            import asyncio, os, time
            state = {"closed": []}
            def count(n):
                for i in range(n):
                    yield {"i": i}
            async def acount(n):
                for i in range(n):
                    await asyncio.sleep(0.001)
                    yield i * 10
            def broken():
                yield 1
                raise ValueError("stream broke")
            def weird():
                yield 1
                yield {2}
            def ticker(name):
                try:
                    i = 0
                    while True:
                        yield i
                        i += 1
                        time.sleep(0.01)
                finally:
                    state["closed"].append(name)
            async def aticker(name):
                try:
                    i = 0
                    while True:
                        yield i
                        i += 1
                        await asyncio.sleep(0.01)
                finally:
                    state["closed"].append(name)
            def closed():
                return state["closed"]
            def watcher(path):
                while True:
                    yield os.path.exists(path)
                    time.sleep(0.01)
            def hold(gate):
                open(gate + ".entered", "w").close()
                while not os.path.exists(gate):
                    time.sleep(0.005)
                return "slow done"
        """))

    async def test_sync_generator(self):
        await self._start("count", "s1", [3])
        messages = await self._collect("s1")
        self.assertEqual(messages, [
            {"type": "streaming_function_result", "request_id": "s1", "result": {"i": 0}, "done": False},
            {"type": "streaming_function_result", "request_id": "s1", "result": {"i": 1}, "done": False},
            {"type": "streaming_function_result", "request_id": "s1", "result": {"i": 2}, "done": False},
            {"type": "streaming_function_result", "request_id": "s1", "done": True},
        ])

    async def test_async_generator(self):
        await self._start("acount", "s2", [3])
        messages = await self._collect("s2")
        self.assertEqual([m.get("result") for m in messages[:-1]], [0, 10, 20])
        self.assertEqual(messages[-1], {"type": "streaming_function_result", "request_id": "s2", "done": True})

    async def test_error_ends_the_stream(self):
        await self._start("broken", "s3")
        messages = await self._collect("s3")
        self.assertEqual(messages[0]["result"], 1)
        self.assertEqual(len(messages), 2)
        self.assertTrue(messages[-1]["done"])
        self.assertIn("ValueError: stream broke", messages[-1]["error"])
        await self._start("weird", "s4")
        messages = await self._collect("s4")
        self.assertEqual(messages[0]["result"], 1)
        self.assertIn("set", messages[-1]["error"])
        await self._start("no_such_function", "s5")
        messages = await self._collect("s5")
        self.assertEqual(len(messages), 1)
        self.assertIn("AttributeError", messages[0]["error"])

    async def _check_cancel(self, function: str, request_id: str) -> None:
        await self._start(function, request_id, [request_id])
        for expected in range(3):
            message = await self.peer.answer(request_id)
            self.assertEqual(message["result"], expected)
        await self.peer.send({"type": "cancel_streaming_function", "request_id": request_id})
        # Processed after the cancel: once its answer is here, the stream must be silent.
        await self.peer.send({"type": "custom_function_call", "module_name": "streams",
                              "function_name": "closed", "args": [], "request_id": "after-" + request_id,
                              "workbook_id": WB})
        await self.peer.answer("after-" + request_id)
        self.assertNoStreamValues(await self.peer.quiet(0.3), request_id)
        self.assertIn(request_id, await self.peer.value("streams", "closed"))  # its finally ran

    async def test_stream_survives_an_update_of_its_module(self):
        live = src("""
            import time
            {pause}
            def step(i):
                return {sign}i
            VERSION = {version}
            def ticker():
                i = 0
                while True:
                    yield [step(i), VERSION]
                    i += 1
                    time.sleep(0.01)
        """)
        await self.peer.update_module("live", live.format(pause="", version=1, sign=""))
        await self.peer.send({"type": "execute_streaming_function", "request_id": "live",
                              "module_name": "live", "function_name": "ticker", "args": []})
        self.assertEqual((await self.peer.answer("live"))["result"], [0, 1])
        # The new code takes a while to run; the stream must keep finding step and VERSION.
        await self.peer.update_module("live", live.format(pause="time.sleep(0.4)", version=2, sign="-"))
        while True:
            message = await self.peer.answer("live")
            self.assertNotIn("error", message)
            self.assertFalse(message["done"])
            if message["result"][1] == 2:
                self.assertLessEqual(message["result"][0], 0)
                break
        await self.peer.send({"type": "cancel_streaming_function", "request_id": "live"})

    async def test_cancel_sync_generator(self):
        await self._check_cancel("ticker", "t1")

    async def test_cancel_async_generator(self):
        await self._check_cancel("aticker", "t2")

    async def test_cancel_is_read_while_a_call_runs(self):
        await self._start("ticker", "t3", ["t3"])
        await self.peer.answer("t3")
        marker = os.path.join(self.kernel.cwd, "cancel-read")
        await self._start("watcher", "w", [marker])
        await self.peer.answer("w")
        gate = os.path.join(self.kernel.cwd, "gate")
        await self.peer.send({"type": "custom_function_call", "module_name": "streams", "function_name": "hold",
                              "args": [gate], "request_id": "busy", "workbook_id": WB})
        self.assertTrue(await until_exists(gate + ".entered"))  # the worker is now inside hold()
        await self.peer.send({"type": "cancel_streaming_function", "request_id": "t3"})
        # Frames are read in order: once the one after it is logged, the cancel has been read.
        await self.peer.send({"type": "read_after_the_cancel"})
        self.assertTrue(await self.kernel.stderr_contains("read_after_the_cancel"))
        # Values of t3 sent before the cancel was read may still be on their way. The other
        # stream's first value that sees the marker was sent after the cancel was read, so they
        # are all here once it is.
        open(marker, "w").close()
        while not (await self.peer.answer("w"))["result"]:
            pass
        self.peer.skipped.clear()
        open(gate, "w").close()
        answer = await self.peer.answer("busy")
        self.assertEqual(answer["result"], "slow done")
        self.assertNoStreamValues(self.peer.skipped + await self.peer.quiet(0.2), "t3")
        await self.peer.send({"type": "cancel_streaming_function", "request_id": "w"})


class EditorExecutionTests(KernelTestCase):
    async def _execute(self, code: str, request_id="x1", **extra) -> tuple[list[dict], dict]:
        message = {"type": "execution_request", "code": code, "workbook_id": WB, **extra}
        if request_id is not None:
            message["request_id"] = request_id
        await self.peer.send(message)
        output = []
        while True:
            reply = await self.peer.recv()
            if reply["type"] == "result_output":
                return output, reply
            output.append(reply)

    @staticmethod
    def _text(output: list[dict], kind: str) -> str:
        return "".join(m["content"] for m in output if m["type"] == kind)

    async def test_output_is_streamed_and_last_expression_is_the_result(self):
        output, result = await self._execute(src("""
            import sys
            print("hello")
            print("oops", file=sys.stderr)
            x = 40
            x + 2
        """))
        self.assertEqual(result, {"type": "result_output", "workbook_id": WB, "request_id": "x1",
                                  "result": "42", "success": True})
        self.assertEqual(self._text(output, "stdout"), "hello\n")
        self.assertEqual(self._text(output, "stderr"), "oops\n")
        for message in output:
            self.assertEqual((message["workbook_id"], message["request_id"]), (WB, "x1"))
        # stdout came out before stderr, as printed
        self.assertEqual(output[0]["type"], "stdout")

    async def test_namespace_persists_and_sees_workbook_modules(self):
        await self.peer.update_module("helpers", "def double(x):\n    return 2 * x\n")
        _, result = await self._execute("import helpers\nvalue = helpers.double(21)\n", request_id=None)
        self.assertIsNone(result["request_id"])
        self.assertIsNone(result["result"])
        self.assertTrue(result["success"])
        _, result = await self._execute("value", request_id="x2")
        self.assertEqual(result["result"], "42")
        _, result = await self._execute("'text'", request_id="x3")
        self.assertEqual(result["result"], "'text'")

    async def test_top_level_await(self):
        _, result = await self._execute("import asyncio\nawait asyncio.sleep(0)\n7 * 6")
        self.assertEqual(result["result"], "42")

    async def test_error_reports_traceback(self):
        output, result = await self._execute("print('before')\n1 / 0\n")
        self.assertFalse(result["success"])
        self.assertEqual(self._text(output, "stdout"), "before\n")
        stderr = self._text(output, "stderr")
        self.assertIn("ZeroDivisionError", stderr)
        self.assertIn("line 2", stderr)
        self.assertIn("1 / 0", stderr)
        self.assertIn("ZeroDivisionError", result["result"])
        output, result = await self._execute("def broken(:\n", request_id="x4")
        self.assertFalse(result["success"])
        self.assertIn("SyntaxError", self._text(output, "stderr"))

    async def test_many_prints_are_coalesced_in_order(self):
        output, result = await self._execute("for i in range(2000):\n    print(i)\n")
        self.assertTrue(result["success"])
        self.assertEqual(self._text(output, "stdout"), "".join(f"{i}\n" for i in range(2000)))
        self.assertLess(len(output), 200)

    async def test_run_module(self):
        await self.peer.update_module("script", "def main():\n    print('running')\n    return 5\n")
        await self.peer.send({"type": "run_module", "workbook_id": WB, "module_name": "script",
                              "function_name": "main"})
        result = await self.peer.until(lambda m: m["type"] == "result_output")
        self.assertEqual((result["result"], result["success"]), ("5", True))
        self.assertEqual(self._text(self.peer.skipped, "stdout"), "running\n")


class PathTests(KernelTestCase):
    async def asyncSetUp(self) -> None:
        await super().asyncSetUp()
        self.dirs = [tempfile.mkdtemp(prefix="corvane-path-") for _ in range(2)]
        for directory in self.dirs:
            self.addCleanup(shutil.rmtree, directory, True)
        for directory, value in zip(self.dirs, ("one", "two")):
            with open(os.path.join(directory, "extmod.py"), "w") as fh:
                fh.write(f"VALUE = {value!r}\n")
        await self.peer.update_module("probe", src("""
            import importlib, importlib.util, sys
            def state(path):
                found = importlib.util.find_spec("extmod")
                value = importlib.import_module("extmod").VALUE if found else None
                return value, path in sys.path, sys.path.index(path) if path in sys.path else None
            def loaded():
                return "extmod" in sys.modules
        """))

    async def state(self, path):
        return await self.peer.value("probe", "state", [path])

    async def test_set_python_paths_adds_and_removes_with_unload(self):
        one, two = self.dirs
        self.assertEqual(await self.state(one), [None, False, None])
        await self.peer.send({"type": "set_python_paths", "old_paths": [], "new_paths": [one]})
        self.assertEqual(await self.state(one), ["one", True, 0])
        self.assertTrue(await self.peer.value("probe", "loaded"))
        await self.peer.send({"type": "set_python_paths", "old_paths": [one], "new_paths": [two]})
        self.assertFalse(await self.peer.value("probe", "loaded"))  # unloaded with its path
        self.assertEqual(await self.state(two), ["two", True, 0])
        self.assertEqual((await self.state(one))[1], False)
        await self.peer.send({"type": "set_python_paths", "old_paths": [two], "new_paths": []})
        self.assertEqual(await self.state(two), [None, False, None])

    async def test_package_paths_and_unload_and_clear(self):
        one, two = self.dirs
        await self.peer.send({"type": "set_package_paths", "old_paths": [], "new_paths": [one]})
        await self.peer.send({"type": "set_python_paths", "old_paths": [], "new_paths": [one]})
        self.assertEqual(await self.state(one), ["one", True, 0])
        # Still wanted as a package path: dropping it as a python path keeps it.
        await self.peer.send({"type": "set_python_paths", "old_paths": [one], "new_paths": []})
        self.assertEqual(await self.state(one), ["one", True, 0])
        await self.peer.send({"type": "unload_and_clear_paths", "paths": [one]})
        self.assertFalse(await self.peer.value("probe", "loaded"))
        self.assertEqual(await self.state(one), [None, False, None])
        await self.peer.send({"type": "set_package_paths", "old_paths": [], "new_paths": [two]})
        self.assertEqual(await self.state(two), ["two", True, 0])
        # New paths lead sys.path in their order, also one that was already on it.
        await self.peer.send({"type": "set_package_paths", "old_paths": [two], "new_paths": [one, two]})
        self.assertEqual((await self.state(one))[1:], [True, 0])
        self.assertEqual((await self.state(two))[1:], [True, 1])
        await self.peer.send({"type": "set_package_paths", "old_paths": [one, two], "new_paths": [two, one]})
        self.assertEqual((await self.state(two))[1:], [True, 0])
        self.assertEqual((await self.state(one))[1:], [True, 1])


class LifecycleTests(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self) -> None:
        self.broker = None
        self.kernel = None
        self.addAsyncCleanup(self._cleanup)

    async def _cleanup(self) -> None:
        if self.kernel is not None:
            await self.kernel.stop()
            shutil.rmtree(self.kernel.cwd, ignore_errors=True)
        if self.broker is not None:
            await self.broker.stop()

    async def _connected(self, env=None):
        self.broker = await FakeBroker().start()
        self.kernel = await KernelProcess(WB, self.broker.port, env).start()
        return await self.broker.accept()

    async def test_exits_when_the_server_closes_the_connection(self):
        peer = await self._connected()
        await peer.update_module("m", "def f():\n    return 1\n")
        self.assertEqual(await peer.value("m", "f"), 1)
        await peer.ws.close()
        self.assertEqual(await self.kernel.wait(), 0)

    async def test_exits_when_the_connection_closes_even_with_user_code_running(self):
        peer = await self._connected()
        await peer.update_module("m", "import threading, time\n"
                                      "def spin(entered):\n"
                                      "    threading.Thread(target=time.sleep, args=(60,)).start()\n"
                                      "    open(entered, 'w').close()\n"
                                      "    while True:\n        time.sleep(0.01)\n")
        entered = os.path.join(self.kernel.cwd, "spinning")
        await peer.send({"type": "custom_function_call", "module_name": "m", "function_name": "spin",
                         "args": [entered], "request_id": "spin", "workbook_id": WB})
        self.assertTrue(await until_exists(entered))
        await peer.ws.close()
        self.assertEqual(await self.kernel.wait(), 0)

    async def test_sigterm_exits_cleanly(self):
        peer = await self._connected()
        self.kernel.signal(signal.SIGTERM)
        self.assertEqual(await self.kernel.wait(), 0)
        await asyncio.wait_for(peer.closed.wait(), TIMEOUT)

    async def test_retries_until_the_server_listens(self):
        port = free_port()
        self.kernel = await KernelProcess(WB, port).start()
        await asyncio.sleep(0.8)
        self.assertIsNone(self.kernel.proc.returncode)
        self.broker = await FakeBroker().start(port)
        peer = await self.broker.accept()
        self.assertEqual(peer.path, f"/ws/kernel/{WB}")
        await peer.update_module("m", "def f():\n    return 'late but fine'\n")
        self.assertEqual(await peer.value("m", "f"), "late but fine")

    async def test_gives_up_when_no_server_listens(self):
        self.kernel = await KernelProcess(WB, free_port(), {"CORVANE_KERNEL_CONNECT_TIMEOUT": "0.5"}).start()
        self.assertEqual(await self.kernel.wait(), 1)
        self.assertIn("could not connect", self.kernel.stderr_text())


def _interpreter_without_websockets():
    """A python3 on PATH that cannot import websockets (e.g. pyenv's), or None."""
    env = kernel_env()
    seen = {os.path.realpath(KERNEL_PYTHON)}
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        candidate = os.path.join(directory or ".", "python3")
        if not (os.path.isfile(candidate) and os.access(candidate, os.X_OK)):
            continue
        real = os.path.realpath(candidate)
        if real in seen:
            continue
        seen.add(real)
        probe = "import sys\ntry:\n    import websockets\nexcept ImportError:\n    sys.exit(7)\n"
        try:
            status = subprocess.run([candidate, "-c", probe], env=env, timeout=20,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        except (OSError, subprocess.SubprocessError):
            continue
        if status == 7:
            return candidate
    return None


class MissingLibraryTests(unittest.TestCase):
    def test_kernel_without_websockets_exits_with_one_line(self):
        interpreter = _interpreter_without_websockets()
        if interpreter is None:
            self.skipTest("no python3 without the websockets library on PATH")
        done = subprocess.run([interpreter, "-m", "corvane_master.python_server", WB, "8000", "{}"],
                              env=kernel_env(), timeout=30, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL)
        self.assertNotEqual(done.returncode, 0)
        self.assertEqual(done.stdout, "")
        lines = done.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, done.stderr)
        self.assertIn("websockets", lines[0])


if __name__ == "__main__":
    unittest.main()

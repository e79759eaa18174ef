"""The main path end to end with the real kernel program: code in, calls out, results back."""
import asyncio
import json
import os
import tempfile
import time

from tests.integration.harness import TIMEOUT, ServerTestCase, connect, get, recv_type, wait_until

MODULE = '''
def add(a, b):
    print("adding", a, b)
    return a + b

def fail(x):
    raise ValueError("bad value %s" % x)

def count(n):
    for i in range(n):
        yield i * 10
'''


class MainPath(ServerTestCase):
    async def asyncSetUp(self):
        self.addin = await connect(self.server, "addin", "wb", "?name=Book")
        self.ide = await connect(self.server, "ide", "main")
        await self.addin.send(json.dumps({"type": "spawn_kernel"}))
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            if json.loads(get(self.server.port, "/connections")[2])["kernel"] == ["wb"]:
                break
            await asyncio.sleep(0.05)
        else:
            self.fail("kernel did not connect")
        await self.ide.send(json.dumps({"type": "update_module", "workbook_id": "wb", "module_name": "calc",
                                        "code": MODULE}))
        request = await recv_type(self.addin, "save_module_request")
        await self.addin.send(json.dumps({"type": "save_module_response", "requestId": request["requestId"],
                                          "success": True}))

    async def asyncTearDown(self):
        await self.ide.close()
        await self.addin.close()

    async def call(self, request_id, function, args):
        await self.addin.send(json.dumps({"type": "function_execution", "request_id": request_id,
                                          "module_name": "calc", "function_name": function, "args": args}))

    async def test_result_with_printed_logs(self):
        await self.call("r1", "add", [2, 3])
        result = await recv_type(self.addin, "function_execution_result")
        self.assertEqual(result, {"type": "function_execution_result", "request_id": "r1", "status": "success",
                                  "result": 5, "logs": "adding 2 3\n"})

    async def test_kernel_side_error(self):
        await self.call("e1", "fail", [7])
        result = await recv_type(self.addin, "function_execution_result")
        self.assertEqual(result["status"], "error")
        self.assertEqual(result["error"]["type"], "ValueError")
        self.assertIn("bad value 7", result["error"]["message"])

    async def test_streaming_function(self):
        await self.addin.send(json.dumps({"type": "streaming_function_execution", "request_id": "s1",
                                          "module_name": "calc", "function_name": "count", "args": [3]}))
        values = []
        while True:
            update = await recv_type(self.addin, "streaming_function_result")
            if update.get("done"):
                break
            values.append(update["result"])
        self.assertEqual(values, [0, 10, 20])

    async def test_burst_comes_back_whole(self):
        # Whether results share a batch depends on the machine's pace (the batching window is the
        # unit tests' business, on a held clock); here every call of the burst gets its answer once.
        await self.call("warm", "add", [0, 0])
        await recv_type(self.addin, "function_execution_result")
        for i in range(50):
            await self.call("b%d" % i, "add", [i, i])
        results = []
        while len(results) < 50:
            m = json.loads(await asyncio.wait_for(self.addin.recv(), TIMEOUT))
            if m["type"] == "batch_results":
                results += [(r["request_id"], r["result"]) for r in m["results"]]
            elif m["type"] == "function_execution_result":
                results.append((m["request_id"], m["result"]))
        self.assertEqual(sorted(results), sorted(("b%d" % i, 2 * i) for i in range(50)))

    async def test_kill_kernel_answers_calls_in_flight_and_restarts(self):
        await self.ide.send(json.dumps({"type": "update_module", "workbook_id": "wb", "module_name": "slow",
                                        "code": "import time\ndef wait(started):\n    open(started, 'w').close()\n"
                                                "    time.sleep(30)\n"}))
        await recv_type(self.addin, "save_module_request")
        started = tempfile.mktemp(prefix="switchyard-it-call-started-")
        self.addCleanup(lambda: os.path.exists(started) and os.unlink(started))
        await self.addin.send(json.dumps({"type": "function_execution", "request_id": "w1", "module_name": "slow",
                                          "function_name": "wait", "args": [started]}))
        # The kill comes once the kernel runs the call (the server handles an add-in's messages
        # side by side, so sending them in order is not enough).
        self.assertTrue(await asyncio.to_thread(wait_until, lambda: os.path.exists(started)))
        await self.addin.send(json.dumps({"type": "kill_kernel"}))
        seen = {}
        while len(seen) < 2:
            m = json.loads(await asyncio.wait_for(self.addin.recv(), TIMEOUT))
            if m["type"] in ("kill_kernel_response", "function_execution_result"):
                seen[m["type"]] = m
        self.assertTrue(seen["kill_kernel_response"]["success"])
        self.assertEqual(seen["function_execution_result"]["error"], {"message": "Kernel disconnected"})
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            if json.loads(get(self.server.port, "/connections")[2])["kernel"] == ["wb"]:
                break
            await asyncio.sleep(0.1)
        # The restarted kernel gets the code with the next call.
        await self.call("after", "add", [1, 1])
        result = await recv_type(self.addin, "function_execution_result")
        self.assertEqual(result["result"], 2)


class NoKernel(ServerTestCase):
    async def test_call_without_kernel_is_answered_at_once(self):
        addin = await connect(self.server, "addin", "lonely")
        await addin.send(json.dumps({"type": "function_execution", "request_id": "x", "module_name": "m",
                                     "function_name": "f"}))
        result = await recv_type(addin, "function_execution_result")
        self.assertEqual(result, {"type": "function_execution_result", "request_id": "x", "status": "error",
                                  "error": {"message": "Kernel not connected for workbook lonely"}, "logs": ""})
        await addin.close()

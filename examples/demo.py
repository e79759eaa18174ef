#!/usr/bin/python3
"""A short session against a running switchyard: plays the spreadsheet add-in and the code editor.

    python3 examples/demo.py PORT

The add-in asks for its kernel, the editor saves a module into the workbook, then the add-in calls
functions the way spreadsheet formulas do: one call, a burst that comes back batched, a streaming
function, and a function that fails.
"""
import asyncio
import json
import sys
import time
import urllib.request

import websockets

WORKBOOK = "demo-book"
MODULE = '''
import math

def add(a, b):
    print(f"adding {a} and {b}")
    return a + b

def hypot(x, y):
    return math.hypot(x, y)

def countdown(n):
    for i in range(n, 0, -1):
        yield i

def divide(a, b):
    return a / b
'''


def say(who, text):
    print("%-8s %s" % (who, text), flush=True)


async def recv(ws, wanted, timeout=15.0):
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("no %s within %.0f s" % (wanted, timeout))
        message = json.loads(await asyncio.wait_for(ws.recv(), left))
        if message.get("type") in wanted:
            return message


async def wait_for_kernel(port, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with urllib.request.urlopen("http://127.0.0.1:%d/connections" % port) as response:
            if WORKBOOK in json.load(response)["kernel"]:
                return
        await asyncio.sleep(0.1)
    raise TimeoutError("the kernel did not connect")


async def main(port):
    base = "ws://127.0.0.1:%d/ws" % port
    options = dict(max_size=None, compression=None)
    async with websockets.connect("%s/addin/%s?name=Demo%%20Book" % (base, WORKBOOK), **options) as addin, \
            websockets.connect("%s/ide/demo-editor" % base, **options) as editor:
        await recv(addin, {"ping"})
        await recv(editor, {"ping"})

        say("add-in", "asks for its kernel")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        await wait_for_kernel(port)
        say("server", "kernel/%s connected" % WORKBOOK)

        say("editor", "saves module 'demo'")
        await editor.send(json.dumps({"type": "save_module", "workbook_id": WORKBOOK, "module_name": "demo",
                                      "code": MODULE}))
        request = await recv(addin, {"save_module_request"})
        await addin.send(json.dumps({"type": "save_module_response", "request_id": request["request_id"],
                                     "success": True}))
        saved = await recv(editor, {"module_saved"})
        say("editor", "module_saved success=%s" % saved["success"])

        say("add-in", "=DEMO.ADD(2, 3)")
        await addin.send(json.dumps({"type": "function_execution", "request_id": "call-1", "module_name": "demo",
                                     "function_name": "add", "args": [2, 3]}))
        result = await recv(addin, {"function_execution_result"})
        say("add-in", "result %s (printed: %r)" % (result["result"], result["logs"]))

        say("add-in", "recalculates 20 cells of =DEMO.HYPOT(i, 1)")
        for i in range(20):
            await addin.send(json.dumps({"type": "function_execution", "request_id": "cell-%d" % i,
                                         "module_name": "demo", "function_name": "hypot", "args": [i, 1]}))
        answered = {}
        messages = 0
        while len(answered) < 20:
            message = await recv(addin, {"function_execution_result", "batch_results"})
            messages += 1
            for r in message.get("results", [message]):
                answered[r["request_id"]] = r["result"]
        say("add-in", "20 results in %d message(s); cell-19 = %.4f" % (messages, answered["cell-19"]))

        say("add-in", "=DEMO.COUNTDOWN(3) (streaming)")
        await addin.send(json.dumps({"type": "streaming_function_execution", "request_id": "stream-1",
                                     "module_name": "demo", "function_name": "countdown", "args": [3]}))
        while True:
            update = await recv(addin, {"streaming_function_result"})
            if update.get("done"):
                say("add-in", "stream done" + (" with error %s" % update["error"] if "error" in update else ""))
                break
            say("add-in", "stream value %s" % update["result"])

        say("add-in", "=DEMO.DIVIDE(1, 0)")
        await addin.send(json.dumps({"type": "function_execution", "request_id": "call-2", "module_name": "demo",
                                     "function_name": "divide", "args": [1, 0]}))
        failed = await recv(addin, {"function_execution_result"})
        error = failed["error"]
        say("add-in", "error %s: %s" % (error.get("type"), error.get("message")))

        say("add-in", "closes the workbook")
    say("demo", "done")


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1])))

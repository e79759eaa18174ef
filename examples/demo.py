#!/usr/bin/python3
"""A short session against a running switchyard: plays the spreadsheet add-in and the code editor.

    python3 examples/demo.py PORT

The editor connects; then the add-in opens a workbook and only answers the server's questions (its
modules, published functions, packages and events). The server starts the workbook's kernel by
itself, loads the code into it and tells the editor. The add-in then calls functions the way
spreadsheet formulas do: one call, a burst that comes back batched, a streaming function, and a
function that fails. The editor asks the inspector which function a cursor position is in.
"""
import asyncio
import json
import sys
import time

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


PUBLISHED = [{"module": "demo", "function": "add", "excel_name": "DEMO.ADD"},
             {"module": "demo", "function": "hypot", "excel_name": "DEMO.HYPOT"},
             {"module": "demo", "function": "countdown", "excel_name": "DEMO.COUNTDOWN", "streaming": True},
             {"module": "demo", "function": "divide", "excel_name": "DEMO.DIVIDE"}]
# What the workbook answers when the server asks for its state.
ANSWERS = {
    "get_modules_request": {"type": "get_modules_response", "modules": {"demo": MODULE}},
    "get_functions_request": {"type": "get_functions_response", "functions": PUBLISHED},
    "get_packages_request": {"type": "get_packages_response", "packages": [], "python_paths": []},
    "get_events_request": {"events_registered": {}, "com_events_registered": {}, "events_definition": {},
                           "events_tree": {}},
}


async def open_workbook(addin):
    """Answers the server's connection-time questions until the kernel has registered the functions."""
    while True:
        message = json.loads(await asyncio.wait_for(addin.recv(), 30))
        if message["type"] in ANSWERS:
            say("add-in", "answers %s" % message["type"])
            await addin.send(json.dumps(dict(ANSWERS[message["type"]], request_id=message["request_id"])))
        elif message["type"] == "sync_custom_functions":
            return message["functions"]


async def editor_sees(editor, until):
    seen = []
    while True:
        message = json.loads(await asyncio.wait_for(editor.recv(), 30))
        if message["type"] == "ping":
            continue
        seen.append(message["type"])
        if message["type"] == until:
            return message, seen


async def main(port):
    base = "ws://127.0.0.1:%d/ws" % port
    options = dict(max_size=None, compression=None)
    async with websockets.connect("%s/ide/demo-editor" % base, **options) as editor:
        listing, _ = await editor_sees(editor, "workbook_list")
        say("editor", "connected; open workbooks: %d" % len(listing["workbooks"]))
        async with websockets.connect("%s/addin/%s?name=Demo%%20Book" % (base, WORKBOOK), **options) as addin:
            await recv(addin, {"ping"})
            say("add-in", "opens workbook %s" % WORKBOOK)
            functions = await open_workbook(addin)
            for f in functions:
                say("add-in", "registers =%s(%s)" % (f["excel_name"], ", ".join(p["name"] for p in f["parameters"])))
            listing, _ = await editor_sees(editor, "workbook_list")
            say("editor", "workbook list: %s" % ", ".join("%s (%s)" % (w["name"], ", ".join(w["modules"]))
                                                          for w in listing["workbooks"]))
            console, seen = await editor_sees(editor, "log_to_console")
            say("editor", "state pushes: %s" % ", ".join(t for t in seen if t != "log_to_console"))
            say("editor", "console: %s" % console["content"])

            say("add-in", "=DEMO.ADD(2, 3)")
            await addin.send(json.dumps({"type": "function_execution", "request_id": "call-1",
                                         "module_name": "demo", "function_name": "add", "args": [2, 3]}))
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
            await addin.send(json.dumps({"type": "function_execution", "request_id": "call-2",
                                         "module_name": "demo", "function_name": "divide", "args": [1, 0]}))
            failed = await recv(addin, {"function_execution_result"})
            error = failed["error"]
            say("add-in", "error %s: %s" % (error.get("type"), error.get("message")))

            say("editor", "which function is line 8 of demo in?")
            await editor.send(json.dumps({"type": "get_function_at_position", "request_id": "pos-1",
                                          "code": MODULE, "line": 8, "column": 5}))
            found, _ = await editor_sees(editor, "function_at_position_result")
            say("editor", "%s" % (found.get("function_name") or found.get("error")))

            say("add-in", "closes the workbook")
        gone, _ = await editor_sees(editor, "workbook_disconnected")
        say("editor", "workbook %s closed" % gone["workbook_id"])
    say("demo", "done")


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1])))

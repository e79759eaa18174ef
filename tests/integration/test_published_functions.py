"""Published functions over real sockets: the parameters the add-in is told are those CPython
sees (the server's helper against this interpreter's own ast module), and the published-function
lists kept in step between the add-in, the editors and the server."""
import ast
import asyncio
import glob
import json
import os
import signal
import sys
import sysconfig
import time
import unittest

from tests.integration.harness import (TIMEOUT, ROOT, ServerProcess, ServerTestCase, connect, expect_silence, get, recv_type, until)

sys.path.insert(0, os.path.join(ROOT, "python"))
from corvane_signatures.signatures import definitions  # noqa: E402

SHAPES = '''
def positional_only(a, b, /, c, d=1):
    pass

def keyword_only(a, *, b, c=2):
    pass

def variadic(a, *args, b, **kwargs):
    pass

def with_self(x, self, y, cls, z=0):
    pass

def annotated(a: int, b: "str" = "x") -> float:
    pass

async def asynchronous(a, b):
    pass

def no_parameters():
    pass

f = lambda lam: lam
'''

NESTING = '''
import functools

def outer(a, b):
    def inner(c):
        pass
    return inner

class Holder:
    def outer(self, z):
        pass

    @staticmethod
    def inner(self, cls, q):
        pass

    @classmethod
    def build(cls, spec):
        pass

@functools.lru_cache(maxsize=None)
@(lambda fn: fn)
def decorated(p, q=3):
    pass

if condition:
    pass
elif other:
    def choose(elif_branch):
        pass
while waiting:
    def choose(while_body):
        pass

try:
    pass
except ValueError:
    def handled(h):
        pass
finally:
    def handled(f):
        pass

match command:
    case [x]:
        def in_case(c):
            pass

async def twice(a):
    pass

def twice(b):
    pass

def first(one): pass
def first(two): pass
'''

SOURCES = {
    "shapes": SHAPES,
    "nesting": NESTING,
    "syntax_far": "def f(a, b):\n    return a\n" + "\n" * 400 + "x = (1,\n",
    "empty": "",
    "python2": "def f(a, b):\n    print 'hello %s' % a\n",
    "nul": "def f(a):\n    return 1\n# \x00\n",
    "unicode": "def \ufb01nd(\uff58, \u210c):\n    return '\u00e9\U0001f600\u2028'\r\n\x0cdef g(y): pass\n",
    "bom": "\ufeffdef f(a):\n    pass\n",
}
NAMES = ["positional_only", "keyword_only", "variadic", "with_self", "annotated", "asynchronous", "no_parameters",
         "lam", "outer", "inner", "build", "decorated", "choose", "handled", "in_case", "twice", "first", "f", "g",
         "find", "\ufb01nd", "missing"]


def oracle(code, name):
    """What the kernel's Python sees: (parameters, warning or None)."""
    try:
        tree = ast.parse(code)
    except SyntaxError as exc:
        return [], "Syntax error in code when extracting parameters for '%s': %s" % (name, exc)
    except Exception as exc:
        return [], "Unexpected error extracting parameters for '%s': %s" % (name, exc)
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef) and node.name == name:
            return [{"name": a.arg, "type": "any"} for a in node.args.args if a.arg not in ("self", "cls")], None
    return [], None


def helper_pids(server):
    """Process ids of the server's parameter helpers."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if ppid == server.proc.pid and b"corvane_signatures" in cmdline:
            pids.append(int(entry))
    return pids


def entry(module, function, excel=None, **extra):
    e = {"module_name": module, "function_name": function, "excel_name": excel or function.upper()}
    e.update(extra)
    return e


class Editor:
    """Helpers for a test case holding self.addin and self.ide."""

    async def save(self, module, code):
        await self.ide.send(json.dumps({"type": "update_module", "workbook_id": "wb", "module_name": module,
                                        "code": code}))

    async def publish(self, functions, timeout=TIMEOUT):
        await self.ide.send(json.dumps({"type": "update_published_functions", "workbook_id": "wb",
                                        "functions": functions}))
        return (await recv_type(self.addin, "sync_custom_functions", timeout))["functions"]


class ParametersSeenByCPython(Editor, ServerTestCase):
    async def asyncSetUp(self):
        self.addin = await connect(self.server, "addin", "wb")
        self.ide = await connect(self.server, "ide", "main")

    async def asyncTearDown(self):
        await self.ide.close()
        await self.addin.close()

    async def test_every_case_matches_the_interpreters_own_parser(self):
        for module, code in SOURCES.items():
            if code:
                await self.save(module, code)
        functions = [entry(module, name, "X%d" % i) for module in SOURCES for i, name in enumerate(NAMES)]
        registered = await self.publish(functions)
        self.assertEqual(len(registered), len(functions))
        expected_warnings = set()
        for got, sent in zip(registered, functions):
            parameters, warning = oracle(SOURCES[sent["module_name"]], sent["function_name"])
            self.assertEqual(got, {"module": sent["module_name"], "function": sent["function_name"],
                                   "excel_name": sent["excel_name"], "parameters": parameters,
                                   "dimension": "Scalar", "streaming": False}, sent)
            if warning:
                expected_warnings.add(warning)
        # Spot checks that the oracle itself reads these cases as intended.
        by_key = {(g["module"], g["function"]): [p["name"] for p in g["parameters"]] for g in registered}
        self.assertEqual(by_key["shapes", "positional_only"], ["c", "d"])
        self.assertEqual(by_key["shapes", "variadic"], ["a"])
        self.assertEqual(by_key["shapes", "with_self"], ["x", "y", "z"])
        self.assertEqual(by_key["nesting", "choose"], ["while_body"])
        self.assertEqual(by_key["nesting", "inner"], ["c"])
        self.assertEqual(by_key["nesting", "twice"], ["b"])
        self.assertEqual(by_key["unicode", "find"], ["x", "H"])
        self.assertEqual(by_key["syntax_far", "f"], [])
        self.assertTrue(any("Missing parentheses" in w for w in expected_warnings))
        for warning in expected_warnings:
            self.assertTrue(await self.server.log_seen("[warning] " + warning), warning)
        # Nothing else warns: empty sources, modules not stored and names not defined stay silent.
        expected_count = sum(1 for sent in functions
                             if oracle(SOURCES[sent["module_name"]], sent["function_name"])[1])
        count = lambda: self.server.log_text().count("extracting parameters for '")
        await until(lambda: count() >= expected_count)
        self.assertEqual(count(), expected_count)

    async def test_a_ten_megabyte_module_and_a_helper_killed_mid_request(self):
        big = "def big(a, self, b):\n    return a\nDATA = '''" + "x" * (10 * 1024 * 1024) + "'''\n"
        await self.save("big", big)
        self.assertEqual(await self.publish([entry("big", "big")], timeout=TIMEOUT),
                         [{"module": "big", "function": "big", "excel_name": "BIG",
                           "parameters": [{"name": "a", "type": "any"}, {"name": "b", "type": "any"}],
                           "dimension": "Scalar", "streaming": False}])
        [first_helper] = helper_pids(self.server)

        # A helper that cannot answer (stopped) until it is killed: it dies while the request is
        # on its way or in its hands, however fast the machine is. The 4 MiB comment, quick to
        # parse, earns the request 16 s more than the helper's 2 s limit: time for the kill to
        # come first on a busy machine.
        slow = "def f(a, b=[1, (1, 2)], *c):\n    return {a: b}\ndef target(x, y):\n    pass\n"
        await self.save("slow", slow + "# " + "x" * (4 * 1024 * 1024) + "\n")
        os.kill(first_helper, signal.SIGSTOP)
        await self.ide.send(json.dumps({"type": "update_published_functions", "workbook_id": "wb",
                                        "functions": [entry("slow", "target")]}))
        self.assertTrue(await until(lambda: self.server.log_text().count("Updating published functions") >= 2))
        os.kill(first_helper, signal.SIGKILL)
        registered = (await recv_type(self.addin, "sync_custom_functions", 60))["functions"]
        self.assertEqual(registered[0]["parameters"], [])
        self.assertTrue(await self.server.log_seen(
            "[warning] Unexpected error extracting parameters for 'target': the parameter helper exited on signal 9"))
        # The next push gets a new helper; the server answered all along.
        self.assertEqual(get(self.server.port, "/")[0], 200)
        registered = await self.publish([entry("slow", "target"), entry("big", "big")], timeout=TIMEOUT)
        self.assertEqual([[p["name"] for p in r["parameters"]] for r in registered], [["x", "y"], ["a", "b"]])
        self.assertNotIn(first_helper, helper_pids(self.server))
        self.assertEqual(len(helper_pids(self.server)), 1)


class HelperWalkOrder(unittest.TestCase):
    def test_pruned_walk_lists_what_ast_walk_lists_over_the_standard_library(self):
        checked = 0
        for path in sorted(glob.glob(os.path.join(sysconfig.get_paths()["stdlib"], "**", "*.py"), recursive=True)):
            try:
                with open(path, encoding="utf-8") as f:
                    tree = ast.parse(f.read())
            except (SyntaxError, UnicodeDecodeError, ValueError, OSError):
                continue
            expected = [[n.name, isinstance(n, ast.AsyncFunctionDef), [a.arg for a in n.args.args]]
                        for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))]
            self.assertEqual(definitions(tree), expected, path)
            checked += len(expected)
        self.assertGreater(checked, 10000)


class MissingInterpreter(Editor, ServerTestCase):
    def setUp(self):
        self.server = ServerProcess(python="/nonexistent/python3")

    async def test_server_answers_and_functions_get_no_parameters(self):
        self.assertEqual(get(self.server.port, "/")[0], 200)
        self.addin = await connect(self.server, "addin", "wb")
        self.ide = await connect(self.server, "ide", "main")
        await self.save("m", "def f(a, b):\n    pass\n")
        registered = await self.publish([entry("m", "f")])
        self.assertEqual(registered[0]["parameters"], [])
        self.assertTrue(await self.server.log_seen("[warning] Unexpected error extracting parameters for 'f': "
                                                 "[Errno 2] No such file or directory: '/nonexistent/python3'"))
        await self.ide.close()
        await self.addin.close()


class PublishedFunctionSync(ServerTestCase):
    async def asyncSetUp(self):
        self.addin = await connect(self.server, "addin", "wb")
        self.ides = [await connect(self.server, "ide", "one"), await connect(self.server, "ide", "two")]

    async def asyncTearDown(self):
        for ws in self.ides + [self.addin]:
            await ws.close()

    async def states(self):
        return [await recv_type(ide, "published_functions_state") for ide in self.ides]

    async def test_editor_update_validates_stores_and_tells_everyone(self):
        ide = self.ides[0]
        await ide.send(json.dumps({"type": "update_published_functions", "workbook_id": "wb", "functions": []}))
        self.assertEqual(await recv_type(self.addin, "sync_custom_functions"),
                         {"type": "sync_custom_functions", "functions": []})
        self.assertEqual(await self.states(), [{"type": "published_functions_state", "workbook_id": "wb",
                                                "functions": []}] * 2)

        stored = [entry("m", "f", "F", extra="kept"), entry("", "g", "G"),
                  entry("absent", "h", "H", dimension="Array", streaming=True)]
        sent = [stored[0], {"module_name": "m", "function_name": "x"}, 7, "text", stored[1], stored[2]]
        await ide.send(json.dumps({"type": "update_published_functions", "workbook_id": "wb", "functions": sent}))
        registered = (await recv_type(self.addin, "sync_custom_functions"))["functions"]
        self.assertEqual(registered, [
            {"module": "m", "function": "f", "excel_name": "F", "parameters": [], "dimension": "Scalar",
             "streaming": False},
            {"module": "absent", "function": "h", "excel_name": "H", "parameters": [], "dimension": "Array",
             "streaming": True}])
        for state in await self.states():
            self.assertEqual(state["functions"], stored)
        for line in ["[warning] Skipping invalid function entry: {'module_name': 'm', 'function_name': 'x'}",
                     "[warning] Skipping invalid function entry: 7", "[warning] Skipping invalid function entry: text",
                     "[info] Updating published functions for workbook: wb, count: 3",
                     "[warning] Skipping function with missing module_name or function_name: "
                     "{'module_name': '', 'function_name': 'g', 'excel_name': 'G'}"]:
            self.assertTrue(await self.server.log_seen(line), line)

        # Bad messages change nothing and send nothing.
        await ide.send(json.dumps({"type": "update_published_functions", "functions": []}))
        await ide.send(json.dumps({"type": "update_published_functions", "workbook_id": "wb", "functions": {}}))
        await ide.send(json.dumps({"type": "update_published_functions", "workbook_id": "wb", "functions": None}))
        self.assertTrue(await self.server.log_seen(
            "[warning] Received update_published_functions with invalid functions type: <class 'NoneType'>"))
        self.assertTrue(await self.server.log_seen("[warning] Received update_published_functions from IDE without workbook_id"))
        self.assertTrue(await self.server.log_seen("[warning] Received update_published_functions with invalid functions type: <class 'dict'>"))
        await expect_silence(self.addin)
        # The stored list is still the one above: the add-in's kernel would get it again.
        await self.ides[1].send(json.dumps({"type": "update_published_functions", "workbook_id": "wb",
                                            "functions": stored[:1]}))
        self.assertEqual(len((await recv_type(self.addin, "sync_custom_functions"))["functions"]), 1)

    async def test_addin_sync_and_restore_convert_and_reach_the_editors_only(self):
        items = [{"module": "m", "function": "f", "excel_name": "F"},
                 {"module_name": "m", "function_name": "g", "excel_name": "G", "dimension": "Array",
                  "streaming": True, "other": 1},
                 {"module": "m", "module_name": "ignored", "function": "h", "excel_name": "H"},
                 {"module": "m", "function": "no_excel"}, {"module": "", "function": "e", "excel_name": "E"}, 5]
        converted = [
            {"module_name": "m", "function_name": "f", "excel_name": "F", "dimension": "Scalar", "streaming": False},
            {"module_name": "m", "function_name": "g", "excel_name": "G", "dimension": "Array", "streaming": True},
            {"module_name": "m", "function_name": "h", "excel_name": "H", "dimension": "Scalar", "streaming": False}]
        await self.addin.send(json.dumps({"type": "client_sync_functions", "functions": items}))
        for state in await self.states():
            self.assertEqual(state, {"type": "published_functions_state", "workbook_id": "wb", "functions": converted})
        self.assertTrue(await self.server.log_seen("[debug] [Server] Synced functions to IDE for workbook: wb"))
        self.assertTrue(await self.server.log_seen("[info] [Server] Client syncing 6 functions"))

        await self.addin.send(json.dumps({"type": "client_restored_functions", "functions": items[:1]}))
        for state in await self.states():
            self.assertEqual(state["functions"], converted[:1])
        self.assertTrue(await self.server.log_seen("[debug] [Server] Synced restored functions to IDE for workbook: wb"))
        self.assertTrue(await self.server.log_seen("[info] [Server] Client restored 1 functions for workbook: wb"))
        await expect_silence(self.addin)
        # The restored list is now the workbook's: an editor update with none falls back to it.
        await self.addin.send(json.dumps({"type": "client_restored_functions"}))
        self.assertEqual((await self.states())[0]["functions"], [])
        # Not a list: read as none, with a warning, instead of failing the message.
        await self.addin.send(json.dumps({"type": "client_sync_functions", "functions": None}))
        self.assertEqual((await self.states())[1]["functions"], [])
        self.assertTrue(await self.server.log_seen("[warning] [Server] Ignoring functions that are not a list: <class 'NoneType'>"))

    async def test_function_at_position_goes_to_the_inspector_or_is_answered_for_it(self):
        question = {"type": "get_function_at_position", "request_id": "q1", "code": "def f(): pass", "line": 1}
        await self.ides[0].send(json.dumps(question))
        for ide in self.ides:
            self.assertEqual(await recv_type(ide, "function_at_position_result"),
                             {"type": "function_at_position_result", "request_id": "q1", "function_name": None,
                              "error": "Inspector service not available"})
        await self.ides[0].send(json.dumps({"type": "get_function_at_position"}))
        for ide in self.ides:
            self.assertIsNone((await recv_type(ide, "function_at_position_result"))["request_id"])
        self.assertTrue(await self.server.log_seen("[warning] Inspector not connected, cannot process get_function_at_position"))

        inspector = await connect(self.server, "inspector", "main")
        await self.ides[1].send(json.dumps(question))
        self.assertEqual(await recv_type(inspector, "get_function_at_position"), question)
        await expect_silence(self.ides[0])
        await inspector.close()

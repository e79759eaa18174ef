"""Connection hooks end to end: an add-in that only answers the server's questions gets its kernel,
its code loaded and its function called; the editors hear about it all."""
import json

from tests.integration.harness import ServerTestCase, connect, recv_json, recv_type

MODULE = "def add(a, b):\n    return a + b\n"
ANSWERS = {
    "get_modules_request": {"type": "get_modules_response", "modules": {"calc": MODULE}},
    "get_functions_request": {"type": "get_functions_response",
                              "functions": [{"module": "calc", "function": "add", "excel_name": "CALC.ADD"}]},
    "get_packages_request": {"type": "get_packages_response", "packages": [], "python_paths": []},
    "get_events_request": {"events_registered": {}, "com_events_registered": {}, "events_definition": {},
                           "events_tree": {}},
}


class AddinConnection(ServerTestCase):
    async def answer_until(self, addin, wanted):
        """Answers the server's connection-time requests until a message of type `wanted` arrives."""
        asked = []
        while True:
            m = await recv_json(addin, 30)
            if m["type"] == wanted:
                return asked, m
            if m["type"] in ANSWERS:
                asked.append(m["type"])
                self.assertEqual(m["request_id"], m["requestId"])
                await addin.send(json.dumps(dict(ANSWERS[m["type"]], request_id=m["request_id"])))

    async def test_addin_that_only_answers_gets_a_working_kernel(self):
        ide = await connect(self.server, "ide", "main")
        addin = await connect(self.server, "addin", "wb", "?name=Book%201")
        # The kernel, started by the server, registers the function with its parameters.
        asked, sync = await self.answer_until(addin, "sync_custom_functions")
        self.assertEqual(asked, list(ANSWERS))
        self.assertEqual(sync["functions"], [{"module": "calc", "function": "add", "excel_name": "CALC.ADD",
                                              "parameters": [{"name": "a", "type": "any"},
                                                             {"name": "b", "type": "any"}],
                                              "dimension": "Scalar", "streaming": False}])
        _, config = await self.answer_until(addin, "save_event_config_request")
        self.assertIs(config["save"], False)

        # The editor: the list, the workbook's state, and the kernel's arrival on its console.
        # (its own connection's list may come first, from before the add-in's modules were in)
        listing = await recv_type(ide, "workbook_list")
        while listing["workbooks"] and not listing["workbooks"][0]["modules"]:
            listing = await recv_type(ide, "workbook_list")
        self.assertEqual(listing["workbooks"], [{"id": "wb", "name": "Book 1", "modules": {"calc": MODULE}}])
        seen = []
        while not seen or seen[-1]["type"] != "log_to_console":
            seen.append(await recv_json(ide, 30))
        for state in ("event_manager_state", "published_functions_state", "workbook_packages_update",
                      "workbook_connected"):
            self.assertIn(state, [m["type"] for m in seen])
        self.assertEqual(seen[-1], {"type": "log_to_console", "content": "Kernell connected for workbook Book 1"})

        # No further message is needed: the code is in the kernel.
        await addin.send(json.dumps({"type": "function_execution", "request_id": "c1", "module_name": "calc",
                                     "function_name": "add", "args": [2, 3]}))
        result = await recv_type(addin, "function_execution_result")
        self.assertEqual(result["result"], 5)

        # A second editor: the list for it alone, the workbook's state for everyone.
        second = await connect(self.server, "ide", "second")
        self.assertEqual((await recv_type(second, "workbook_list"))["workbooks"][0]["id"], "wb")
        await recv_type(second, "workbook_connected")
        await recv_type(ide, "workbook_connected")
        for ws in (second, ide, addin):
            await ws.close()

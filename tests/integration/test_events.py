"""Event handler registration end to end: an editor binds a function to a sheet event, the add-in
confirms over its socket, and every editor sees the result and the binding in its view."""
import json

from tests.integration.harness import ServerTestCase, connect, recv_type

TREE = {"type": "Workbook", "id": "Book", "name": "Book1",
        "children": [{"type": "Worksheet", "id": "Sheet1", "name": "Sheet1"}]}
DEFINITIONS = {"Worksheet": [{"eventType": "sheet", "eventName": "onSelectionChanged",
                              "eventArgsType": "SelectionArgs"}]}


class Registration(ServerTestCase):
    async def test_register_confirmed_by_addin_reaches_every_editor(self):
        addin = await connect(self.server, "addin", "wb", "?name=Book1")
        editors = [await connect(self.server, "ide", "one"), await connect(self.server, "ide", "two")]
        try:
            await addin.send(json.dumps({"type": "workbook_structure_update", "tree": TREE}))
            await addin.send(json.dumps({"type": "event_definitions_update", "definitions": DEFINITIONS}))
            for ide in editors:
                await recv_type(ide, "event_manager_state")
                await recv_type(ide, "event_manager_state")

            await editors[0].send(json.dumps({
                "type": "register_handler", "workbook_id": "wb", "object_type": "Worksheet", "object_id": "Sheet1",
                "event_name": "onSelectionChanged", "module_name": "calc", "function_name": "on_select"}))
            request = await recv_type(addin, "register_handler_request")
            self.assertEqual(request["request_id"], request["requestId"])
            self.assertEqual({k: v for k, v in request.items() if k not in ("request_id", "requestId")}, {
                "type": "register_handler_request", "object_type": "Worksheet", "object_id": "Sheet1",
                "event_name": "onSelectionChanged", "module_name": "calc", "function_name": "on_select",
                "is_com": False})
            await addin.send(json.dumps({"type": "register_handler_response", "requestId": request["requestId"],
                                         "success": True}))

            for ide in editors:
                state = await recv_type(ide, "event_manager_state")
                sheet = state["view_model"][0]["children"][0]
                self.assertEqual(sheet["events"], [{
                    "name": "onSelectionChanged", "type": "sheet", "arg_type": "SelectionArgs", "com_args": [],
                    "is_com": False, "python_function": "calc.on_select"}])
                result = await recv_type(ide, "register_handler_result")
                self.assertEqual(result, {"type": "register_handler_result", "workbook_id": "wb",
                                          "object_id": "Sheet1", "event_name": "onSelectionChanged",
                                          "success": True})
        finally:
            for ws in editors + [addin]:
                await ws.close()

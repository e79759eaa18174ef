"""A real browser as the spreadsheet add-in. Debian's headless chromium, driven through
chromedriver, loads a small add-in page that talks to the server over WebSocket and calls a
published function computed by a real kernel; a page of another origin tries every way a web
page has to reach the server; and the add-in page rides out a server restart."""
import asyncio
import base64
import functools
import http.server
import json
import os
import tempfile
import threading
import unittest
import urllib.parse

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from tests.integration.harness import ServerProcess, connect, get, http_request, recv_json, recv_type, until, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Headless as root on a machine without network: no sandbox, no GPU, and none of the browser's
# own background connections.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", "--host-resolver-rules=MAP rebound.test 127.0.0.1"]
WORKBOOK = "browser-book"
BOOK_NAME = "Browser Book"
DEADLINE = 60.0


def hypot(x, y):
    """What the page's module computes, the same way."""
    return (x * x + y * y) ** 0.5


def bulk_envelope(text):
    """A base64url bulk envelope that makes the workbook's add-in say `text` to every editor. Its
    length is made a multiple of 4, so that what a text/plain form appends ("=" and CRLF) is read
    as the end of the data."""
    while True:
        raw = json.dumps({"client_type": "addin", "client_id": WORKBOOK,
                          "message": {"type": "message_ide", "message": text}}).encode()
        if len(raw) % 3 == 0:
            return base64.urlsafe_b64encode(raw).decode()
        text += "."


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Site:
    """Serves the pages of this folder from 127.0.0.1 on a port of its own: an origin of its own."""

    def __init__(self):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=HERE))
        self.origin = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def url(self, page, **query):
        return "%s/%s?%s" % (self.origin, page, urllib.parse.urlencode(query))

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Browser:
    def __init__(self):
        self.profile = tempfile.TemporaryDirectory(prefix="switchyard-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + self.profile.name]:
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.set_script_timeout(DEADLINE)

    def page_json(self, element_id):
        text = self.driver.execute_script("return document.getElementById(arguments[0]).textContent", element_id)
        try:
            return json.loads(text)
        except (TypeError, ValueError):
            return {}  # the page has not written it yet

    def wait_for(self, element_id, predicate, timeout=DEADLINE):
        """Polls the JSON shown in an element of the page until `predicate` holds; returns it."""
        seen = {}

        def check():
            seen["value"] = self.page_json(element_id)
            return predicate(seen["value"])

        if not wait_until(check, timeout, interval=0.1):
            raise AssertionError("the page never got there; it shows %s\nconsole:\n%s"
                                 % (json.dumps(seen.get("value"))[:4000], self.console()))
        return seen["value"]

    def console(self):
        try:
            return "\n".join(entry["message"][:500] for entry in self.driver.get_log("browser"))
        except Exception as exc:  # the log is only for diagnosis
            return "(no console: %s)" % exc

    def quit(self):
        self.driver.quit()
        self.profile.cleanup()


def connections(server):
    status, _, body = get(server.port, "/connections")
    assert status == 200, (status, body)
    return json.loads(body)


def process_command_line(pid):
    """The command line of a live process; None once it is gone (or only a zombie is left)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode() or None
    except OSError:
        return None


class AddinInChromium(unittest.IsolatedAsyncioTestCase):
    @classmethod
    def setUpClass(cls):
        cls.site = Site()
        cls.other_site = Site()
        cls.browser = Browser()

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.site.close()
        cls.other_site.close()

    def start_server(self, *args):
        server = ServerProcess("--allowed-origin", self.site.origin, *args)
        self.servers.append(server)
        return server

    def setUp(self):
        self.servers = []

    def tearDown(self):
        driver = self.browser.driver
        # Leave no page behind that would go on reconnecting.
        for handle in driver.window_handles[1:]:
            driver.switch_to.window(handle)
            driver.close()
        driver.switch_to.window(driver.window_handles[0])
        driver.get("about:blank")
        for server in self.servers:
            server.stop()

    def open_addin(self, server):
        self.browser.driver.get(self.site.url("addin.html", server=server.port, workbook=WORKBOOK, name=BOOK_NAME))

    async def wait_for_sessions(self, count):
        report = await asyncio.to_thread(self.browser.wait_for, "report",
                                         lambda r: len(r.get("sessions", [])) >= count or r.get("errors"))
        self.assertEqual(report.get("errors", []), [], self.browser.console())
        return report

    def check_session(self, server, session):
        """One session of the page: every result computed by the workbook's kernel process."""
        self.assertEqual(session["single"], {"status": "success", "result": 5.0})
        self.assertTrue(session["blob_intact"], "the module's text did not come back unchanged")
        self.assertEqual(session["burst"], [hypot(i, 1) for i in range(50)])
        self.assertEqual(session["burst_statuses"], ["success"])
        # How many of the 50 results shared a batch depends on the machine's pace (the batching
        # itself is covered by the unit tests, on a clock they hold); the page reads both forms.
        messages = session["burst_messages"]
        self.assertGreaterEqual(messages["batch_results"] + messages["single"], 1, messages)
        command = process_command_line(session["kernel_pid"])
        self.assertIsNotNone(command, "the kernel process is gone")
        self.assertIn("corvane_master.python_server %s %d" % (WORKBOOK, server.port), command)

    async def test_add_in_page_end_to_end_and_a_hostile_page_gets_nowhere(self):
        server = self.start_server()
        editor = await connect(server, "ide", "watcher")
        self.open_addin(server)
        report = await self.wait_for_sessions(1)
        self.assertTrue(await server.log_seen("Client connected: addin/%s (name: %s)" % (WORKBOOK, BOOK_NAME)))
        self.assertEqual(report["registered"], [[{
            "module": "calc", "function": "hypot", "excel_name": "CALC.HYPOT",
            "parameters": [{"name": "x", "type": "any"}, {"name": "y", "type": "any"}],
            "dimension": "Scalar", "streaming": False}]])
        self.check_session(server, report["sessions"][0])
        peers = {"addin": [WORKBOOK], "ide": ["watcher"], "kernel": [WORKBOOK], "inspector": []}
        self.assertEqual(connections(server), peers)

        # Another origin (the same host on another port) tries everything a page can.
        envelope = bulk_envelope("sent from another site")
        driver = self.browser.driver
        driver.switch_to.new_window("tab")
        driver.get(self.other_site.url("hostile.html", server=server.port, envelope=envelope, rebound="rebound.test"))
        outcomes = await asyncio.to_thread(self.browser.wait_for, "outcomes", lambda o: len(o) == 7)
        self.assertEqual(outcomes, {"ws_addin": "closed 1006", "ws_ide": "closed 1006", "img": "error",
                                    "rebound_img": "error", "script": "error", "fetch": "answered (opaque)",
                                    "form": "answered"})
        hostile = self.other_site.origin
        refusals = [
            "Refused GET /ws/addin/intruder-book?name=Intruder: Origin not allowed: " + hostile,
            "Refused GET /ws/ide/intruder?name=Intruder: Origin not allowed: " + hostile,
            # Tags send no Origin; the browser's Sec-Fetch-Site gives them away.
            "Refused GET /bulk_message/%s?via=img: Cross-site request refused (Sec-Fetch-Site: same-site)" % envelope,
            "Refused GET /bulk_message/%s?via=script: Cross-site request refused (Sec-Fetch-Site: same-site)" % envelope,
            "Refused GET /bulk_message/%s?via=rebound: Host not allowed: rebound.test:%d" % (envelope, server.port),
            "Refused POST /bulk_message?via=fetch: Origin not allowed: " + hostile,
            "Refused POST /bulk_message?via=form: Origin not allowed: " + hostile,
        ]
        for refusal in refusals:
            self.assertTrue(await server.log_seen("[warning] " + refusal), refusal + "\n" + server.log_text()[-3000:])
        while True:  # the editor got the workbook's state, and nothing from the other site
            try:
                message = await recv_json(editor, 0.5)
            except asyncio.TimeoutError:
                break
            self.assertNotEqual(message.get("type"), "message_ide", message)
        self.assertEqual(connections(server), peers)
        log = server.log_text()
        for never in ("Client connected: addin/intruder", "Client connected: ide/intruder", "Received bulk message",
                      "Received message_ide"):
            self.assertNotIn(never, log)

        # The envelope itself was good: sent the way the host may send it (no Origin), as the
        # bulk entry's path and as the form's body, it reaches the editor.
        status, _, _ = get(server.port, "/bulk_message/" + envelope)
        self.assertEqual(status, 200)
        self.assertEqual((await recv_type(editor, "message_ide"))["message"], "sent from another site")
        body = (envelope + "=\r\n").encode()
        status, _, _ = http_request(server.port, b"POST /bulk_message HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    b"Content-Type: text/plain\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
                                    % (len(body), body))
        self.assertEqual(status, 200)
        self.assertEqual((await recv_type(editor, "message_ide"))["message"], "sent from another site")
        await editor.close()

    async def test_add_in_page_reconnects_across_a_server_restart(self):
        first = self.start_server()
        self.open_addin(first)
        report = await self.wait_for_sessions(1)
        self.check_session(first, report["sessions"][0])
        first_kernel = report["sessions"][0]["kernel_pid"]

        self.servers.remove(first)
        first.stop()
        self.assertTrue(await until(lambda: process_command_line(first_kernel) is None, DEADLINE),
                        "the kernel outlived its server")
        second = self.start_server("--port", str(first.port))
        report = await self.wait_for_sessions(2)
        self.assertIn(1001, report["closes"])  # "going away" from the server that stopped
        self.assertEqual(report["opened"], 2)
        session = report["sessions"][1]
        self.assertEqual(session["connection"], 2)
        self.assertNotEqual(session["kernel_pid"], first_kernel)
        self.check_session(second, session)
        self.assertEqual(connections(second)["kernel"], [WORKBOOK])
        self.assertEqual(connections(second)["addin"], [WORKBOOK])


if __name__ == "__main__":
    unittest.main()

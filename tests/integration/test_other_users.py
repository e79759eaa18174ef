"""Processes of another local user against the server: refused on every route and handshake, nothing
they send acted on, the owner's peers undisturbed; --allow-other-users and its settings key let them in.

The other user's client is a short program run as uid 65534 through setpriv, which needs root (CI
runs as root); without root these tests are skipped."""
import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

from tests.integration.harness import TIMEOUT, ServerProcess, ServerTestCase, connect, get, recv_type

OTHER_UID = 65534
CAN_SWITCH_USER = os.geteuid() == 0 and shutil.which("setpriv") is not None
SKIP_REASON = ("needs root and setpriv to run a client as another user (uid %d); running as uid %d"
               % (OTHER_UID, os.geteuid()))

# Sends each raw request on a connection of its own and prints [status, body] per request; after a
# 101 the body is the first WebSocket frame's text.
CLIENT = r"""
import json, socket, sys
host, port = sys.argv[1], int(sys.argv[2])
results = []
for raw in json.load(sys.stdin):
    with socket.create_connection((host, port), timeout=60) as s:
        s.sendall(raw.encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        status = int(head.split(b" ")[1]) if head else 0
        if status == 101:
            while len(body) < 2 or len(body) < 2 + (body[1] & 0x7F):
                chunk = s.recv(65536)
                if not chunk:
                    break
                body += chunk
            body = body[2:2 + (body[1] & 0x7F)]
        else:
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            while len(body) < length:
                chunk = s.recv(65536)
                if not chunk:
                    break
                body += chunk
        results.append([status, body.decode(errors="replace")])
print(json.dumps(results))
"""


def as_other_user(port, requests, host="127.0.0.1"):
    """Runs the raw requests from a process of uid 65534; returns [[status, body], ...]."""
    done = subprocess.run(
        ["setpriv", "--reuid=%d" % OTHER_UID, "--regid=%d" % OTHER_UID, "--clear-groups",
         sys.executable, "-I", "-c", CLIENT, host, str(port)],
        input=json.dumps(requests), capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise AssertionError("the other user's client failed: " + done.stderr)
    return json.loads(done.stdout)


def host_header(host, port):
    return "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)


def http_get(host, port, path):
    return "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (path, host_header(host, port))


def handshake(host, port, path):
    return ("GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
            % (path, host_header(host, port)))


def bulk_text(client_type, client_id, message):
    envelope = {"client_type": client_type, "client_id": client_id, "message": message}
    return base64.urlsafe_b64encode(json.dumps(envelope).encode()).decode().rstrip("=")


def run_code(code):
    return {"type": "execution_request", "workbook_id": "wb1", "code": code}


REFUSED = "Refused a request from another user's process (uid %d): " % OTHER_UID


@unittest.skipUnless(CAN_SWITCH_USER, SKIP_REASON)
class OtherUsersAreRefused(ServerTestCase):
    async def test_every_route_and_client_type_is_refused_and_the_open_workbook_stays_the_owners(self):
        port = self.server.port
        ide = await connect(self.server, "ide", "main")
        addin = await connect(self.server, "addin", "wb1", "?name=Book1")
        kernel = await connect(self.server, "kernel", "wb1")

        posted = bulk_text("ide", "main", run_code("posted by the other user"))
        requests = {
            "GET /": http_get("127.0.0.1", port, "/"),
            "GET /connections": http_get("127.0.0.1", port, "/connections"),
            "GET /bulk_message/": http_get("127.0.0.1", port,
                                           "/bulk_message/" + bulk_text("ide", "main", run_code("sent by the other user"))),
            "POST /bulk_message": ("POST /bulk_message HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n"
                                   "Connection: close\r\n\r\n%s" % (len(posted), posted)),
            "GET /ws/addin/wb1?name=Taken": handshake("127.0.0.1", port, "/ws/addin/wb1?name=Taken"),
            "GET /ws/kernel/wb1": handshake("127.0.0.1", port, "/ws/kernel/wb1"),
            "GET /ws/ide/main": handshake("127.0.0.1", port, "/ws/ide/main"),
            "GET /ws/inspector/main": handshake("127.0.0.1", port, "/ws/inspector/main"),
        }
        answers = as_other_user(port, list(requests.values()))
        for request_line, (status, body) in zip(requests, answers):
            self.assertEqual(status, 403, request_line)
            self.assertEqual(json.loads(body), {"error": "the connecting process belongs to another user"})
            self.assertTrue(await self.server.log_seen(REFUSED + request_line), request_line)

        # Nothing of theirs was registered: the owner's peers are the ones connected ...
        _, _, body = get(port, "/connections")
        self.assertEqual(json.loads(body), {"addin": ["wb1"], "ide": ["main"], "kernel": ["wb1"], "inspector": []})
        # ... nothing was dispatched: the first code the kernel is sent is the owner's ...
        status, _, _ = get(port, "/bulk_message/" + bulk_text("ide", "main", run_code("the owner's")))
        self.assertEqual(status, 200)
        self.assertEqual((await recv_type(kernel, "execution_request"))["code"], "the owner's")
        # ... and the workbook's output still reaches the owner's add-in and editor.
        output = {"type": "stdout", "workbook_id": "wb1", "content": "still here", "request_id": "r1"}
        await kernel.send(json.dumps(output))
        self.assertEqual(await recv_type(addin, "stdout"), output)
        self.assertEqual((await recv_type(ide, "stdout"))["content"], "still here")
        self.assertNotIn("Client connected: addin/wb1 (name: Taken)", self.server.log_text())
        for ws in (kernel, addin, ide):
            await ws.close()


@unittest.skipUnless(CAN_SWITCH_USER, SKIP_REASON)
class OtherUsersOverIpv6(ServerTestCase):
    server_args = ("--host", "::")

    async def test_ipv6_loopback_and_mapped_ipv4_are_checked_alike(self):
        port = self.server.port
        hosts = ["::1"]
        # A dual-stack listener sees IPv4 peers as mapped IPv6 addresses.
        with open("/proc/sys/net/ipv6/bindv6only") as f:
            if f.read().strip() == "0":
                hosts.append("127.0.0.1")
        for host in hosts:
            self.assertEqual(as_other_user(port, [handshake(host, port, "/ws/addin/wb1")], host)[0][0], 403, host)
            with socket.create_connection((host, port), timeout=TIMEOUT) as s:
                s.sendall(http_get(host, port, "/").encode())
                self.assertTrue(s.recv(65536).startswith(b"HTTP/1.1 200 "), host)
        self.assertEqual(self.server.log_text().count(REFUSED + "GET /ws/addin/wb1"), len(hosts))


@unittest.skipUnless(CAN_SWITCH_USER, SKIP_REASON)
class AllowOtherUsers(unittest.IsolatedAsyncioTestCase):
    async def test_flag_or_setting_lets_other_users_in_with_a_warning(self):
        home = tempfile.TemporaryDirectory(prefix="switchyard-it-")
        self.addCleanup(home.cleanup)
        os.makedirs(os.path.join(home.name, ".corvane"))
        with open(os.path.join(home.name, ".corvane", "settings.json"), "w") as f:
            json.dump({"server": {"allow_other_users": True}}, f)
        for args, env, source in ((("--allow-other-users",), None, "--allow-other-users"),
                                  ((), {"HOME": home.name}, "settings key server.allow_other_users")):
            server = ServerProcess(*args, env=env)
            try:
                self.assertTrue(await server.log_seen("Any local user can connect: processes of other users are let in (%s)"
                                                    % source))
                (page, page_body), (upgrade, first_frame) = as_other_user(
                    server.port, [http_get("127.0.0.1", server.port, "/connections"),
                                  handshake("127.0.0.1", server.port, "/ws/addin/guest-book")])
                self.assertEqual(page, 200, source)
                self.assertEqual(json.loads(page_body)["addin"], [], source)
                self.assertEqual((upgrade, json.loads(first_frame)), (101, {"type": "ping"}), source)
                self.assertTrue(await server.log_seen("Client connected: addin/guest-book"), source)
                self.assertNotIn("Refused", server.log_text())
            finally:
                server.stop()

"""The server binary over real sockets: endpoint life cycle, routes, request gate, limits."""
import asyncio
import base64
import json
import signal
import socket
import time

import websockets

from tests.integration.harness import (TIMEOUT, ServerProcess, ServerTestCase, connect, expect_silence, get, http_request,
                                       recv_json, recv_type, until)


def b64url(obj, pad=False):
    text = base64.urlsafe_b64encode(json.dumps(obj).encode()).decode()
    return text if pad else text.rstrip("=")


class Routes(ServerTestCase):
    async def test_root_and_connections(self):
        status, _, body = get(self.server.port, "/")
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body), {"status": "running", "service": "Corvane Business Layer"})
        status, _, body = get(self.server.port, "/connections")
        self.assertEqual(json.loads(body), {"addin": [], "ide": [], "kernel": [], "inspector": []})
        ide = await connect(self.server, "ide", "main")
        addin = await connect(self.server, "addin", "wb1", "?name=Book1")
        _, _, body = get(self.server.port, "/connections")
        self.assertEqual(json.loads(body), {"addin": ["wb1"], "ide": ["main"], "kernel": [], "inspector": []})
        await addin.close()
        await ide.close()

    async def test_unknown_path_is_404_json(self):
        status, head, body = get(self.server.port, "/nowhere")
        self.assertEqual(status, 404)
        self.assertIn("application/json", head)
        self.assertIn("error", json.loads(body))

    async def test_bulk_message_get_and_post(self):
        kernel = await connect(self.server, "kernel", "wb")
        envelope = {"client_type": "ide", "client_id": "main",
                    "message": {"type": "execution_request", "workbook_id": "wb", "code": "print(1)"}}
        status, _, body = get(self.server.port, "/bulk_message/" + b64url(envelope))
        self.assertEqual((status, json.loads(body)), (200, {"status": "ok"}))
        self.assertEqual((await recv_json(kernel))["code"], "print(1)")
        text = b64url(envelope, pad=True)
        raw = ("POST /bulk_message HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
               % (len(text), text))
        status, _, body = http_request(self.server.port, raw)
        self.assertEqual((status, json.loads(body)), (200, {"status": "ok"}))
        self.assertEqual((await recv_json(kernel))["type"], "execution_request")
        await kernel.close()

    async def test_bulk_message_that_does_not_decode_is_400(self):
        for bad in ("A", base64.urlsafe_b64encode(b"\xff\xfe").decode(), base64.urlsafe_b64encode(b"{x").decode()):
            status, _, body = get(self.server.port, "/bulk_message/" + bad)
            self.assertEqual(status, 400, bad)
            self.assertIn("error", json.loads(body))
        status, _, body = get(self.server.port, "/bulk_message/" + b64url({"client_type": "ide"}))
        self.assertEqual((status, json.loads(body)), (200, {"status": "ok"}))


class Endpoint(ServerTestCase):
    async def closed_with(self, path):
        ws = await websockets.connect(self.server.url(path))
        with self.assertRaises(websockets.ConnectionClosed) as caught:
            await asyncio.wait_for(ws.recv(), TIMEOUT)
        return caught.exception.code, caught.exception.reason

    async def test_rejected_clients_get_close_codes_and_are_not_registered(self):
        self.assertEqual(await self.closed_with("/ws/martian/x"), (4001, "Invalid client type"))
        self.assertEqual(await self.closed_with("/ws/addin/"), (4002, "Invalid client ID: Client ID cannot be empty"))
        self.assertEqual(await self.closed_with("/ws/addin/" + "a" * 257),
                         (4002, "Invalid client ID: Client ID too long (max 256 characters)"))
        for bad in ("a%2Fb", "wb%0A", "a.b", "a%20b"):
            self.assertEqual(await self.closed_with("/ws/addin/" + bad),
                             (4002, "Invalid client ID: Client ID contains invalid characters"), bad)
        _, _, body = get(self.server.port, "/connections")
        self.assertEqual(json.loads(body), {"addin": [], "ide": [], "kernel": [], "inspector": []})

    async def test_every_type_is_pinged_and_inspector_too(self):
        for client_type in ("addin", "ide", "kernel", "inspector"):
            ws = await connect(self.server, client_type, "c-" + client_type)
            await ws.close()
        self.assertTrue(await self.server.log_seen("Client connected: inspector/c-inspector (name: )"))

    async def test_addin_disconnect_tells_every_editor(self):
        ide1 = await connect(self.server, "ide", "one")
        ide2 = await connect(self.server, "ide", "two")
        addin = await connect(self.server, "addin", "wb")
        await addin.close()
        for ide in (ide1, ide2):
            self.assertEqual(await recv_json(ide), {"type": "workbook_disconnected", "workbook_id": "wb"})
        self.assertTrue(await self.server.log_seen("Client disconnected: addin/wb"))

    async def test_kernel_disconnect_tells_its_addin(self):
        addin = await connect(self.server, "addin", "wb")
        kernel = await connect(self.server, "kernel", "wb")
        await kernel.close()
        self.assertEqual(await recv_json(addin), {"type": "kernel_disconnected", "workbook_id": "wb"})
        _, _, body = get(self.server.port, "/connections")
        self.assertEqual(json.loads(body)["kernel"], [])
        await addin.close()

    async def test_bad_frames_are_skipped_and_the_connection_stays(self):
        kernel = await connect(self.server, "kernel", "wb")
        ide = await connect(self.server, "ide", "main")
        await ide.send("{not json")
        await ide.send("[1, 2, 3]")
        await ide.send("[" * 100 + "]" * 100)
        await ide.send(json.dumps({"type": "execution_request", "workbook_id": "wb", "code": "x"}))
        self.assertEqual((await recv_json(kernel))["code"], "x")
        self.assertTrue(await self.server.log_seen("Skipping message from ide/main that is not valid JSON"))
        self.assertTrue(await self.server.log_seen("Skipping message from ide/main that is not a JSON object"))
        _, _, body = get(self.server.port, "/connections")
        self.assertEqual(json.loads(body)["ide"], ["main"])
        await ide.close()
        await kernel.close()

    async def test_superseded_addin_does_not_cut_off_the_live_one(self):
        ide = await connect(self.server, "ide", "main")
        old = await connect(self.server, "addin", "wb", "?name=Old")
        new = await connect(self.server, "addin", "wb", "?name=New")
        await old.close()
        self.assertTrue(await self.server.log_seen("Client disconnected: addin/wb"))
        await expect_silence(ide, 0.3)
        _, _, body = get(self.server.port, "/connections")
        self.assertEqual(json.loads(body)["addin"], ["wb"])
        # The live add-in still gets its answers.
        await new.send(json.dumps({"type": "kill_kernel"}))
        reply = await recv_type(new, "kill_kernel_response")
        self.assertEqual(reply, {"type": "kill_kernel_response", "workbook_id": "wb", "success": False})
        await new.close()
        self.assertEqual(await recv_type(ide, "workbook_disconnected"), {"type": "workbook_disconnected", "workbook_id": "wb"})

    async def test_superseded_kernel_sends_no_kernel_disconnected(self):
        addin = await connect(self.server, "addin", "wb")
        old = await connect(self.server, "kernel", "wb")
        new = await connect(self.server, "kernel", "wb")
        await old.close()
        self.assertTrue(await self.server.log_seen("Client disconnected: kernel/wb"))
        await expect_silence(addin, 0.3)
        await new.close()
        self.assertEqual(await recv_json(addin), {"type": "kernel_disconnected", "workbook_id": "wb"})

    async def test_chunked_message_reaches_its_handler(self):
        kernel = await connect(self.server, "kernel", "wb")
        ide = await connect(self.server, "ide", "main")
        text = json.dumps({"type": "execution_request", "workbook_id": "wb", "code": "é" * 100000}, ensure_ascii=True)
        size = 65536
        parts = [text[i:i + size] for i in range(0, len(text), size)]
        for index in reversed(range(len(parts))):
            await ide.send(json.dumps({"type": "chunk", "chunk_id": "c1", "chunk_index": index,
                                       "total_chunks": len(parts), "data": parts[index],
                                       "original_type": "execution_request"}))
        got = await recv_json(kernel)
        self.assertEqual(got["code"], "é" * 100000)
        await ide.close()
        await kernel.close()

    async def test_oversized_frame_closes_only_that_connection(self):
        ide = await connect(self.server, "ide", "main")
        other = await connect(self.server, "ide", "other")
        big = await websockets.connect(self.server.url("/ws/ide/big"), max_size=None, compression=None,
                                       close_timeout=5)
        await recv_json(big)
        # The server closes as soon as it has read the frame header, so the close may arrive while
        # the client is still writing the 64 MiB: either call may be the one that sees it.
        with self.assertRaises(websockets.ConnectionClosed) as caught:
            await big.send("x" * (64 * 1024 * 1024 + 1))
            while True:  # the editor's connection-time pushes may come first
                await asyncio.wait_for(big.recv(), 60)
        self.assertIsNotNone(caught.exception.rcvd, caught.exception)
        self.assertEqual(caught.exception.rcvd.code, 1009)
        await ide.send(json.dumps({"type": "get_all_modules", "workbook_id": "wb"}))
        self.assertEqual((await recv_type(other, "all_modules"))["modules"], {})
        await ide.close()
        await other.close()


class Gate(ServerTestCase):
    async def test_http_host_origin_and_fetch_site(self):
        port = self.server.port
        self.assertEqual(get(port, "/", {"Origin": "https://localhost:3000"})[0], 200)
        self.assertEqual(get(port, "/", {"Origin": "https://127.0.0.1"})[0], 200)
        raw = "GET / HTTP/1.1\r\nHost: attacker.example\r\nConnection: close\r\n\r\n"
        self.assertEqual(http_request(port, raw)[0], 403)
        self.assertEqual(get(port, "/bulk_message/x", {"Origin": "https://evil.example"})[0], 403)
        self.assertEqual(get(port, "/", {"Origin": "http://localhost:3000"})[0], 403)
        self.assertEqual(get(port, "/", {"Sec-Fetch-Site": "cross-site"})[0], 403)
        self.assertEqual(get(port, "/", {"Sec-Fetch-Site": "same-site"})[0], 403)
        self.assertEqual(get(port, "/", {"Sec-Fetch-Site": "none"})[0], 200)
        self.assertTrue(await self.server.log_seen("https://evil.example"))
        self.assertTrue(await self.server.log_seen("attacker.example"))

    async def test_websocket_handshake_passes_the_same_gate(self):
        with self.assertRaises(websockets.InvalidStatusCode) as caught:
            await websockets.connect(self.server.url("/ws/ide/main"), origin="https://evil.example")
        self.assertEqual(caught.exception.status_code, 403)
        handshake = ("GET /ws/ide/main HTTP/1.1\r\nHost: evil.example\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n")
        self.assertEqual(http_request(self.server.port, handshake)[0], 403)
        ws = await connect(self.server, "addin", "wb", origin="https://localhost:3000")
        await ws.close()
        _, _, body = get(self.server.port, "/connections")
        self.assertEqual(json.loads(body)["ide"], [])


class ConfiguredOrigins(ServerTestCase):
    server_args = ("--allowed-origin", "https://addin.example:8443")

    async def test_flag_extends_the_allow_list(self):
        self.assertEqual(get(self.server.port, "/", {"Origin": "https://addin.example:8443"})[0], 200)
        self.assertEqual(get(self.server.port, "/", {"Origin": "https://addin.example"})[0], 403)


class Limits(ServerTestCase):
    server_env = {"SWITCHYARD_MAX_CONNECTIONS": "4"}

    async def test_header_and_body_caps(self):
        port = self.server.port
        raw = "GET / HTTP/1.1\r\nHost: localhost\r\nX-Big: %s\r\n\r\n" % ("a" * 70000)
        self.assertEqual(http_request(port, raw)[0], 431)
        raw = "POST /bulk_message HTTP/1.1\r\nHost: localhost\r\nContent-Length: %d\r\n\r\n" % (64 * 1024 * 1024 + 1)
        self.assertEqual(http_request(port, raw)[0], 413)

    async def test_connection_cap_answers_503(self):
        held = [socket.create_connection(("127.0.0.1", self.server.port)) for _ in range(4)]
        try:
            # The held sockets count once the server has accepted them.
            self.assertTrue(await until(lambda: get(self.server.port, "/")[0] == 503, interval=0.1))
        finally:
            for s in held:
                s.close()
        self.assertTrue(await until(lambda: get(self.server.port, "/")[0] == 200, interval=0.1))

    async def test_incomplete_request_is_closed_after_ten_seconds(self):
        s = socket.create_connection(("127.0.0.1", self.server.port))
        s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n")
        s.settimeout(60)
        start = time.time()
        data = s.recv(1024)
        self.assertEqual(data, b"")
        self.assertGreaterEqual(time.time() - start, 9)
        s.close()


class Shutdown(ServerTestCase):
    async def test_sigterm_closes_connections_and_exits_zero(self):
        ide = await connect(self.server, "ide", "main")
        self.server.proc.send_signal(signal.SIGTERM)
        with self.assertRaises(websockets.ConnectionClosed) as caught:
            await asyncio.wait_for(ide.recv(), TIMEOUT)
        self.assertEqual(caught.exception.code, 1001)
        self.assertEqual(self.server.proc.wait(TIMEOUT), 0)
        self.assertTrue(await self.server.log_seen("Shutting down Business Layer server..."))

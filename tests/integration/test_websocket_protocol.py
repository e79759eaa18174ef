"""The WebSocket protocol itself, with a raw socket: control frames, fragments, violations."""
import json
import os
import socket
import struct

from tests.integration.harness import TIMEOUT, ServerTestCase, get


def client_frame(opcode, payload, fin=True):
    if isinstance(payload, str):
        payload = payload.encode()
    mask = os.urandom(4)
    head = bytes([(0x80 if fin else 0) | opcode])
    n = len(payload)
    if n < 126:
        head += bytes([0x80 | n])
    elif n < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", n)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", n)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


class RawPeer:
    def __init__(self, port, path):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
                           % path).encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self.sock.recv(4096)
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 101"), head
        assert b"s3pPLMBiTxaQ9kYGzzhZRbK+xOo=" in head

    def _need(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buffer += chunk

    def frame(self):
        """(opcode, payload) of the next server frame; server frames are never masked."""
        self._need(2)
        b0, b1 = self.buffer[0], self.buffer[1]
        assert b1 & 0x80 == 0
        n, pos = b1 & 0x7F, 2
        if n == 126:
            self._need(4)
            n, pos = struct.unpack(">H", self.buffer[2:4])[0], 4
        elif n == 127:
            self._need(10)
            n, pos = struct.unpack(">Q", self.buffer[2:10])[0], 10
        self._need(pos + n)
        payload, self.buffer = self.buffer[pos:pos + n], self.buffer[pos + n:]
        return b0 & 0x0F, payload

    def send(self, data):
        self.sock.sendall(data)

    def closed_by_server(self):
        try:
            self._need(len(self.buffer) + 1)
        except (EOFError, ConnectionResetError):
            return True
        return False


class Protocol(ServerTestCase):
    def peer(self, path="/ws/kernel/wb"):
        p = RawPeer(self.server.port, path)
        self.addCleanup(p.sock.close)
        self.assertEqual(p.frame(), (0x1, b'{"type":"ping"}'))
        return p

    async def test_ping_is_answered_with_the_same_payload(self):
        p = self.peer()
        p.send(client_frame(0x9, b"hello"))
        self.assertEqual(p.frame(), (0xA, b"hello"))

    async def test_fragmented_message_with_a_ping_between_fragments(self):
        kernel = self.peer("/ws/kernel/wb")
        ide = self.peer("/ws/ide/main")
        text = json.dumps({"type": "execution_request", "workbook_id": "wb", "code": "é" * 10}, ensure_ascii=False)
        raw = text.encode()
        ide.send(client_frame(0x1, raw[:20], fin=False) + client_frame(0x9, b"p") + client_frame(0x0, raw[20:]))
        self.assertEqual(ide.frame(), (0xA, b"p"))
        opcode, payload = kernel.frame()
        self.assertEqual(json.loads(payload)["code"], "é" * 10)

    async def test_client_close_is_echoed_and_the_server_closes_tcp(self):
        p = self.peer()
        p.send(client_frame(0x8, struct.pack(">H", 1000) + b"bye"))
        opcode, payload = p.frame()
        self.assertEqual((opcode, struct.unpack(">H", payload[:2])[0]), (0x8, 1000))
        self.assertTrue(p.closed_by_server())
        self.assertTrue(await self.server.log_seen("Client disconnected: kernel/wb"))

    async def test_violations_close_with_their_codes(self):
        cases = [
            (b"\x81\x02hi", 1002),                                   # unmasked client frame
            (client_frame(0x1, b"\xff\xfe"), 1007),                    # invalid UTF-8
            (client_frame(0x3, b"x"), 1002),                           # reserved opcode
            (client_frame(0x0, b"x"), 1002),                           # continuation of nothing
            (client_frame(0x9, b"x" * 126), 1002),                     # control frame too long
            (client_frame(0x8, struct.pack(">H", 1005)), 1002),        # close code that may not be sent
        ]
        for data, code in cases:
            p = self.peer()
            p.send(data)
            opcode, payload = p.frame()
            self.assertEqual((opcode, struct.unpack(">H", payload[:2])[0]), (0x8, code), data)
            self.assertTrue(p.closed_by_server())
        self.assertEqual(get(self.server.port, "/")[0], 200)

    async def test_bad_handshakes_are_refused(self):
        base = ("GET /ws/ide/x HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n%s\r\n")
        from tests.integration.harness import http_request
        status, head, _ = http_request(self.server.port, base % "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 8\r\n")
        self.assertEqual(status, 426)
        self.assertIn("Sec-WebSocket-Version: 13", head)
        status, _, _ = http_request(self.server.port, base % "Sec-WebSocket-Key: short\r\nSec-WebSocket-Version: 13\r\n")
        self.assertEqual(status, 400)

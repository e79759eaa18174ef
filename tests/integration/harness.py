"""Starts the built server binary on a free port for integration tests."""
import asyncio
import json
import logging
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest

# How long a wait may last before the test gives up. Only ever reached when something is broken
# (or the machine is very busy): every wait ends as soon as what it waits for has happened.
TIMEOUT = 60.0

import websockets

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Deadlines below are generous on purpose: they are reached only when something is broken, and the
# suite runs on loaded two-core machines and in a sanitizer build that is several times slower.
# Tests wait for events (a message, a log line, a process state) rather than sleeping.
# Tests block the loop on purpose (sleeps, blocking sockets); keep asyncio's slow-callback notes quiet.
logging.getLogger("asyncio").setLevel(logging.ERROR)

BINARY = os.environ.get("SWITCHYARD_BINARY", os.path.join(ROOT, "build", "switchyard"))
# What runs the binary, if not the system: the Windows build's tests set scripts/wine.
LAUNCHER = [os.environ["SWITCHYARD_LAUNCHER"]] if os.environ.get("SWITCHYARD_LAUNCHER") else []
PYTHON = os.environ.get("CORVANE_PYTHON", "/usr/bin/python3")
# What a server built with sanitizers (the sanitizer test run) prints when it finds a fault.
SANITIZER_REPORT = re.compile(r"ERROR: (AddressSanitizer|LeakSanitizer)|:\d+:\d+: runtime error: ")


class ServerProcess:
    def __init__(self, *extra_args, env=None, python=None, inspector=False):
        self.home = tempfile.TemporaryDirectory(prefix="switchyard-it-")
        environment = dict(os.environ)
        environment["HOME"] = self.home.name
        environment["CORVANE_PYTHON"] = python or PYTHON
        environment.update(env or {})
        self.proc = subprocess.Popen(
            [*LAUNCHER, BINARY, "--port", "0", *([] if inspector else ["--no-inspector"]), "--log-level", "debug", *extra_args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("switchyard listening on http://"):
            self.proc.kill()
            raise RuntimeError("server did not start: %r %s" % (line, self.proc.stderr.read()))
        self.port = int(line.rsplit(":", 1)[1])
        self._stderr_lines = []
        self._stderr_thread = None
        import threading
        self._stderr_thread = threading.Thread(target=self._drain, daemon=True)
        self._stderr_thread.start()

    def _drain(self):
        for line in self.proc.stderr:
            self._stderr_lines.append(line.rstrip("\n"))

    def log_text(self):
        return "\n".join(self._stderr_lines)

    def wait_for_log(self, fragment, timeout=TIMEOUT):
        return wait_until(lambda: fragment in self.log_text(), timeout)

    async def log_seen(self, fragment, timeout=TIMEOUT):
        """wait_for_log() for coroutines."""
        return await until(lambda: fragment in self.log_text(), timeout)

    def url(self, path):
        return "ws://127.0.0.1:%d%s" % (self.port, path)

    def stop(self, sig=signal.SIGTERM, timeout=TIMEOUT):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        # Children that inherited stderr may keep it open; the reader thread is a daemon.
        self._stderr_thread.join(1)
        if not self._stderr_thread.is_alive():
            self.proc.stderr.close()
        self.home.cleanup()
        report = self.sanitizer_report()
        if report:
            raise AssertionError("the server reported a fault:\n" + report)
        return self.proc.returncode

    def sanitizer_report(self):
        """The sanitizer report in the server's stderr, or None."""
        text = self.log_text()
        found = SANITIZER_REPORT.search(text)
        return text[found.start():found.start() + 20000] if found else None


def http_request(port, raw, timeout=TIMEOUT):
    """Sends raw bytes and returns (status, headers text, body) of the response."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(raw if isinstance(raw, bytes) else raw.encode())
        data = b""
        while True:
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            data += chunk
            head, sep, body = data.partition(b"\r\n\r\n")
            if sep:
                length = 0
                for line in head.split(b"\r\n")[1:]:
                    k, _, v = line.partition(b":")
                    if k.strip().lower() == b"content-length":
                        length = int(v.strip())
                if len(body) >= length:
                    break
    head, _, body = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ")[1]) if head else 0
    return status, head.decode(errors="replace"), body.decode(errors="replace")


def wait_until(predicate, timeout=TIMEOUT, interval=0.02):
    """Polls `predicate` until it holds; False when it never did within `timeout` seconds."""
    deadline = time.time() + timeout
    while True:
        if predicate():
            return True
        if time.time() >= deadline:
            return False
        time.sleep(interval)


async def until(predicate, timeout=TIMEOUT, interval=0.02):
    """wait_until() for coroutines. A test's peers live on its event loop: a blocking wait would stop
    them mid-send (a large frame stays half-written, the server never sees the next message) and stop
    them reading, so every wait inside a coroutine yields to the loop between polls."""
    deadline = time.time() + timeout
    while True:
        if predicate():
            return True
        if time.time() >= deadline:
            return False
        await asyncio.sleep(interval)


def get(port, path, headers=None):
    lines = ["GET %s HTTP/1.1" % path, "Host: 127.0.0.1:%d" % port, "Connection: close"]
    for k, v in (headers or {}).items():
        lines.append("%s: %s" % (k, v))
    return http_request(port, "\r\n".join(lines) + "\r\n\r\n")


async def connect(server, client_type, client_id, query="", **kwargs):
    """Connects a peer and consumes the ping."""
    ws = await websockets.connect(server.url("/ws/%s/%s%s" % (client_type, client_id, query)),
                                  max_size=None, compression=None, **kwargs)
    first = json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))
    assert first == {"type": "ping"}, first
    return ws


async def recv_json(ws, timeout=TIMEOUT):
    return json.loads(await asyncio.wait_for(ws.recv(), timeout))


async def recv_type(ws, message_type, timeout=TIMEOUT):
    """Receives until a message of the given type arrives (others are skipped)."""
    deadline = asyncio.get_event_loop().time() + timeout
    while True:
        left = deadline - asyncio.get_event_loop().time()
        if left <= 0:
            raise asyncio.TimeoutError(message_type)
        m = await recv_json(ws, left)
        if m.get("type") == message_type:
            return m


async def expect_silence(ws, seconds=0.3):
    try:
        m = await asyncio.wait_for(ws.recv(), seconds)
    except asyncio.TimeoutError:
        return None
    raise AssertionError("unexpected message: %s" % m)


class ServerTestCase(unittest.IsolatedAsyncioTestCase):
    server_args = ()
    server_env = None

    def setUp(self):
        self.server = ServerProcess(*self.server_args, env=self.server_env)

    def tearDown(self):
        self.server.stop()

"""A small stand-in for switchyard that the kernel tests drive.

``FakeBroker`` accepts the kernel's WebSocket at /ws/kernel/<workbook id>, sends {"type": "ping"}
as the server does, and hands the connection to the test as a ``KernelPeer``.  ``KernelProcess``
runs the real kernel (``python -m corvane_master.python_server``) as a subprocess and collects
what it writes on stdout and stderr.
"""

from __future__ import annotations

import asyncio
import json
import os
import signal
import socket
import tempfile
import time
import uuid
from pathlib import Path
from typing import Any, Callable, Optional

import websockets
import websockets.exceptions

REPO = Path(__file__).resolve().parents[2]
PYTHON_DIR = REPO / "python"
KERNEL_PYTHON = os.environ.get("CORVANE_PYTHON") or "/usr/bin/python3"
TIMEOUT = 60.0  # only reached when something is broken (or the machine is very busy)


def dumps(message: Any) -> str:
    return json.dumps(message, separators=(",", ":"))


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def kernel_env(extra: Optional[dict] = None) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = str(PYTHON_DIR)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env["PYTHONUNBUFFERED"] = "1"
    env["CORVANE_MODULE_SYNC_TIMEOUT"] = "1"
    env.update(extra or {})
    return env


class KernelPeer:
    """The broker's side of one kernel connection."""

    def __init__(self, ws, path: str) -> None:
        self.ws = ws
        self.path = path
        self.inbox: asyncio.Queue = asyncio.Queue()
        self.skipped: list[dict] = []
        self.closed = asyncio.Event()
        self._pump_task = asyncio.get_running_loop().create_task(self._pump())

    async def _pump(self) -> None:
        try:
            async for frame in self.ws:
                self.inbox.put_nowait(json.loads(frame))
        except websockets.exceptions.ConnectionClosed:
            pass
        finally:
            self.closed.set()
            self.inbox.put_nowait(None)

    async def send(self, message: Any) -> None:
        await self.ws.send(message if isinstance(message, str) else dumps(message))

    async def recv(self, timeout: float = TIMEOUT) -> dict:
        try:
            message = await asyncio.wait_for(self.inbox.get(), timeout)
        except asyncio.TimeoutError:
            raise AssertionError(f"no message from the kernel within {timeout} s") from None
        if message is None:
            self.inbox.put_nowait(None)
            raise AssertionError("the kernel closed the connection")
        return message

    async def until(self, predicate: Callable[[dict], bool], timeout: float = TIMEOUT) -> dict:
        """The first message matching ``predicate``; the others are kept in ``skipped``."""
        deadline = time.monotonic() + timeout
        while True:
            message = await self.recv(max(0.01, deadline - time.monotonic()))
            if predicate(message):
                return message
            self.skipped.append(message)

    async def answer(self, request_id: Any, timeout: float = TIMEOUT) -> dict:
        return await self.until(lambda m: m.get("request_id") == request_id, timeout)

    async def quiet(self, seconds: float) -> list[dict]:
        """Everything that arrives within ``seconds``."""
        got = []
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return got
            try:
                message = await asyncio.wait_for(self.inbox.get(), left)
            except asyncio.TimeoutError:
                return got
            if message is None:
                self.inbox.put_nowait(None)
                return got
            got.append(message)

    # -- conveniences ---------------------------------------------------------------------------
    async def update_module(self, name: str, code: str, workbook_id: Optional[str] = "wb-test") -> None:
        message = {"type": "update_module", "workbook_id": workbook_id, "module_name": name, "code": code}
        if workbook_id is None:
            del message["workbook_id"]
        await self.send(message)

    async def call(self, module: str, function: str, args: Any = (), request_id: Optional[str] = None,
                   timeout: float = TIMEOUT) -> dict:
        """Send "custom_function_call" and return the kernel's answer to it."""
        request_id = request_id or f"call-{uuid.uuid4()}"
        await self.send({"type": "custom_function_call", "module_name": module, "function_name": function,
                         "args": list(args), "request_id": request_id, "workbook_id": "wb-test"})
        return await self.answer(request_id, timeout)

    async def value(self, module: str, function: str, args: Any = ()) -> Any:
        """The result of a call that must succeed."""
        answer = await self.call(module, function, args)
        if answer.get("type") != "execution_result":
            raise AssertionError(f"{module}.{function} failed: {answer}")
        return answer["result"]


class FakeBroker:
    def __init__(self) -> None:
        self.connections: asyncio.Queue = asyncio.Queue()
        self.server = None
        self.port = 0
        self.peers: list[KernelPeer] = []

    async def start(self, port: int = 0) -> "FakeBroker":
        self.server = await websockets.serve(self._handle, "127.0.0.1", port,
                                             max_size=64 * 1024 * 1024, compression=None)
        self.port = self.server.sockets[0].getsockname()[1]
        return self

    async def _handle(self, ws, path: Optional[str] = None) -> None:
        path = path or getattr(ws, "path", None) or ws.request.path
        peer = KernelPeer(ws, path)
        self.peers.append(peer)
        await ws.send(dumps({"type": "ping"}))
        await self.connections.put(peer)
        await ws.wait_closed()

    async def accept(self, timeout: float = TIMEOUT) -> KernelPeer:
        try:
            return await asyncio.wait_for(self.connections.get(), timeout)
        except asyncio.TimeoutError:
            raise AssertionError(f"the kernel did not connect within {timeout} s") from None

    async def stop(self) -> None:
        if self.server is not None:
            self.server.close()
            await self.server.wait_closed()
            self.server = None


class KernelProcess:
    """The kernel under test, a real subprocess."""

    def __init__(self, workbook_id: str, port: int, env: Optional[dict] = None,
                 args_json: str = "{}") -> None:
        self.workbook_id = workbook_id
        self.port = port
        self.env = kernel_env(env)
        self.args_json = args_json
        self.proc: Optional[asyncio.subprocess.Process] = None
        self.stdout = bytearray()
        self.stderr = bytearray()
        self._readers: list[asyncio.Task] = []
        self.cwd = tempfile.mkdtemp(prefix="corvane-kernel-cwd-")

    async def start(self) -> "KernelProcess":
        self.proc = await asyncio.create_subprocess_exec(
            KERNEL_PYTHON, "-m", "corvane_master.python_server", self.workbook_id, str(self.port),
            self.args_json, env=self.env, cwd=self.cwd, stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
        self._readers = [asyncio.create_task(self._drain(self.proc.stdout, self.stdout)),
                         asyncio.create_task(self._drain(self.proc.stderr, self.stderr))]
        return self

    @staticmethod
    async def _drain(stream, sink: bytearray) -> None:
        while True:
            data = await stream.read(65536)
            if not data:
                return
            sink.extend(data)

    def stderr_text(self) -> str:
        return self.stderr.decode("utf-8", "replace")

    async def stderr_contains(self, text: str, timeout: float = TIMEOUT) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.stderr_text():
                return True
            await asyncio.sleep(0.02)
        return text in self.stderr_text()

    async def wait(self, timeout: float = TIMEOUT) -> int:
        try:
            code = await asyncio.wait_for(self.proc.wait(), timeout)
        except asyncio.TimeoutError:
            raise AssertionError(f"the kernel did not exit within {timeout} s") from None
        await asyncio.gather(*self._readers, return_exceptions=True)
        return code

    def signal(self, signum: int = signal.SIGTERM) -> None:
        if self.proc is not None and self.proc.returncode is None:
            self.proc.send_signal(signum)

    async def stop(self) -> None:
        if self.proc is None:
            return
        if self.proc.returncode is None:
            self.proc.kill()
        await self.proc.wait()
        await asyncio.gather(*self._readers, return_exceptions=True)

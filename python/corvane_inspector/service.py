"""The inspector's connection to switchyard."""

from __future__ import annotations

import argparse
import asyncio
import json
import sys

import websockets
import websockets.exceptions

from corvane_inspector.analysis import answer_function_at_position

MAX_FRAME = 64 * 1024 * 1024
CONNECT_TIMEOUT = 10.0   # seconds to keep retrying while the server is not yet accepting

# Request type -> function building the answer.
HANDLERS = {
    "get_function_at_position": answer_function_at_position,
}


def log(text: str) -> None:
    try:
        sys.stderr.write(f"corvane_inspector: {text}\n")
        sys.stderr.flush()
    except Exception:  # noqa: BLE001 - stderr gone: nothing else to tell
        pass


def answer(frame) -> str | None:
    """The reply to one received frame, or None when it asks for nothing."""
    try:
        message = json.loads(frame)
    except ValueError:
        return None
    if not isinstance(message, dict):
        return None
    handler = HANDLERS.get(message.get("type"))
    if handler is None:
        return None   # the server's greeting ping, or a request this service does not know
    try:
        reply = handler(message)
    except Exception as exc:  # noqa: BLE001 - one bad request must not stop the service
        log(f"could not answer {message.get('type')}: {exc!r}")
        return None
    return json.dumps(reply, separators=(",", ":"))


async def connect(url: str, timeout: float):
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while True:
        try:
            return await websockets.connect(url, max_size=MAX_FRAME, compression=None,
                                            ping_interval=None, ping_timeout=None,
                                            close_timeout=2, open_timeout=5)
        except Exception as exc:  # noqa: BLE001 - refused, reset, handshake rejected, ...
            if loop.time() >= deadline:
                log(f"could not connect to {url}: {exc}")
                return None
        await asyncio.sleep(0.2)


async def serve(url: str, timeout: float = CONNECT_TIMEOUT) -> int:
    ws = await connect(url, timeout)
    if ws is None:
        return 1
    try:
        async for frame in ws:
            reply = answer(frame)
            if reply is not None:
                await ws.send(reply)
    except websockets.exceptions.ConnectionClosed:
        pass
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="corvane_inspector", description=__doc__)
    parser.add_argument("port", type=int, help="the server's port")
    parser.add_argument("--host", default="127.0.0.1", help="the server's address (default 127.0.0.1)")
    parser.add_argument("--connect-timeout", type=float, default=CONNECT_TIMEOUT,
                        help="seconds to keep retrying the connection (default %(default)s)")
    args = parser.parse_args(argv)
    host = f"[{args.host}]" if ":" in args.host else args.host
    return asyncio.run(serve(f"ws://{host}:{args.port}/ws/inspector/main", args.connect_timeout))

"""The kernel's WebSocket connection to switchyard, on an asyncio protocol.

The WebSocket protocol itself (handshake, framing, masking, pings, the closing handshake) is the
sans-I/O layer of the ``websockets`` library; this module only moves bytes.  It works in batches:

* every read of the socket is parsed into all the messages it completes, which are handed to
  ``on_messages`` at once (so the kernel wakes its worker once per read, not once per message);
* ``send_texts`` frames any number of messages and writes them with one write.

Everything here runs on the socket loop.
"""

from __future__ import annotations

import asyncio
from typing import Any, Callable, Iterable, Optional, Union

try:  # websockets 11 and newer
    from websockets.client import ClientProtocol
    from websockets.protocol import State
except ImportError:  # websockets 10
    from websockets.client import ClientConnection as ClientProtocol
    from websockets.connection import State
from websockets.frames import OP_BINARY, OP_CLOSE, OP_CONT, OP_TEXT
from websockets.uri import parse_uri

try:
    from websockets.http import USER_AGENT
except ImportError:  # pragma: no cover - moved in later versions
    USER_AGENT = "Python websockets"

Message = Union[str, bytes]


class HandshakeFailed(Exception):
    """The server did not accept the WebSocket handshake."""


class KernelLink(asyncio.Protocol):
    """One client connection.  ``on_open`` runs when the handshake succeeds, ``on_messages(list)``
    once per read with the complete messages it brought (text as ``str``, binary as ``bytes``),
    ``on_writable`` when a full send buffer has drained again."""

    def __init__(self, url: str, max_size: int, on_open: Callable[["KernelLink"], None],
                 on_messages: Callable[[list], None], on_writable: Callable[[], None]) -> None:
        self._loop = asyncio.get_running_loop()
        self._ws = ClientProtocol(parse_uri(url), max_size=max_size)
        self._on_open = on_open
        self._on_messages = on_messages
        self._on_writable = on_writable
        self._transport: Optional[asyncio.Transport] = None
        self._fragments: Optional[list[bytes]] = None
        self._fragment_opcode = OP_TEXT
        self.opened: asyncio.Future = self._loop.create_future()
        self.closed: asyncio.Future = self._loop.create_future()
        self.paused = False   # the transport's buffer is full: wait for on_writable

    # -- asyncio callbacks -------------------------------------------------------------------
    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self._transport = transport  # type: ignore[assignment]
        request = self._ws.connect()
        request.headers["User-Agent"] = USER_AGENT
        self._ws.send_request(request)
        self._write_pending()

    def data_received(self, data: bytes) -> None:
        ws = self._ws
        ws.receive_data(data)
        events = ws.events_received()
        self._write_pending()  # pongs and the answer to a close frame go out at once
        if events and not self.opened.done():
            response = events.pop(0)
            error = ws.handshake_exc
            if error is not None:
                self._fail_open(HandshakeFailed(str(error)))
                self._transport.close()
                return
            self.opened.set_result(None)
            self._on_open(self)
        messages: list[Message] = []
        for frame in events:
            opcode = frame.opcode
            if opcode is OP_TEXT or opcode is OP_BINARY:
                if frame.fin:
                    messages.append(_decoded(opcode, frame.data))
                else:
                    self._fragments, self._fragment_opcode = [frame.data], opcode
            elif opcode is OP_CONT:
                if self._fragments is not None:
                    self._fragments.append(frame.data)
                    if frame.fin:
                        data, self._fragments = b"".join(self._fragments), None
                        messages.append(_decoded(self._fragment_opcode, data))
            elif opcode is OP_CLOSE:
                self._transport_done_soon()
            # pings are answered by the protocol layer; pongs need nothing
        if messages:
            self._on_messages(messages)
        if ws.state is State.CLOSED:
            self._finish()

    def eof_received(self) -> bool:
        self._ws.receive_eof()
        self._write_pending()
        self._finish()
        return False

    def connection_lost(self, exc: Optional[BaseException]) -> None:
        if self._ws.state is not State.CLOSED:
            try:
                self._ws.receive_eof()
            except EOFError:
                pass
        self._fail_open(HandshakeFailed(f"connection closed during the handshake: {exc}"))
        self._finish()

    def pause_writing(self) -> None:
        self.paused = True

    def resume_writing(self) -> None:
        self.paused = False
        self._on_writable()

    # -- sending -----------------------------------------------------------------------------
    @property
    def is_open(self) -> bool:
        return self._ws.state is State.OPEN

    def send_texts(self, texts: Iterable[str]) -> None:
        """Frame every text and write them all with one write (texts are ASCII JSON)."""
        ws = self._ws
        if ws.state is not State.OPEN:
            return
        send_text = ws.send_text
        for text in texts:
            send_text(text.encode())
        self._write_pending()

    async def close(self, code: int = 1000) -> None:
        """The closing handshake: send a close frame, wait until the server ends the connection."""
        if self._ws.state is State.OPEN:
            self._ws.send_close(code)
            self._write_pending()
        await asyncio.shield(self.closed)

    def abort(self) -> None:
        if self._transport is not None:
            self._transport.abort()

    @property
    def close_code(self) -> Optional[int]:
        return self._ws.close_code

    @property
    def close_reason(self) -> Optional[str]:
        return self._ws.close_reason

    # -- internals ---------------------------------------------------------------------------
    def _write_pending(self) -> None:
        data = self._ws.data_to_send()
        if not data or self._transport is None:
            return
        if data[-1] == b"":  # the protocol layer asks for the end of the stream
            data.pop()
            self._transport.write(b"".join(data))
            self._transport.close()
            return
        self._transport.write(data[0] if len(data) == 1 else b"".join(data))

    def _fail_open(self, error: BaseException) -> None:
        if not self.opened.done():
            self.opened.set_exception(error)
            self.opened.exception()  # retrieved: whoever still waits gets it, nobody else warns

    def _transport_done_soon(self) -> None:
        # After the closing handshake the server ends the TCP connection; do it ourselves if it
        # does not within two seconds.
        transport = self._transport
        if transport is not None:
            self._loop.call_later(2.0, transport.abort)

    def _finish(self) -> None:
        if not self.closed.done():
            self.closed.set_result((self.close_code, self.close_reason))


def _decoded(opcode: Any, data: bytes) -> Message:
    if opcode is OP_TEXT:
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            return data  # the kernel logs it as a frame that is not UTF-8
    return bytes(data)


async def open_link(url: str, max_size: int, timeout: float, on_open: Callable[[KernelLink], None],
                    on_messages: Callable[[list], None], on_writable: Callable[[], None]) -> KernelLink:
    """Connect to ``url`` (ws://host:port/path) and complete the WebSocket handshake."""
    wsuri = parse_uri(url)
    loop = asyncio.get_running_loop()
    link: Optional[KernelLink] = None

    def factory() -> KernelLink:
        nonlocal link
        link = KernelLink(url, max_size, on_open, on_messages, on_writable)
        return link

    async def handshake() -> KernelLink:
        await loop.create_connection(factory, wsuri.host, wsuri.port)
        await link.opened
        return link

    try:
        return await asyncio.wait_for(handshake(), timeout)
    except BaseException:
        if link is not None:
            link.abort()
        raise

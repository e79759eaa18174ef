"""Per-thread capture of what user code prints.

``sys.stdout`` and ``sys.stderr`` are replaced once, at start, by ``ThreadAwareStream`` proxies.
A thread that redirects a proxy (the kernel's worker while it runs a call) sees its own target;
every other thread (the socket loop, streaming threads, threads that user code starts) keeps
writing to the original stream.  So a call's output is captured without touching what other
threads print, which ``contextlib.redirect_stdout`` (process-wide) could not guarantee.
"""

from __future__ import annotations

import contextlib
import threading
import time
from typing import Callable, Iterator, Optional


class ThreadAwareStream:
    """A text stream that forwards to a per-thread target, or to the original stream."""

    def __init__(self, original, name: str) -> None:
        self._original = original
        self._local = threading.local()
        self.name = name

    # -- redirection -------------------------------------------------------------------------
    def _target(self):
        target = getattr(self._local, "target", None)
        return self._original if target is None else target

    @contextlib.contextmanager
    def redirect(self, target) -> Iterator[None]:
        """Send this thread's writes to ``target`` for the duration of the block."""
        previous = getattr(self._local, "target", None)
        self._local.target = target
        try:
            yield
        finally:
            self._local.target = previous

    @property
    def original(self):
        return self._original

    @property
    def local(self) -> threading.local:
        """The per-thread state: ``local.target`` (absent or None: the original stream)."""
        return self._local

    # -- the text stream interface -----------------------------------------------------------
    def write(self, text) -> int:
        target = self._target()
        if target is None:  # no console at all (stream closed at start)
            if not isinstance(text, str):
                raise TypeError(f"write() argument must be str, not {type(text).__name__}")
            return len(text)
        return target.write(text)

    def writelines(self, lines) -> None:
        for line in lines:
            self.write(line)

    def flush(self) -> None:
        target = self._target()
        if target is not None:
            try:
                target.flush()
            except (OSError, ValueError):
                pass

    def isatty(self) -> bool:
        target = self._target()
        try:
            return bool(target is not None and target.isatty())
        except (OSError, ValueError, AttributeError):
            return False

    def fileno(self) -> int:
        if self._original is None:
            raise OSError("stream has no file descriptor")
        return self._original.fileno()

    def writable(self) -> bool:
        return True

    def readable(self) -> bool:
        return False

    def seekable(self) -> bool:
        return False

    @property
    def closed(self) -> bool:
        return False

    @property
    def encoding(self) -> str:
        return getattr(self._target(), "encoding", None) or "utf-8"

    @property
    def errors(self) -> str:
        return getattr(self._target(), "errors", None) or "strict"

    def __getattr__(self, name):
        # Anything else (buffer, line_buffering, reconfigure, ...) comes from the current target,
        # falling back to the original stream.
        target = self._target()
        if target is not None and hasattr(target, name):
            return getattr(target, name)
        if self._original is not None:
            return getattr(self._original, name)
        raise AttributeError(name)


def _check_text(text) -> str:
    if not isinstance(text, str):
        raise TypeError(f"write() argument must be str, not {type(text).__name__}")
    return text


class LogCapture:
    """Collects everything a call prints (stdout and stderr, in order) as its ``logs``.

    Appending to a list is atomic, so writers need no lock; a call that prints nothing costs one
    empty list."""

    __slots__ = ("_parts",)
    encoding = "utf-8"
    errors = "strict"

    def __init__(self) -> None:
        self._parts: list[str] = []

    def write(self, text) -> int:
        if type(text) is not str:
            text = _check_text(text)
        self._parts.append(text)
        return len(text)

    def writelines(self, lines) -> None:
        for line in lines:
            self.write(line)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False

    def writable(self) -> bool:
        return True

    def getvalue(self) -> str:
        parts = self._parts
        return "".join(parts) if parts else ""


class ConsoleOutput:
    """Streams what editor code prints as ``stdout``/``stderr`` messages while it runs.

    Output is coalesced: a write that completes a line goes out at once when nothing was sent in
    the last ``interval`` seconds, otherwise it waits (at most ``interval``) for a timer, so that a
    tight print loop becomes a few dozen messages instead of one per line.  A switch between
    stdout and stderr sends what is buffered first, which keeps the two in their printed order.

    ``emit(kind, text)`` sends one message and may block (back-pressure) when called from the
    writing thread; ``schedule(delay, fn)`` runs ``fn`` later on the socket loop, where the flush
    must never block, so the timer only takes the lock when it is free.
    """

    def __init__(self, emit: Callable[[str, str], None],
                 schedule: Callable[[float, Callable[[], None]], None],
                 interval: float = 0.05, limit: int = 65536) -> None:
        self._emit = emit
        self._schedule = schedule
        self._interval = interval
        self._limit = limit
        self._lock = threading.Lock()
        self._kind: Optional[str] = None
        self._parts: list[str] = []
        self._size = 0
        self._last_sent = 0.0
        self._timer_pending = False
        self._closed = False
        self.stdout = _ConsoleStream(self, "stdout")
        self.stderr = _ConsoleStream(self, "stderr")

    def write(self, kind: str, text) -> int:
        text = _check_text(text)
        if not text:
            return 0
        with self._lock:
            if self._closed:
                return len(text)
            if self._kind is not None and self._kind != kind:
                self._send_locked()
            self._kind = kind
            self._parts.append(text)
            self._size += len(text)
            now = time.monotonic()
            if self._size >= self._limit or (text.endswith("\n") and now - self._last_sent >= self._interval):
                self._send_locked()
            elif not self._timer_pending:
                # A partial line waits a full interval for the rest of it (print writes the text
                # and the newline separately); a complete one only until the interval is over.
                self._timer_pending = True
                delay = self._interval
                if text.endswith("\n"):
                    delay = max(0.0, self._interval - (now - self._last_sent))
                self._schedule(delay, self._on_timer)
        return len(text)

    def flush(self) -> None:
        """Send what is buffered (called by the writing thread)."""
        with self._lock:
            self._send_locked()

    def close(self) -> None:
        """Send what is left; later writes and timers do nothing."""
        with self._lock:
            self._send_locked()
            self._closed = True

    def _on_timer(self) -> None:
        # Runs on the socket loop: never wait for the lock there, the writer may be blocked on
        # back-pressure that only the loop can relieve.
        if not self._lock.acquire(blocking=False):
            self._schedule(self._interval, self._on_timer)
            return
        try:
            self._timer_pending = False
            if not self._closed:
                self._send_locked()
        finally:
            self._lock.release()

    def _send_locked(self) -> None:
        if self._parts and self._kind is not None:
            text = "".join(self._parts)
            self._parts = []
            self._size = 0
            self._last_sent = time.monotonic()
            self._emit(self._kind, text)


class _ConsoleStream:
    encoding = "utf-8"
    errors = "strict"

    def __init__(self, owner: ConsoleOutput, kind: str) -> None:
        self._owner = owner
        self.name = "<" + kind + ">"
        self._kind = kind

    def write(self, text) -> int:
        return self._owner.write(self._kind, text)

    def writelines(self, lines) -> None:
        for line in lines:
            self.write(line)

    def flush(self) -> None:
        self._owner.flush()

    def isatty(self) -> bool:
        return False

    def writable(self) -> bool:
        return True

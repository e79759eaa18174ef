"""The workbook kernel: one WebSocket connection to switchyard, one worker thread for user code.

Threads
-------
* The socket loop (main thread, asyncio) reads frames, answers nothing itself and never runs
  user code: it files each request with the worker, records module sources, and handles
  cancellations at once.  All the requests of one read reach the worker as one batch.  A
  function call is filed as its text: the worker parses it, which keeps a long backlog small.
* The worker thread runs calls, event handlers, editor code, module (re)loads and path changes
  one at a time, in arrival order.  It owns an asyncio loop for user coroutines.
* Each streaming function iterates in a thread of its own once the worker has started it, so a
  long or endless stream does not hold up the calls behind it.

Every thread hands its messages to the loop with ``post``: they join one queue, in call order,
and the loop is woken once to write everything queued with one write.  A thread other than the
loop that finds the queue full (the socket does not take the data as fast) waits for room
(back-pressure) instead of filling memory.
"""

from __future__ import annotations

import ast
import asyncio
import builtins
import collections
import inspect
import io
import itertools
import json
import linecache
import os
import queue
import signal
import sys
import threading
import traceback
from typing import Any, Callable, Optional
from urllib.parse import quote

from corvane_master import capture
from corvane_master.chunks import CHUNK_SIZE, CHUNK_TYPE, ChunkAssembler, split_into_chunks
from corvane_master.connection import KernelLink, open_link
from corvane_master.modules import WorkbookModules, describe_exception, is_module_name
from corvane_master.paths import PathManager, string_list

MAX_FRAME = 64 * 1024 * 1024
DEFAULT_CONNECT_TIMEOUT = 10.0     # seconds to keep retrying while the server is not listening
HANDSHAKE_TIMEOUT = 5.0            # seconds for one connection attempt, WebSocket handshake included
DEFAULT_SYNC_TIMEOUT = 5.0         # seconds to wait for the server's answer to request_module_sync
DEFAULT_CHUNK_THRESHOLD = 8 * 1024 * 1024   # outgoing messages longer than this go as chunks
DEFAULT_MAX_MESSAGE = 64 * 1024 * 1024       # the server closes a connection that sends more
MAX_RESULT_REPR = 1024 * 1024                # characters of an editor result's repr that are sent
MAX_PENDING_OUT = 256              # messages queued for the socket before other threads must wait

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
_IMPORTLIB_DIR = os.path.dirname(os.path.abspath(__import__("importlib").__file__))


_encode = json.JSONEncoder(separators=(",", ":"), allow_nan=False).encode
_scan_json = json.JSONDecoder().scan_once

# The prefix of every function call the server sends (its keys come in a fixed order).
_CALL_PREFIX = '{"type":"custom_function_call"'

# Exact types that are never awaitable: their results skip the awaitable check.
_PLAIN_RESULTS = frozenset((int, float, str, bool, type(None), list, dict, tuple))


def dumps(message: Any) -> str:
    """Compact JSON, ASCII only, no NaN/Infinity (which are not JSON)."""
    return _encode(message)


def _parse_object_text(text: str) -> Any:
    """``json.loads`` for a text that starts with '{' (the scanner without the set-up)."""
    try:
        value, end = _scan_json(text, 0)
    except StopIteration as exc:
        raise json.JSONDecodeError("Expecting value", text, exc.value) from None
    if end != len(text) and text[end:].strip(" \t\n\r"):
        raise json.JSONDecodeError("Extra data", text, end)
    return value


def _env_float(name: str, default: float) -> float:
    try:
        value = float(os.environ.get(name, ""))
        return value if value >= 0 else default
    except ValueError:
        return default


# -- tracebacks -------------------------------------------------------------------------------

def _internal_frame(filename: str) -> bool:
    if filename.startswith("<frozen importlib"):
        return True
    directory = os.path.dirname(os.path.abspath(filename)) if filename and not filename.startswith("<") else ""
    return directory in (_PACKAGE_DIR, _IMPORTLIB_DIR)


def _prune(te: traceback.TracebackException, seen: set) -> None:
    if id(te) in seen:
        return
    seen.add(id(te))
    te.stack = traceback.StackSummary.from_list([f for f in te.stack if not _internal_frame(f.filename)])
    for sub in (te.__cause__, te.__context__):
        if sub is not None:
            _prune(sub, seen)


def format_user_traceback(exc: BaseException) -> str:
    """The traceback of a user-code failure, without the kernel's and importlib's own frames."""
    try:
        te = traceback.TracebackException.from_exception(exc)
        _prune(te, set())
        return "".join(te.format())
    except Exception:  # noqa: BLE001 - never fail while reporting a failure
        return "".join(traceback.format_exception(exc))


def error_object(exc: BaseException) -> dict:
    return {"type": type(exc).__name__, "message": str(exc), "traceback": format_user_traceback(exc)}


def _invoke(func: Callable, args: Any) -> Any:
    if args is None:
        return func()
    if isinstance(args, list):
        return func(*args)
    if isinstance(args, dict):
        return func(**args)
    return func(args)


def _not_serialisable(value: Any, exc: Exception) -> TypeError:
    return TypeError(f"Result of type {type(value).__name__} is not JSON serialisable: {exc}")


def _too_large(value: Any, size: int, limit: int) -> ValueError:
    return ValueError(f"Result of type {type(value).__name__} is too large to send: "
                      f"{size} bytes of JSON, the limit is {limit}")


# -- streaming ---------------------------------------------------------------------------------

class StreamState:
    """One streaming request; ``cancelled`` is set on the socket loop by "cancel_streaming_function"."""

    def __init__(self, request_id: Any) -> None:
        self.request_id = request_id
        self.cancelled = threading.Event()
        self._lock = threading.Lock()
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._task: Optional[asyncio.Task] = None

    def attach(self, loop: asyncio.AbstractEventLoop, task: asyncio.Task) -> None:
        with self._lock:
            self._loop, self._task = loop, task
            cancelled = self.cancelled.is_set()
        if cancelled:
            task.cancel()

    def cancel(self) -> None:
        with self._lock:
            self.cancelled.set()
            loop, task = self._loop, self._task
        if loop is not None and task is not None:
            try:
                loop.call_soon_threadsafe(task.cancel)
            except RuntimeError:  # its loop already finished
                pass


class Worker:
    """One thread that runs jobs in the order they were submitted.

    Jobs submitted between ``begin_batch`` and ``end_batch`` (the socket loop does so for each
    read) reach the thread as one list: it is woken once for all of them.  A job is ``(fn, args)``,
    or just a text, which goes to ``run_text`` (a backlog of many calls then costs little more
    than their texts).
    """

    def __init__(self, log: Callable[[str], None], run_text: Callable[[str], None]) -> None:
        self._log = log
        self._run_text = run_text
        self._jobs: "queue.SimpleQueue[list]" = queue.SimpleQueue()
        self._batch: Optional[list] = None
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self._ready = threading.Event()
        self.thread = threading.Thread(target=self._run, name="corvane-worker", daemon=True)

    def start(self) -> None:
        self.thread.start()
        self._ready.wait()

    def submit(self, fn: Callable, *args: Any) -> None:
        batch = self._batch
        if batch is None:
            self._jobs.put([(fn, args)])
        else:
            batch.append((fn, args))

    def submit_text(self, text: str) -> None:
        batch = self._batch
        if batch is None:
            self._jobs.put([text])
        else:
            batch.append(text)

    def begin_batch(self) -> None:
        """Hold the jobs submitted from now on (by this thread) until ``end_batch``."""
        self._batch = []

    def end_batch(self) -> None:
        batch, self._batch = self._batch, None
        if batch:
            self._jobs.put(batch)

    def run_coroutine(self, awaitable: Any) -> Any:
        async def wrapper():
            return await awaitable
        return self.loop.run_until_complete(wrapper())

    def _run(self) -> None:
        self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)
        self._ready.set()
        get = self._jobs.get
        run_text = self._run_text
        while True:
            batch = get()
            for job in batch:
                try:
                    if type(job) is str:
                        run_text(job)
                    else:
                        job[0](*job[1])
                except BaseException as exc:  # noqa: BLE001 - a job must never end the worker
                    fn = run_text if type(job) is str else job[0]
                    self._log(f"internal error in {getattr(fn, '__name__', fn)}: {describe_exception(exc)}")
            batch = job = None  # nothing of a finished batch is kept while waiting for the next


# -- the kernel ---------------------------------------------------------------------------------

class Kernel:
    def __init__(self, workbook_id: str, port: int, connection_args: Any = None) -> None:
        self.workbook_id = workbook_id
        self.port = port
        self.connection_args = connection_args if connection_args is not None else {}
        self.url = f"ws://127.0.0.1:{port}/ws/kernel/{quote(workbook_id, safe='')}"
        self.connect_timeout = _env_float("CORVANE_KERNEL_CONNECT_TIMEOUT", DEFAULT_CONNECT_TIMEOUT)
        self.chunk_threshold = int(_env_float("CORVANE_KERNEL_CHUNK_THRESHOLD", DEFAULT_CHUNK_THRESHOLD))
        self.max_message = int(_env_float("CORVANE_KERNEL_MAX_MESSAGE", DEFAULT_MAX_MESSAGE))
        self._log_stream = sys.__stderr__
        self._log_lock = threading.Lock()

        self.modules = WorkbookModules(workbook_id, self.post, self.log,
                                       sync_timeout=_env_float("CORVANE_MODULE_SYNC_TIMEOUT", DEFAULT_SYNC_TIMEOUT))
        self.paths = PathManager(self.log, self.modules.is_workbook_module)
        self.worker = Worker(self.log, self._run_call_text)
        self._chunks = ChunkAssembler(self.log)
        self._streams: dict[Any, StreamState] = {}
        self._namespaces: dict[str, dict] = {}
        self._console_counter = itertools.count(1)
        self.stdout: Optional[capture.ThreadAwareStream] = None
        self.stderr: Optional[capture.ThreadAwareStream] = None

        self._resolved_names: dict[tuple, tuple] = {}   # (module, function) -> attribute path, checked

        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._loop_thread: Optional[int] = None
        self._link: Optional[KernelLink] = None
        # Outgoing messages, (text, kind, stream), from every thread in call order; the loop
        # writes them.  _wake_pending: a drain is scheduled on the loop already.
        self._out: collections.deque = collections.deque()
        self._wake_pending = False
        self._room = threading.Condition(threading.Lock())
        self._room_waiters = 0
        self._closed = threading.Event()
        self._stop: Optional[asyncio.Event] = None
        self._stopping_signal: Optional[str] = None

        self._handlers: dict[str, Callable[[dict], None]] = {
            "update_module": self._on_update_module,
            "delete_module": self._on_delete_module,
            "set_python_paths": self._on_set_python_paths,
            "set_package_paths": self._on_set_package_paths,
            "unload_and_clear_paths": self._on_unload_and_clear_paths,
            "custom_function_call": self._on_custom_function_call,
            "event_execution": self._on_event_execution,
            "execute_streaming_function": self._on_execute_streaming_function,
            "cancel_streaming_function": self._on_cancel_streaming_function,
            "execution_request": self._on_execution_request,
            "run_module": self._on_run_module,
        }

    # -- logging -----------------------------------------------------------------------------
    def log(self, text: str) -> None:
        """One line on the kernel's stderr."""
        line = f"[corvane kernel {self.workbook_id}] {' '.join(str(text).split())}\n"
        with self._log_lock:
            try:
                if self._log_stream is not None:
                    self._log_stream.write(line)
                    self._log_stream.flush()
            except (OSError, ValueError):
                pass

    # -- process-wide set-up ---------------------------------------------------------------------
    def install(self) -> None:
        self.stdout = capture.ThreadAwareStream(sys.stdout, "<stdout>")
        self.stderr = capture.ThreadAwareStream(sys.stderr, "<stderr>")
        sys.stdout, sys.stderr = self.stdout, self.stderr
        sys.stdin = io.StringIO("")  # user code must not read the server's terminal: input() gets EOF
        self.modules.install()
        self.paths.protect_loaded_modules()
        self.worker.start()

    # -- running -------------------------------------------------------------------------------
    async def run(self) -> int:
        self._loop = asyncio.get_running_loop()
        self._loop_thread = threading.get_ident()
        self.modules.loop_thread = self._loop_thread
        self._stop = asyncio.Event()
        for signum in (signal.SIGTERM, signal.SIGINT):
            try:
                self._loop.add_signal_handler(signum, self._on_signal, signum)
            except (NotImplementedError, RuntimeError, ValueError):
                pass

        link = await self._connect()
        if link is None:
            return 0 if self._stopping_signal else 1

        stopper = asyncio.ensure_future(self._stop.wait())
        try:
            done, _ = await asyncio.wait({link.closed, stopper}, return_when=asyncio.FIRST_COMPLETED)
            if link.closed in done:
                status = self._closed_status(link)
            else:
                self.log(f"{self._stopping_signal}: closing the connection and exiting")
                status = 0
                try:
                    await asyncio.wait_for(link.close(), 2.0)
                except Exception:  # noqa: BLE001 - exiting anyway
                    pass
        finally:
            self._closed.set()
            self._notify_room()
            for state in list(self._streams.values()):
                state.cancel()
            stopper.cancel()
            link.abort()
            await asyncio.gather(stopper, return_exceptions=True)
        return status

    def _on_signal(self, signum: int) -> None:
        self._stopping_signal = signal.Signals(signum).name
        if self._stop is not None:
            self._stop.set()

    async def _connect(self) -> Optional[KernelLink]:
        deadline = self._loop.time() + self.connect_timeout
        last_error: Optional[BaseException] = None
        while not self._stop.is_set():
            try:
                return await open_link(self.url, MAX_FRAME, HANDSHAKE_TIMEOUT, self._on_open,
                                       self._on_messages, self._drain)
            except asyncio.CancelledError:
                raise
            except Exception as exc:  # noqa: BLE001 - refused, reset, handshake rejected, ...
                last_error = exc
            if self._loop.time() >= deadline:
                break
            try:
                await asyncio.wait_for(self._stop.wait(), 0.2)
            except asyncio.TimeoutError:
                pass
        if not self._stop.is_set():
            self.log(f"could not connect to {self.url} within {self.connect_timeout:g} s: {last_error}")
        return None

    def _on_open(self, link: KernelLink) -> None:
        self._link = link
        self.log(f"connected to {self.url}")
        self._drain()

    def _closed_status(self, link: KernelLink) -> int:
        code, reason = link.close_code, link.close_reason
        if code in (1000, 1001):
            self.log(f"the server closed the connection ({code}); exiting")
            return 0
        self.log(f"connection lost (close code {code}{', ' + reason if reason else ''}); exiting")
        return 0 if self._stopping_signal else 1

    # -- outgoing ------------------------------------------------------------------------------
    def post(self, message: dict, stream: Optional[StreamState] = None) -> bool:
        """Queue a message for the server, from any thread, in call order."""
        try:
            text = dumps(message)
        except (TypeError, ValueError, OverflowError, RecursionError) as exc:
            self.log(f"could not serialise a {message.get('type')!r} message: {exc}")
            return False
        return self.post_text(text, message.get("type"), stream)

    def post_text(self, text: str, kind: Any, stream: Optional[StreamState] = None) -> bool:
        loop = self._loop
        if loop is None or self._closed.is_set():
            return False
        if len(text) > self.max_message:
            # The server would close the connection (and so end this kernel) over it.
            self.log(f"dropping a {kind!r} message of {len(text)} bytes: the limit is {self.max_message}")
            return False
        out = self._out
        if len(out) >= MAX_PENDING_OUT and threading.get_ident() != self._loop_thread:
            if not self._wait_for_room(stream):
                return False
        out.append((text, kind, stream))
        if not self._wake_pending:
            self._wake_pending = True
            try:
                loop.call_soon_threadsafe(self._drain)
            except RuntimeError:  # the loop has finished
                return False
        return True

    def _wait_for_room(self, stream: Optional[StreamState]) -> bool:
        with self._room:
            self._room_waiters += 1
            try:
                while len(self._out) >= MAX_PENDING_OUT:
                    if self._closed.is_set() or (stream is not None and stream.cancelled.is_set()):
                        return False
                    self._room.wait(0.5)
            finally:
                self._room_waiters -= 1
        return True

    def _notify_room(self) -> None:
        if self._room_waiters:
            with self._room:
                self._room.notify_all()

    def _drain(self) -> None:
        """On the loop: write everything queued, with one write (unless the socket is full)."""
        self._wake_pending = False
        link = self._link
        if link is None or link.paused:
            return  # _on_open or the link's resume calls this again
        out = self._out
        texts: list[str] = []
        threshold = self.chunk_threshold
        while out:
            text, kind, stream = out.popleft()
            if stream is not None and stream.cancelled.is_set():
                continue  # a stream's values stop the moment its cancel is processed here
            if len(text) > threshold:
                texts.extend(split_into_chunks(text, kind, CHUNK_SIZE))
            else:
                texts.append(text)
        if texts:
            try:
                link.send_texts(texts)
            except Exception as exc:  # noqa: BLE001 - a bad message must not stop the loop
                self.log(f"could not send {len(texts)} messages: {exc}")
        self._notify_room()

    def _schedule(self, delay: float, fn: Callable[[], None]) -> None:
        loop = self._loop
        if loop is None or self._closed.is_set():
            return
        try:
            loop.call_soon_threadsafe(loop.call_later, delay, fn)
        except RuntimeError:
            pass

    # -- incoming (socket loop) -------------------------------------------------------------------
    def _on_messages(self, frames: list) -> None:
        """Everything one read brought: the worker gets the jobs of all of them at once."""
        worker = self.worker
        worker.begin_batch()
        try:
            for frame in frames:
                if type(frame) is str and frame.startswith(_CALL_PREFIX):
                    worker.submit_text(frame)
                else:
                    self._on_frame(frame)
        finally:
            worker.end_batch()

    def _on_frame(self, frame: Any) -> None:
        if isinstance(frame, bytes):
            try:
                frame = frame.decode("utf-8")
            except UnicodeDecodeError:
                self.log("ignoring a binary frame that is not UTF-8")
                return
        try:
            message = json.loads(frame)
        except ValueError:
            self.log(f"ignoring a frame that is not JSON: {frame[:80]!r}")
            return
        if not isinstance(message, dict):
            self.log(f"ignoring a JSON frame that is not an object: {frame[:80]!r}")
            return
        self.dispatch(message)

    def dispatch(self, message: dict) -> None:
        kind = message.get("type")
        if kind in ("ping", "pong"):
            return
        if kind == CHUNK_TYPE:
            whole = self._chunks.add(message)
            if whole is not None:
                self.dispatch(whole)
            return
        handler = self._handlers.get(kind) if isinstance(kind, str) else None
        if handler is None:
            self.log(f"ignoring message of type {kind!r}")
            return
        try:
            handler(message)
        except Exception as exc:  # noqa: BLE001 - a bad message must not end the loop
            self.log(f"error handling {kind!r}: {describe_exception(exc)}")

    # modules and paths
    def _on_update_module(self, message: dict) -> None:
        name, code = message.get("module_name"), message.get("code")
        if not is_module_name(name):
            self.log(f"ignoring update_module: invalid module name {name!r:.80}")
            return
        if code is None:
            code = ""
        if not isinstance(code, str):
            self.log(f"ignoring update_module for {name!r}: code is not a string")
            return
        seq = self.modules.update(name, code)
        if seq is not None:
            self.worker.submit(self.modules.load, name, seq)

    def _on_delete_module(self, message: dict) -> None:
        name = message.get("module_name")
        if not is_module_name(name):
            self.log(f"ignoring delete_module: invalid module name {name!r:.80}")
            return
        self.modules.delete(name)
        self.worker.submit(self.modules.unload, name)

    def _on_set_python_paths(self, message: dict) -> None:
        self._submit_paths("python", message)

    def _on_set_package_paths(self, message: dict) -> None:
        self._submit_paths("package", message)

    def _submit_paths(self, kind: str, message: dict) -> None:
        old = string_list(message.get("old_paths"), f"{message.get('type')}.old_paths", self.log)
        new = string_list(message.get("new_paths"), f"{message.get('type')}.new_paths", self.log)
        self.worker.submit(self.paths.set_paths, kind, old, new)

    def _on_unload_and_clear_paths(self, message: dict) -> None:
        paths = string_list(message.get("paths"), "unload_and_clear_paths.paths", self.log)
        self.worker.submit(self.paths.clear_paths, paths)

    # executions
    def _on_custom_function_call(self, message: dict) -> None:
        self.worker.submit(self._run_function_call, message)

    def _on_event_execution(self, message: dict) -> None:
        self.worker.submit(self._run_event, message)

    def _on_execution_request(self, message: dict) -> None:
        self.worker.submit(self._run_editor_code, message)

    def _on_run_module(self, message: dict) -> None:
        self.worker.submit(self._run_module, message)

    def _on_execute_streaming_function(self, message: dict) -> None:
        request_id = message.get("request_id")
        state = StreamState(request_id)
        previous = self._streams.get(request_id)
        if previous is not None:
            self.log(f"streaming request {request_id!r} restarted; the earlier stream is cancelled")
            previous.cancel()
        self._streams[request_id] = state
        self.worker.submit(self._start_stream, state, message)

    def _on_cancel_streaming_function(self, message: dict) -> None:
        state = self._streams.pop(message.get("request_id"), None)
        if state is not None:
            state.cancel()

    # -- work (worker thread) -----------------------------------------------------------------
    def _resolve(self, module_name: Any, function_name: Any) -> Callable:
        key = (module_name, function_name) if type(module_name) is str and type(function_name) is str else None
        path = self._resolved_names.get(key) if key is not None else None
        if path is None:
            if not is_module_name(module_name):
                raise ValueError(f"Invalid module name: {module_name!r}")
            if not isinstance(function_name, str) or not all(p.isidentifier() for p in function_name.split(".")):
                raise ValueError(f"Invalid function name: {function_name!r}")
            path = tuple(function_name.split("."))
            if key is not None:
                if len(self._resolved_names) >= 4096:
                    self._resolved_names.clear()
                self._resolved_names[key] = path
        # A module that is loaded and not being initialised by another thread is what an import
        # would return; anything else takes the import (which may ask the server for it).
        target: Any = sys.modules.get(module_name)
        if target is None or getattr(getattr(target, "__spec__", None), "_initializing", False):
            target = self.modules.import_module(module_name)
        for part in path:
            target = getattr(target, part)
        if not callable(target):
            raise TypeError(f"{module_name}.{function_name} is not callable "
                            f"(it is of type {type(target).__name__})")
        return target

    def _call(self, message: dict) -> Any:
        func = self._resolve(message.get("module_name"), message.get("function_name"))
        result = _invoke(func, message.get("args"))
        if type(result) not in _PLAIN_RESULTS and inspect.isawaitable(result):
            result = self.worker.run_coroutine(result)
        return result

    def _captured_call(self, message: dict) -> tuple[Any, Optional[BaseException], capture.LogCapture]:
        """Run the call with this thread's stdout and stderr going to its logs."""
        logs = capture.LogCapture()
        out_local, err_local = self.stdout.local, self.stderr.local
        out_before = getattr(out_local, "target", None)
        err_before = getattr(err_local, "target", None)
        out_local.target = err_local.target = logs
        try:
            return self._call(message), None, logs
        except BaseException as exc:  # noqa: BLE001 - SystemExit, KeyboardInterrupt included
            return None, exc, logs
        finally:
            out_local.target, err_local.target = out_before, err_before

    def _run_call_text(self, text: str) -> None:
        """A function call filed as its text by the socket loop."""
        try:
            message = _parse_object_text(text)
        except ValueError:
            self.log(f"ignoring a frame that is not JSON: {text[:80]!r}")
            return
        if message.get("type") != "custom_function_call":
            # A frame that names its type twice: the last one counts, handled as on the loop.
            self._loop.call_soon_threadsafe(self.dispatch, message)
            return
        self._run_function_call(message)

    def _run_function_call(self, message: dict) -> None:
        request_id = message.get("request_id")
        result, error, logs = self._captured_call(message)
        if error is None:
            try:
                text = _encode({"type": "execution_result", "request_id": request_id,
                                "result": result, "logs": logs.getvalue()})
            except (TypeError, ValueError, OverflowError, RecursionError) as exc:
                error = _not_serialisable(result, exc)
            else:
                if len(text) <= self.max_message:
                    self.post_text(text, "execution_result")
                    return
                error = _too_large(result, len(text), self.max_message)
        self.post({"type": "execution_error", "request_id": request_id, "error": error_object(error)})

    def _run_event(self, message: dict) -> None:
        request_id = message.get("request_id")
        workbook_id = message.get("workbook_id") or self.workbook_id
        result, error, logs = self._captured_call(message)
        if error is None:
            try:
                text = dumps({"type": "event_execution_result", "request_id": request_id,
                              "workbook_id": workbook_id, "success": True, "result": result,
                              "logs": logs.getvalue()})
            except (TypeError, ValueError, OverflowError, RecursionError) as exc:
                error = _not_serialisable(result, exc)
            else:
                if len(text) <= self.max_message:
                    self.post_text(text, "event_execution_result")
                    return
                error = _too_large(result, len(text), self.max_message)
        self.post({"type": "event_execution_result", "request_id": request_id, "workbook_id": workbook_id,
                   "success": False, "error": error_object(error), "logs": logs.getvalue()})

    # editor code
    def _namespace(self, workbook_id: str) -> dict:
        namespace = self._namespaces.get(workbook_id)
        if namespace is None:
            namespace = {"__name__": "__main__", "__doc__": None, "__builtins__": builtins}
            self._namespaces[workbook_id] = namespace
            self.modules.register_namespace(namespace)
        return namespace

    def _console(self, workbook_id: str, request_id: Any) -> capture.ConsoleOutput:
        def emit(kind: str, text: str) -> None:
            self.post({"type": kind, "workbook_id": workbook_id, "content": text, "request_id": request_id})
        return capture.ConsoleOutput(emit, self._schedule)

    def _run_in_console(self, message: dict, work: Callable[[dict], Any]) -> None:
        workbook_id = message.get("workbook_id") or self.workbook_id
        request_id = message.get("request_id")
        console = self._console(workbook_id, request_id)
        success, result = True, None
        with self.stdout.redirect(console.stdout), self.stderr.redirect(console.stderr):
            try:
                value = work(self._namespace(workbook_id))
                result = None if value is None else repr(value)
                if result is not None and len(result) > MAX_RESULT_REPR:
                    result = f"{result[:MAX_RESULT_REPR]}... [{len(result)} characters, truncated]"
            except BaseException as exc:  # noqa: BLE001
                success = False
                result = format_user_traceback(exc)
                console.stderr.write(result)
        console.close()
        self.post({"type": "result_output", "workbook_id": workbook_id, "request_id": request_id,
                   "result": result, "success": success})

    def _run_editor_code(self, message: dict) -> None:
        code = message.get("code")

        def work(namespace: dict) -> Any:
            if not isinstance(code, str):
                raise TypeError("execution_request needs the code as a string")
            return self.execute_source(code, namespace)
        self._run_in_console(message, work)

    def _run_module(self, message: dict) -> None:
        def work(namespace: dict) -> Any:
            return self._call({"module_name": message.get("module_name"),
                               "function_name": message.get("function_name"), "args": message.get("args")})
        self._run_in_console(message, work)

    def execute_source(self, source: str, namespace: dict) -> Any:
        """Run editor code; the value of a final expression statement is returned (REPL style)."""
        filename = f"<editor-{next(self._console_counter)}>"
        linecache.cache[filename] = (len(source), None, source.splitlines(True), filename)
        flags = ast.PyCF_ALLOW_TOP_LEVEL_AWAIT
        tree = ast.parse(source, filename, "exec")
        last = None
        if tree.body and isinstance(tree.body[-1], ast.Expr):
            last = ast.Expression(tree.body.pop().value)
        body = compile(tree, filename, "exec", flags=flags, dont_inherit=True)
        self._run_code(body, namespace)
        if last is None:
            return None
        return self._run_code(compile(last, filename, "eval", flags=flags, dont_inherit=True), namespace)

    def _run_code(self, code, namespace: dict) -> Any:
        if code.co_flags & inspect.CO_COROUTINE:
            return self.worker.run_coroutine(eval(code, namespace))
        return eval(code, namespace)

    # streaming
    def _start_stream(self, state: StreamState, message: dict) -> None:
        """On the worker (after the module updates queued before it): call the function, then
        hand the iteration to a thread of its own."""
        if state.cancelled.is_set():
            self._stream_finished(state)
            return
        try:
            source = _invoke(self._resolve(message.get("module_name"), message.get("function_name")),
                             message.get("args"))
        except BaseException as exc:  # noqa: BLE001
            self._stream_post(state, {"type": "streaming_function_result", "request_id": state.request_id,
                                      "error": f"{type(exc).__name__}: {exc}", "done": True})
            self.log(f"streaming function {message.get('module_name')}.{message.get('function_name')} "
                     f"failed to start: {describe_exception(exc)}")
            self._stream_finished(state)
            return
        thread = threading.Thread(target=self._iterate_stream, args=(state, source),
                                  name=f"corvane-stream-{state.request_id}", daemon=True)
        thread.start()

    def _stream_post(self, state: StreamState, message: dict) -> bool:
        try:
            text = dumps(message)
        except (TypeError, ValueError, OverflowError, RecursionError) as exc:
            raise _not_serialisable(message.get("result"), exc) from None
        if len(text) > self.max_message:
            raise _too_large(message.get("result"), len(text), self.max_message)
        return self.post_text(text, "streaming_function_result", state)

    def _stream_value(self, state: StreamState, value: Any) -> bool:
        """Send one value; False when the stream must stop (cancelled or connection gone)."""
        if state.cancelled.is_set():
            return False
        return self._stream_post(state, {"type": "streaming_function_result", "request_id": state.request_id,
                                         "result": value, "done": False})

    def _iterate_stream(self, state: StreamState, source: Any) -> None:
        error: Optional[BaseException] = None
        try:
            if hasattr(source, "__anext__"):
                self._iterate_async(state, source)
            elif inspect.isawaitable(source):
                loop = asyncio.new_event_loop()
                try:
                    task = loop.create_task(_await(source))
                    state.attach(loop, task)
                    self._stream_value(state, loop.run_until_complete(task))
                finally:
                    loop.close()
            elif hasattr(source, "__next__"):
                try:
                    while not state.cancelled.is_set():
                        try:
                            value = next(source)
                        except StopIteration:
                            break
                        if not self._stream_value(state, value):
                            break
                finally:
                    close = getattr(source, "close", None)
                    if callable(close):
                        close()
            else:
                self._stream_value(state, source)  # a plain value: one result, then done
        except asyncio.CancelledError:
            pass
        except BaseException as exc:  # noqa: BLE001
            error = exc
        if not state.cancelled.is_set():
            if error is None:
                final = {"type": "streaming_function_result", "request_id": state.request_id, "done": True}
            else:
                final = {"type": "streaming_function_result", "request_id": state.request_id,
                         "error": f"{type(error).__name__}: {error}", "done": True}
            self.post(final, stream=state)
        self._stream_finished(state)

    def _iterate_async(self, state: StreamState, source: Any) -> None:
        async def consume() -> None:
            try:
                async for value in source:
                    if not self._stream_value(state, value):
                        break
            finally:
                aclose = getattr(source, "aclose", None)
                if aclose is not None:
                    await aclose()

        loop = asyncio.new_event_loop()
        try:
            task = loop.create_task(consume())
            state.attach(loop, task)
            loop.run_until_complete(task)
        finally:
            try:
                loop.run_until_complete(loop.shutdown_asyncgens())
            finally:
                loop.close()

    def _stream_finished(self, state: StreamState) -> None:
        loop = self._loop
        if loop is None:
            return

        def forget() -> None:
            if self._streams.get(state.request_id) is state:
                del self._streams[state.request_id]
        try:
            loop.call_soon_threadsafe(forget)
        except RuntimeError:
            pass


async def _await(awaitable: Any) -> Any:
    return await awaitable


# -- command line ------------------------------------------------------------------------------

USAGE = "usage: python -m corvane_master.python_server WORKBOOK_ID PORT [JSON_ARGS]"


def main(argv: list[str]) -> int:
    if len(argv) < 2 or len(argv) > 3:
        sys.stderr.write(f"corvane_master.python_server: {USAGE}\n")
        return 2
    workbook_id, port_text = argv[0], argv[1]
    try:
        port = int(port_text)
        if not 0 < port < 65536:
            raise ValueError
    except ValueError:
        sys.stderr.write(f"corvane_master.python_server: invalid port {port_text!r}; {USAGE}\n")
        return 2
    if not workbook_id:
        sys.stderr.write(f"corvane_master.python_server: empty workbook id; {USAGE}\n")
        return 2
    connection_args: Any = {}
    if len(argv) == 3 and argv[2]:
        try:
            connection_args = json.loads(argv[2])
        except ValueError:
            sys.stderr.write("corvane_master.python_server: JSON_ARGS is not JSON; ignored\n")

    # A SIGTERM before the loop installs its handler still ends the kernel cleanly.
    signal.signal(signal.SIGTERM, _exit_on_signal)
    kernel = Kernel(workbook_id, port, connection_args)
    kernel.install()
    try:
        return asyncio.run(kernel.run())
    except (KeyboardInterrupt, SystemExit):
        return 0
    except Exception as exc:  # noqa: BLE001 - report and exit; never hang around without a server
        kernel.log(f"kernel failed: {describe_exception(exc)}")
        return 1


def _exit_on_signal(signum, frame) -> None:
    raise SystemExit(0)

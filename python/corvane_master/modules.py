"""The workbook's modules inside the kernel.

* ``ModuleStore`` holds the latest source of every workbook module.  The socket loop writes it
  as soon as an "update_module"/"delete_module" arrives, so a thread that waits for a module
  (see below) is woken even while the worker is busy.
* ``WorkbookFinder`` (first on ``sys.meta_path``) serves the stored modules, so workbook modules
  import each other, whatever the order in which they arrived.
* ``ModuleSyncFinder`` (last on ``sys.meta_path``, so only for names that nothing else can import)
  asks the server for a module it does not hold ({"type": "request_module_sync", ...}) and waits a
  few seconds for the "update_module" answer.  It asks only for imports made by workbook code
  (a workbook module, the editor's namespace, or a module the server asked to run), never for the
  optional imports of libraries, never for standard-library names, never on the socket loop
  (which is the thread that would receive the answer), and not again for a name that went
  unanswered recently.
* ``WorkbookModules`` ties them together and (re)executes modules; it runs on the worker thread,
  in the order the updates arrived.
"""

from __future__ import annotations

import contextlib
import importlib
import importlib.abc
import importlib.machinery
import keyword
import linecache
import os
import re
import symtable
import sys
import threading
import time
from typing import Callable, Iterator, NamedTuple, Optional

# The frames of the import machinery itself (import_module included, find_spec of importlib.util
# not: a look-up is not an import).  In 3.11+ importlib.util is frozen as "<frozen importlib.util>".
_IMPORTLIB_FILES = frozenset(
    f for f in ("<frozen importlib._bootstrap>", "<frozen importlib._bootstrap_external>",
                "<frozen importlib>", getattr(importlib, "__file__", None)) if f)
_THIS_FILE = __file__


class StoredModule(NamedTuple):
    seq: int
    code: str


def is_module_name(name) -> bool:
    """A dotted Python identifier without keywords ("helpers", "pkg.mod")."""
    return (isinstance(name, str) and bool(name)
            and all(part.isidentifier() and not keyword.iskeyword(part) for part in name.split(".")))


def source_filename(name: str) -> str:
    """The file name that tracebacks show for a workbook module."""
    return name + ".py"


class ModuleStore:
    """Module name -> latest source, with a sequence number per update.  Thread-safe."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._entries: dict[str, StoredModule] = {}
        self._seq = 0

    def put(self, name: str, code: str) -> int:
        with self._cond:
            self._seq += 1
            self._entries[name] = StoredModule(self._seq, code)
            self._cond.notify_all()
            return self._seq

    def remove(self, name: str) -> bool:
        with self._cond:
            return self._entries.pop(name, None) is not None

    def get(self, name: str) -> Optional[StoredModule]:
        with self._cond:
            return self._entries.get(name)

    def names(self) -> list[str]:
        with self._cond:
            return list(self._entries)

    def wait_for(self, name: str, timeout: float) -> Optional[StoredModule]:
        deadline = time.monotonic() + timeout
        with self._cond:
            while name not in self._entries:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._cond.wait(left)
            return self._entries[name]

    @property
    def condition(self) -> threading.Condition:
        return self._cond


class WorkbookLoader(importlib.abc.InspectLoader):
    """Executes a stored module's source into its module object."""

    def __init__(self, owner: "WorkbookModules") -> None:
        self._owner = owner

    def create_module(self, spec):
        return None

    def exec_module(self, module) -> None:
        name = module.__spec__.name
        entry = self._owner.store.get(name)
        if entry is None:
            raise ModuleNotFoundError(f"No module named {name!r} (the workbook module was deleted)", name=name)
        self._owner.execute_into(module, name, entry)

    def get_source(self, fullname: str) -> str:
        entry = self._owner.store.get(fullname)
        if entry is None:
            raise ImportError(f"no workbook module {fullname!r}", name=fullname)
        return entry.code

    def is_package(self, fullname: str) -> bool:
        return False


class WorkbookFinder(importlib.abc.MetaPathFinder):
    """First on ``sys.meta_path``: the workbook's own modules win over everything not yet loaded."""

    def __init__(self, owner: "WorkbookModules") -> None:
        self._owner = owner

    def find_spec(self, fullname, path=None, target=None):
        if self._owner.store.get(fullname) is None:
            return None
        return self._owner.make_spec(fullname)

    def invalidate_caches(self) -> None:
        pass


class ModuleSyncFinder(importlib.abc.MetaPathFinder):
    """Last on ``sys.meta_path``: asks the server for a workbook module the kernel does not hold."""

    def __init__(self, owner: "WorkbookModules") -> None:
        self._owner = owner

    def find_spec(self, fullname, path=None, target=None):
        if path is not None or not self._owner.may_request(fullname):
            return None
        if self._owner.request_and_wait(fullname) is None:
            return None
        return self._owner.make_spec(fullname)

    def invalidate_caches(self) -> None:
        pass


class WorkbookModules:
    """The kernel's view of the workbook's modules."""

    def __init__(self, workbook_id: str, send: Callable[[dict], object], log: Callable[[str], None],
                 sync_timeout: float = 5.0, negative_ttl: float = 60.0) -> None:
        self.workbook_id = workbook_id
        self.store = ModuleStore()
        self._send = send
        self._log = log
        self.sync_timeout = sync_timeout
        self._negative_ttl = negative_ttl
        self.loader = WorkbookLoader(self)
        self.finder = WorkbookFinder(self)
        self.sync_finder = ModuleSyncFinder(self)
        self._loaded: dict[str, int] = {}        # name -> seq of the source its module runs
        self._missed: dict[str, float] = {}      # name -> when a sync request went unanswered
        self._awaiting: dict[str, float] = {}    # name -> until when an answer to our request may come
        self._local = threading.local()
        self._namespaces: list[dict] = []        # globals that count as workbook code (editor)
        self.loop_thread: Optional[int] = None   # the socket loop's thread, never blocked here
        self.sync_enabled = True

    # -- installation ---------------------------------------------------------------------
    def install(self) -> None:
        if self.finder not in sys.meta_path:
            sys.meta_path.insert(0, self.finder)
        if self.sync_finder not in sys.meta_path:
            sys.meta_path.append(self.sync_finder)

    def register_namespace(self, namespace: dict) -> None:
        """Code running with these globals (the editor's namespace) counts as workbook code."""
        self._namespaces.append(namespace)

    # -- messages from the server (socket loop) ---------------------------------------------
    def update(self, name: str, code: str) -> Optional[int]:
        """Store new source; returns the sequence number to load, or None when nothing changed.

        The server answers our "request_module_sync" with the cached code even when the same code
        reached us meanwhile through a regular push; such a repeat is not executed twice.
        """
        with self.store.condition:
            now = time.monotonic()
            self._missed.pop(name, None)
            until = self._awaiting.get(name)
            if until is not None:
                current = self.store.get(name)
                if until < now:
                    del self._awaiting[name]
                elif current is not None and current.code == code:
                    del self._awaiting[name]
                    return None
            return self.store.put(name, code)

    def delete(self, name: str) -> bool:
        return self.store.remove(name)

    # -- work (worker thread) --------------------------------------------------------------------
    def is_workbook_module(self, module) -> bool:
        spec = getattr(module, "__spec__", None)
        return spec is not None and getattr(spec, "loader", None) is self.loader

    def load(self, name: str, seq: int) -> None:
        """(Re)create module ``name`` from its stored source, unless it already runs that update.

        An existing module object is re-executed in place, so that other modules that imported
        it see the new code (see ``_reexecute``).  A module whose code fails is taken out of
        ``sys.modules``: the next import re-runs it and reports the error to the caller.
        """
        entry = self.store.get(name)
        if entry is None or (self._loaded.get(name, 0) >= seq and name in sys.modules):
            return
        module = sys.modules.get(name)
        if module is not None and not self.is_workbook_module(module):
            self._log(f"workbook module {name!r} not loaded: the kernel already uses a module of that name")
            return
        try:
            if module is None:
                with self.allow_sync(name):
                    importlib.import_module(name)
            else:
                self._reexecute(module, name, entry)
        except BaseException as exc:  # noqa: BLE001 - user code may raise anything, even SystemExit
            stale = sys.modules.get(name)
            if stale is not None and self.is_workbook_module(stale):
                del sys.modules[name]
            self._loaded.pop(name, None)
            self._log(f"workbook module {name!r} failed to load: {describe_exception(exc)}")

    def _reexecute(self, module, name: str, entry: StoredModule) -> None:
        """Run new source in the existing namespace, then drop the names it no longer defines.

        The namespace is not emptied first: code of this module that runs meanwhile in another
        thread (a streaming function, a user thread) keeps finding every name while the new code
        executes, and each name switches to its new value in one step.  Afterwards a name that
        the old code had, that the new code does not bind and that still holds its old value is
        removed, so deleted functions disappear as if the module had been created anew.
        """
        namespace = module.__dict__
        before = {key: value for key, value in namespace.items() if key not in _IMPORT_ATTRIBUTES}
        namespace["__doc__"] = None
        self.execute_into(module, name, entry)
        bound = top_level_bindings(entry.code, source_filename(name))
        if bound is None:
            return  # "import *" or unreadable: keep everything rather than guess
        for key, old in before.items():
            if key not in bound and key != "__doc__" and namespace.get(key, _MISSING) is old:
                del namespace[key]

    def unload(self, name: str) -> None:
        module = sys.modules.get(name)
        if module is not None and self.is_workbook_module(module):
            del sys.modules[name]
            parent, _, child = name.rpartition(".")
            if parent and parent in sys.modules and getattr(sys.modules[parent], child, None) is module:
                with contextlib.suppress(AttributeError):
                    delattr(sys.modules[parent], child)
        self._loaded.pop(name, None)
        if self.store.get(name) is None:
            linecache.cache.pop(source_filename(name), None)

    def import_module(self, name: str):
        """Import a module the server asked to run (may ask the server for it)."""
        with self.allow_sync(name):
            return importlib.import_module(name)

    # -- loading machinery ---------------------------------------------------------------------
    def make_spec(self, name: str) -> importlib.machinery.ModuleSpec:
        spec = importlib.machinery.ModuleSpec(name, self.loader, origin=source_filename(name))
        spec.has_location = True
        return spec

    def execute_into(self, module, name: str, entry: StoredModule) -> None:
        filename = source_filename(name)
        linecache.cache[filename] = (len(entry.code), None, entry.code.splitlines(True), filename)
        code = compile(entry.code, filename, "exec", dont_inherit=True)
        self._loaded.pop(name, None)
        exec(code, module.__dict__)
        self._loaded[name] = entry.seq

    @contextlib.contextmanager
    def allow_sync(self, name: str) -> Iterator[None]:
        previous = getattr(self._local, "allowed", None)
        self._local.allowed = name
        try:
            yield
        finally:
            self._local.allowed = previous

    def may_request(self, name: str) -> bool:
        """Whether an import of ``name`` that nothing else could satisfy should ask the server."""
        if not self.sync_enabled or "." in name or not is_module_name(name):
            return False
        if name in sys.stdlib_module_names or name in sys.builtin_module_names:
            return False
        if threading.get_ident() == self.loop_thread:
            return False
        missed = self._missed.get(name)
        if missed is not None and time.monotonic() - missed < self._negative_ttl:
            return False
        if getattr(self._local, "allowed", None) == name:
            return True
        return self._imported_by_workbook_code(name)

    def _imported_by_workbook_code(self, name: str) -> bool:
        prefix = name + "."
        frame = sys._getframe(2)
        while frame is not None:
            filename = frame.f_code.co_filename
            if filename in _IMPORTLIB_FILES or filename == _THIS_FILE:
                if frame.f_code.co_name == "_find_and_load_unlocked":
                    wanted = frame.f_locals.get("name")
                    if isinstance(wanted, str) and wanted.startswith(prefix):
                        return False  # the parent of a dotted import: never a workbook module
                frame = frame.f_back
                continue
            module_globals = frame.f_globals
            spec = module_globals.get("__spec__")
            if spec is not None and getattr(spec, "loader", None) is self.loader:
                return True
            return any(module_globals is namespace for namespace in self._namespaces)
        return False

    def request_and_wait(self, name: str) -> Optional[StoredModule]:
        with self.store.condition:
            self._awaiting[name] = time.monotonic() + self.sync_timeout + 30.0
        self._send({"type": "request_module_sync", "module_name": name, "workbook_id": self.workbook_id})
        entry = self.store.wait_for(name, self.sync_timeout)
        if entry is None:
            with self.store.condition:
                self._missed[name] = time.monotonic()
            self._log(f"module {name!r} is not in the workbook (no answer to request_module_sync "
                      f"within {self.sync_timeout:g} s)")
        return entry


_IMPORT_ATTRIBUTES = frozenset(("__name__", "__loader__", "__spec__", "__file__", "__package__",
                                "__builtins__", "__cached__", "__path__"))
_MISSING = object()
_STAR_IMPORT = re.compile(r"\bimport\s*\(?\s*\*")


def top_level_bindings(source: str, filename: str) -> Optional[set[str]]:
    """The global names a module's source binds (assignments, defs, classes, imports, and names
    declared global in its functions); None when that cannot be known (a star import)."""
    if _STAR_IMPORT.search(source):
        return None
    try:
        table = symtable.symtable(source, filename, "exec")
    except (SyntaxError, ValueError):
        return None
    names = {symbol.get_name() for symbol in table.get_symbols()
             if symbol.is_assigned() or symbol.is_imported() or symbol.is_namespace()}
    pending = list(table.get_children())
    while pending:
        child = pending.pop()
        names.update(symbol.get_name() for symbol in child.get_symbols() if symbol.is_declared_global())
        pending.extend(child.get_children())
    return names


def describe_exception(exc: BaseException) -> str:
    """One line: "Type: message (file, line n)" with the innermost frame, for log lines."""
    text = f"{type(exc).__name__}: {exc}".strip()
    tb = exc.__traceback__
    where = None
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        if not filename.startswith("<frozen") and filename != _THIS_FILE:
            where = (filename, tb.tb_lineno)
        tb = tb.tb_next
    if isinstance(exc, SyntaxError) and exc.filename:
        where = (exc.filename, exc.lineno)
    if where is not None:
        text += f" ({os.path.basename(where[0])}, line {where[1]})"
    return " ".join(text.split())

"""The workbook's import paths: "set_python_paths", "set_package_paths", "unload_and_clear_paths".

Paths are owned by kind ("python" for the workbook's own folders, "package" for its installed
packages).  A path leaves ``sys.path`` only when no kind holds it any more, and never when it
was on ``sys.path`` before the kernel touched it.  When a path leaves, the modules loaded from
it are unloaded, so that the next import finds them again wherever they are now (for example a
package re-installed into a new folder).  The kernel's own modules (everything imported before
the first workbook code ran) and workbook modules are never unloaded.
"""

from __future__ import annotations

import importlib
import os
import sys
from typing import Callable, Iterable


def _norm(path: str) -> str:
    return os.path.normcase(os.path.abspath(path)) if path else os.path.normcase(os.getcwd())


def _is_under(location: str, root: str) -> bool:
    location = _norm(location)
    return location == root or location.startswith(root.rstrip(os.sep) + os.sep)


def _locations(module) -> list[str]:
    found = []
    try:
        for value in (getattr(module, "__file__", None),
                      getattr(getattr(module, "__spec__", None), "origin", None)):
            if isinstance(value, str) and value:
                found.append(value)
        package_path = getattr(module, "__path__", None)
        if package_path is not None:
            found.extend(p for p in list(package_path) if isinstance(p, str) and p)
    except Exception:  # noqa: BLE001 - exotic module objects
        pass
    return found


def string_list(value, what: str, log: Callable[[str], None]) -> list[str]:
    if value is None:
        return []
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list):
        log(f"ignoring {what}: expected a list of paths")
        return []
    paths = []
    for item in value:
        if isinstance(item, str) and item:
            paths.append(item)
        elif isinstance(item, dict) and isinstance(item.get("path"), str) and item["path"]:
            paths.append(item["path"])  # the stored {"path": ...} form
        else:
            log(f"ignoring an entry of {what} that is not a path: {item!r:.80}")
    return paths


class PathManager:
    def __init__(self, log: Callable[[str], None], is_workbook_module: Callable[[object], bool]) -> None:
        self._log = log
        self._is_workbook_module = is_workbook_module
        self._initial = {_norm(p) for p in sys.path if isinstance(p, str)}
        self._owners: dict[str, set[str]] = {}
        self._protected: set[str] = set()

    def protect_loaded_modules(self) -> None:
        """Modules loaded so far belong to the kernel itself and are never unloaded."""
        self._protected = set(sys.modules)

    # -- messages ------------------------------------------------------------------------------
    def set_paths(self, kind: str, old_paths: Iterable[str], new_paths: Iterable[str]) -> None:
        new_paths = list(dict.fromkeys(new_paths))
        new_norm = {_norm(p) for p in new_paths}
        removed = [p for p in old_paths if _norm(p) not in new_norm]
        for path in removed:
            self._release(path, {kind})
        # The new paths go to the front of sys.path, in their order (one already there moves),
        # except entries that were on sys.path before the kernel touched it, which stay put.
        for path in reversed(new_paths):
            key = _norm(path)
            self._owners.setdefault(key, set()).add(kind)
            present = any(isinstance(p, str) and _norm(p) == key for p in sys.path)
            if present and key in self._initial:
                continue
            if present:
                sys.path[:] = [p for p in sys.path if not (isinstance(p, str) and _norm(p) == key)]
            sys.path.insert(0, path)
        importlib.invalidate_caches()

    def clear_paths(self, paths: Iterable[str]) -> None:
        for path in paths:
            self._release(path, None, unload_always=True)
        importlib.invalidate_caches()

    # -- helpers ---------------------------------------------------------------------------------
    def _release(self, path: str, kinds, unload_always: bool = False) -> None:
        key = _norm(path)
        owners = self._owners.get(key, set())
        if kinds is None:
            owners.clear()
        else:
            owners.difference_update(kinds)
        if owners:
            return  # still wanted by the other kind
        self._owners.pop(key, None)
        removed = False
        if key not in self._initial:
            before = len(sys.path)
            sys.path[:] = [p for p in sys.path if not (isinstance(p, str) and _norm(p) == key)]
            removed = len(sys.path) != before
            for cached in [p for p in sys.path_importer_cache if isinstance(p, str) and _norm(p) == key]:
                sys.path_importer_cache.pop(cached, None)
        if removed or unload_always:
            count = self.unload_modules_under(key)
            if count:
                self._log(f"unloaded {count} module(s) loaded from {path}")

    def unload_modules_under(self, root: str) -> int:
        count = 0
        for name, module in list(sys.modules.items()):
            if module is None or name in self._protected or self._is_workbook_module(module):
                continue
            if any(_is_under(location, root) for location in _locations(module)):
                sys.modules.pop(name, None)
                count += 1
        return count

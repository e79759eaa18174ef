"""Source analysis with the interpreter's own parser (``ast``)."""

from __future__ import annotations

import ast
import re
from typing import Iterator, Optional

# The line breaks the tokenizer knows (str.splitlines knows more, and would shift line numbers).
_LINE_BREAK = re.compile(r"\r\n|\r|\n")

_FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)


class RequestError(ValueError):
    """A request that cannot be answered; its text goes back to the editor."""


def _statements(node: ast.AST) -> Iterator[ast.stmt]:
    """The statements directly inside a module, class, function or compound statement.

    Only statements are walked: functions and classes are always statements, and expressions can
    nest far deeper than anything a recursive walk should follow.
    """
    for field in ("body", "orelse", "finalbody"):
        for child in getattr(node, field, None) or ():
            if isinstance(child, ast.stmt):
                yield child
    for handler in getattr(node, "handlers", None) or ():
        yield from handler.body
    for case in getattr(node, "cases", None) or ():
        yield from case.body


def _char_column(lines: list[str], line: int, byte_offset: int) -> int:
    """The character column of a UTF-8 byte offset into a line (ast counts bytes)."""
    if not 1 <= line <= len(lines):
        return byte_offset
    return len(lines[line - 1].encode("utf-8")[:byte_offset].decode("utf-8", "replace"))


def function_at_position(code: str, line: int, column: Optional[int] = None) -> Optional[dict]:
    """The innermost function (``def`` or ``async def``) enclosing a position, or None.

    ``line`` and ``column`` count from 1; without a column the whole line counts.  A function
    spans from its first decorator to the end of its last statement.  Raises SyntaxError when
    the code does not parse.
    """
    tree = ast.parse(code)
    lines = _LINE_BREAK.split(code)
    col = (column - 1) if column else 0

    def contains(node: ast.stmt) -> bool:
        first = min([d.lineno for d in node.decorator_list] + [node.lineno])
        last = node.end_lineno or node.lineno
        if not first <= line <= last:
            return False
        return line < last or col <= _char_column(lines, last, node.end_col_offset or 0)

    found = None
    pending = [(tree, "")]
    while pending:
        scope, prefix = pending.pop()
        for stmt in _statements(scope):
            if isinstance(stmt, _FUNCTIONS):
                if contains(stmt):
                    qualified = prefix + stmt.name
                    found = (stmt, qualified)
                    pending.append((stmt, qualified + ".<locals>."))
            elif isinstance(stmt, ast.ClassDef):
                if contains(stmt):
                    pending.append((stmt, prefix + stmt.name + "."))
            else:
                # if/for/while/try/with/match blocks: same naming scope.
                pending.append((stmt, prefix))
    if found is None:
        return None
    node, qualified = found
    return {
        "function_name": node.name,
        "qualified_name": qualified,
        "start_line": node.lineno,
        "end_line": node.end_lineno,
        "is_async": isinstance(node, ast.AsyncFunctionDef),
    }


def _positive_int(message: dict, key: str, required: bool) -> Optional[int]:
    value = message.get(key)
    if value is None and not required:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise RequestError(f"'{key}' must be a positive integer")
    return value


def answer_function_at_position(message: dict) -> dict:
    """The "function_at_position_result" for a "get_function_at_position" request."""
    answer = {"type": "function_at_position_result", "request_id": message.get("request_id")}
    for key in ("workbook_id", "module_name"):
        if key in message:
            answer[key] = message[key]
    found = None
    error = None
    try:
        code = message.get("code")
        if not isinstance(code, str):
            raise RequestError("'code' must be a text")
        line = _positive_int(message, "line", True)
        column = _positive_int(message, "column", False)
        found = function_at_position(code, line, column)
    except RequestError as exc:
        error = str(exc)
    except SyntaxError as exc:
        error = f"SyntaxError: {exc.msg} (line {exc.lineno})"
    except (ValueError, RecursionError, MemoryError) as exc:
        # Null bytes, nesting beyond the parser's limits.
        error = f"{type(exc).__name__}: {exc}"
    answer["function_name"] = found["function_name"] if found else None
    answer["qualified_name"] = found["qualified_name"] if found else None
    answer["start_line"] = found["start_line"] if found else None
    answer["end_line"] = found["end_line"] if found else None
    answer["is_async"] = found["is_async"] if found else None
    answer["error"] = error
    return answer

"""Function definitions of Python sources, as this interpreter's parser sees them.

switchyard keeps one of these running with the kernels' interpreter:

    python -I -S .../corvane_signatures/signatures.py

and talks to it over its standard input and output, one JSON object per line each way.  A
request ``{"id": N, "code": TEXT}`` is answered with one of

    {"id": N, "functions": [[NAME, IS_ASYNC, [PARAMETER, ...]], ...]}
    {"id": N, "syntax_error": TEXT}      the source does not parse (str() of the SyntaxError)
    {"id": N, "error": TEXT}             any other failure (str() of the exception)

"functions" lists every ``def`` and ``async def`` of the source in ``ast.walk`` order, each
with the names of its positional-or-keyword parameters (``args.args``).  Names are those the
parser gives (identifiers are NFKC-normalised).  Requests are answered in order; the helper ends
when its input is closed.  Standard library only, and importable on any Python 3.
"""

import ast
import gc
import json
import sys
from collections import deque

_DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef)
# Definitions are statements, and statements only ever sit in lists of these node kinds
# (bodies, else and finally blocks, except handlers, match cases).  Expressions hold none.
_BLOCK_ITEMS = tuple(getattr(ast, name) for name in ("stmt", "excepthandler", "match_case") if hasattr(ast, name))


def _may_hold_definitions(value):
    return isinstance(value, _BLOCK_ITEMS)


def definitions(tree):
    """Every function definition under ``tree`` in ``ast.walk`` order.

    This is ``ast.walk`` (breadth first, children in field order) with the subtrees that cannot
    contain a statement left out: pruning whole subtrees keeps the relative order of the nodes
    that remain, and skipping the expressions makes a large module several times faster.
    """
    found = []
    todo = deque([tree])
    while todo:
        node = todo.popleft()
        if isinstance(node, _DEFINITIONS):
            found.append([node.name, isinstance(node, ast.AsyncFunctionDef), [a.arg for a in node.args.args]])
        for field in node._fields:
            value = getattr(node, field, None)
            if isinstance(value, list):
                for item in value:
                    if _may_hold_definitions(item):
                        todo.append(item)
            elif _may_hold_definitions(value):
                todo.append(value)
    return found


def _text(exc):
    # Texts go back as JSON; a lone surrogate (from a source that is not valid UTF-8) would not
    # survive a strict reader on the other side.
    return str(exc).encode("utf-8", "backslashreplace").decode("utf-8")


def answer(request_id, code):
    """The answer object for one source, and the syntax tree (freed by the caller later)."""
    try:
        tree = ast.parse(code)
    except SyntaxError as exc:
        return {"id": request_id, "syntax_error": _text(exc)}, None
    except Exception as exc:  # null bytes, unencodable text, nesting too deep, out of memory
        return {"id": request_id, "error": _text(exc)}, None
    try:
        return {"id": request_id, "functions": definitions(tree)}, tree
    except Exception as exc:
        return {"id": request_id, "error": _text(exc)}, tree


def serve(stdin, stdout):
    while True:
        line = stdin.readline()
        if not line:
            return
        request_id = None
        try:
            request = json.loads(line.decode("utf-8", "surrogateescape"))
            request_id = request.get("id")
            code = request.get("code")
            if not isinstance(code, str):
                raise TypeError("code must be a str, not %s" % type(code).__name__)
            reply, tree = answer(request_id, code)
        except Exception as exc:
            reply, tree = {"id": request_id, "error": _text(exc)}, None
        stdout.write(json.dumps(reply, separators=(",", ":")).encode("ascii") + b"\n")
        stdout.flush()
        # A large tree takes a while to free: only after the answer is on its way.
        del tree


def main():
    # Syntax trees hold no reference cycles; the cyclic collector would only slow parsing down
    # (three times over for a large module).
    gc.disable()
    try:
        serve(sys.stdin.buffer, sys.stdout.buffer)
    except (BrokenPipeError, KeyboardInterrupt):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

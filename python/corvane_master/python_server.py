"""Entry point of the workbook kernel: ``python -m corvane_master.python_server WORKBOOK_ID PORT [JSON_ARGS]``.

This file only checks that the interpreter can run the kernel and then hands over to
``corvane_master.kernel``.  It is kept to syntax that old interpreters still parse, so that an
unsuitable interpreter gets a one-line explanation instead of a traceback.
"""

import os
import sys

_PROG = "corvane_master.python_server"


def _complain(text):
    """Write one line on stderr (the kernel's only way to explain why it did not start)."""
    try:
        sys.stderr.write("%s: %s\n" % (_PROG, " ".join(str(text).split())))
        sys.stderr.flush()
    except Exception:
        pass


def _check_interpreter():
    """Return None when this interpreter can run the kernel, else the one-line reason."""
    if sys.version_info < (3, 11):
        return "Python 3.11 or newer is required, but %s is Python %d.%d" % (
            sys.executable or "this interpreter", sys.version_info[0], sys.version_info[1])
    try:
        import websockets  # noqa: F401  (the check is the import itself)
    except ImportError as exc:
        return ("the Python library 'websockets' is missing from %s (%s); install Debian's "
                "python3-websockets and run the kernel with /usr/bin/python3"
                % (sys.executable or "this interpreter", exc))
    if not hasattr(websockets, "connect"):
        return "the installed 'websockets' library (%s) has no connect(); version 10 or newer is required" % (
            getattr(websockets, "__version__", "unknown version"),)
    return None


def main(argv=None):
    """Run the kernel; return the process exit status."""
    problem = _check_interpreter()
    if problem is not None:
        _complain(problem)
        return 3
    from corvane_master.kernel import main as kernel_main
    return kernel_main(sys.argv[1:] if argv is None else argv)


def _exit(status):
    # A kernel never outlives its server: user threads (even non-daemon ones) and user code stuck
    # in the worker must not keep the process alive once the connection is gone.
    for stream in (sys.__stdout__, sys.__stderr__):
        try:
            if stream is not None:
                stream.flush()
        except Exception:
            pass
    os._exit(status)


if __name__ == "__main__":
    _exit(main())

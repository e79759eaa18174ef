"""The workbook kernel of switchyard.

One kernel process runs per open workbook.  switchyard starts it as

    python -m corvane_master.python_server WORKBOOK_ID PORT JSON_ARGS

and the kernel connects back to ws://127.0.0.1:PORT/ws/kernel/WORKBOOK_ID, holds the
workbook's modules and runs the functions, event handlers, streaming functions and editor
code that the server sends it.

This package file stays free of imports on purpose: ``python_server`` must be able to check
the interpreter (version, the ``websockets`` library) before anything else is loaded.
"""

__version__ = "0.1.0"

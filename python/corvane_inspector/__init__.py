"""The code-inspector service: answers questions about Python source for the editors.

Run as ``python -m corvane_inspector PORT [--host HOST]``.  It connects to switchyard as the
client ``inspector/main``, answers the requests the server forwards to it, and exits when that
connection ends.  The wire format is described in docs/protocol.md.
"""

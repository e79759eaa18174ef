#!/usr/bin/python3
"""Stands in for the kernel interpreter: records how it was started and what signals it got."""
import json
import os
import signal
import sys
import time

LOG = os.environ.get("FAKE_KERNEL_LOG")
MODE = os.environ.get("FAKE_KERNEL_MODE", "")


def record(event, **extra):
    if not LOG:
        return
    entry = {"event": event, "pid": os.getpid(), **extra}
    with open(LOG, "a") as f:
        f.write(json.dumps(entry) + "\n")


def on_term(signum, frame):
    record("sigterm")
    if MODE != "ignore-term":
        sys.exit(0)


signal.signal(signal.SIGTERM, on_term)
record("start", argv=sys.argv[1:], pgid=os.getpgid(0), ppid=os.getppid())
if MODE == "crash":
    os._exit(3)
while True:
    time.sleep(0.05)

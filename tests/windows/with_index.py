#!/usr/bin/python3
"""Runs a command with the local package-index server beside it (for the Windows build's
indexscout tests, which cannot start and wait for a Linux interpreter under wine).

usage: with_index.py COMMAND...

The command gets INDEXSCOUT_TEST_INDEX_PORT, and INDEXSCOUT_TEST_DIR as a Windows path."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "indexscout")

server = subprocess.Popen([sys.executable, os.path.join(TESTS, "index_server.py")], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True)
try:
    line = server.stdout.readline().split()
    if len(line) != 2 or line[0] != "PORT":
        sys.exit("the index server did not start: %r" % line)
    env = dict(os.environ, INDEXSCOUT_TEST_INDEX_PORT=line[1], NO_PROXY="127.0.0.1,localhost",
               no_proxy="127.0.0.1,localhost", INDEXSCOUT_TEST_DIR="Z:" + TESTS.replace("/", "\\"))
    code = subprocess.call(sys.argv[1:], env=env)
finally:
    server.stdin.close()  # the index server exits when its input closes
    server.wait(60)
sys.exit(code)

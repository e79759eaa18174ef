#!/usr/bin/python3
"""A recalculation played by an add-in written in Python (python3-websockets): N calls of
add(1, 2) sent at once, timed until the last result is in, every result checked. Each --server is
measured in turn in the same run (a binary finds its kernel program in the python/ folder above it).

    bench/recalc_python.py [--server build/switchyard]... [--calls 100000] [--repeat 3]
"""
import argparse
import asyncio
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from supervision import Addin, Server  # noqa: E402


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def kernel_pid(server_pid):
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if ppid == server_pid and b"python_server" in cmdline:
            return int(pid)
    raise SystemExit("no kernel process below the server")


async def recalc_once(binary, python, calls):
    server = Server(binary, python)
    try:
        addin = await Addin.open(server, "recalc")
        await addin.until_kernel_answers("probe")
        kernel = kernel_pid(server.proc.pid)
        ids = ["c%d" % i for i in range(calls)]
        cpu0 = (cpu_seconds(kernel), cpu_seconds(server.proc.pid), time.process_time())
        started = time.perf_counter()
        for request_id in ids:
            await addin.ws.send('{"type":"function_execution","request_id":"%s","module_name":"calc",'
                                '"function_name":"add","args":[1,2]}' % request_id)
        while any(i not in addin.results for i in (ids[-1], ids[0])) or len(addin.results) < calls:
            addin.arrived.clear()
            await addin.arrived.wait()
        elapsed = time.perf_counter() - started
        cpu1 = (cpu_seconds(kernel), cpu_seconds(server.proc.pid), time.process_time())
        wrong = sum(1 for i in ids if addin.results[i].get("result") != 3)
        if wrong:
            raise SystemExit("%d wrong results" % wrong)
        await addin.ws.close()
        return (calls / elapsed,) + tuple((b - a) * 1e6 / calls for a, b in zip(cpu0, cpu1))
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", action="append")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--calls", type=int, default=100000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    servers = args.server or ["build/switchyard"]
    print("| server | calls/s (median of %d) | kernel CPU/call | server CPU/call | client CPU/call |" % args.repeat)
    print("|---|---|---|---|---|")
    for binary in servers:
        runs = sorted((asyncio.run(recalc_once(binary, args.python, args.calls)) for _ in range(args.repeat)),
                      key=lambda r: r[0])
        rate, kernel, server, client = runs[len(runs) // 2]
        print("| %s | %.0f | %.1f us | %.1f us | %.1f us |" % (binary, rate, kernel, server, client))
    return 0


if __name__ == "__main__":
    sys.exit(main())

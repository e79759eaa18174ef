#!/usr/bin/python3
"""Supervision figures, against the built server and the real kernel program:

  kill      another workbook's call latency (p50/p99/max) while a workbook's kernel is killed and
            restarted over and over
  flood     the server's peak RSS while three editors that stopped reading and one that reads get a
            200 MB broadcast flood (sent as fast as the reading one takes it), and whether the reading
            one got everything
  crash     the time from a kernel's crash to the first successful call on the restarted kernel

    bench/supervision.py [--server build/switchyard] [--python /usr/bin/python3] [kill|flood|crash]...
"""
import argparse
import asyncio
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import websockets

MODULE = '''
import os

def add(a, b):
    return a + b

def die():
    os._exit(1)
'''


class Server:
    def __init__(self, binary, python, settings=None):
        self.home = tempfile.TemporaryDirectory(prefix="switchyard-bench-")
        if settings:
            os.makedirs(os.path.join(self.home.name, ".corvane"))
            with open(os.path.join(self.home.name, ".corvane", "settings.json"), "w") as f:
                json.dump(settings, f)
        env = dict(os.environ, HOME=self.home.name, CORVANE_PYTHON=python)
        self.proc = subprocess.Popen([binary, "--port", "0", "--no-inspector", "--log-level", "warning",
                                      "--python", python], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     env=env, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("switchyard listening on"):
            raise SystemExit("the server did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])

    def url(self, path):
        return "ws://127.0.0.1:%d%s" % (self.port, path)

    def peak_rss_mib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(30)
        self.home.cleanup()


class Addin:
    """Answers the connection-time questions with MODULE; results of calls wait in `results`."""

    def __init__(self, ws):
        self.ws = ws
        self.results = {}
        self.arrived = asyncio.Event()
        self.other = asyncio.Queue()
        self.task = asyncio.ensure_future(self.read())

    @classmethod
    async def open(cls, server, workbook_id):
        ws = await websockets.connect(server.url("/ws/addin/" + workbook_id), max_size=None, compression=None)
        return cls(ws)

    async def read(self):
        answers = {
            "get_modules_request": {"type": "get_modules_response", "modules": {"calc": MODULE}},
            "get_functions_request": {"type": "get_functions_response", "functions": []},
            "get_packages_request": {"type": "get_packages_response", "packages": [], "python_paths": []},
            "get_events_request": {"type": "get_events_response"},
        }
        try:
            async for raw in self.ws:
                m = json.loads(raw)
                t = m.get("type")
                if t in answers:
                    await self.ws.send(json.dumps(dict(answers[t], request_id=m["request_id"])))
                elif t == "function_execution_result":
                    self.results[m["request_id"]] = m
                    self.arrived.set()
                elif t == "batch_results":
                    for r in m["results"]:
                        self.results[r["request_id"]] = r
                    self.arrived.set()
                else:
                    await self.other.put(m)
        except websockets.ConnectionClosed:
            pass

    async def call(self, request_id, function, *args):
        await self.ws.send(json.dumps({"type": "function_execution", "request_id": request_id,
                                       "module_name": "calc", "function_name": function, "args": list(args)}))
        while request_id not in self.results:
            self.arrived.clear()
            await self.arrived.wait()
        return self.results.pop(request_id)

    async def until_kernel_answers(self, prefix, timeout=60):
        deadline = time.monotonic() + timeout
        n = 0
        while time.monotonic() < deadline:
            n += 1
            r = await self.call("%s%d" % (prefix, n), "add", 1, 1)
            if r.get("result") == 2:
                return
            await asyncio.sleep(0.01)
        raise SystemExit("the kernel never answered")


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


async def bench_kill(args):
    server = Server(args.server, args.python)
    try:
        killed = await Addin.open(server, "killed")
        busy = await Addin.open(server, "busy")
        await killed.until_kernel_answers("k")
        await busy.until_kernel_answers("b")
        latencies = []
        stop = False

        async def calls():
            n = 0
            while not stop:
                n += 1
                started = time.perf_counter()
                r = await busy.call("c%d" % n, "add", n, 1)
                latencies.append((time.perf_counter() - started) * 1000.0)
                assert r["result"] == n + 1, r

        caller = asyncio.ensure_future(calls())
        for _ in range(args.kills):
            await killed.ws.send(json.dumps({"type": "kill_kernel"}))
            while (await killed.other.get()).get("type") != "kill_kernel_response":
                pass
        stop = True
        await caller
        print("kill: %d kills of one workbook's kernel; the other workbook's calls meanwhile: %d, "
              "latency p50 %.1f ms, p99 %.1f ms, max %.1f ms"
              % (args.kills, len(latencies), percentile(latencies, 50), percentile(latencies, 99), max(latencies)))
    finally:
        server.stop()


async def bench_flood(args):
    server = Server(args.server, args.python)
    try:
        reader = await websockets.connect(server.url("/ws/ide/reader"), max_size=None, compression=None)
        stalled = []
        for i in range(3):
            s = socket.create_connection(("127.0.0.1", server.port))
            s.sendall(("GET /ws/ide/stalled%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                       "Sec-WebSocket-Version: 13\r\n\r\n" % (i, server.port)).encode())
            stalled.append(s)
        kernel = await websockets.connect(server.url("/ws/kernel/wb"), max_size=None, compression=None)
        payload = "x" * (1 << 20)
        total = args.flood_mb
        got = 0

        async def read():
            nonlocal got
            while got < total:
                m = json.loads(await reader.recv())
                if m.get("type") == "stdout":
                    got += 1

        reading = asyncio.ensure_future(read())
        # As fast as the reading editor takes it: at most `window` MB ahead of it (a producer far
        # faster than every reader would get the slowest reader cut off too, once 64 MiB behind).
        for i in range(total):
            while i - got > args.window_mb:
                await asyncio.sleep(0.001)
            await kernel.send(json.dumps({"type": "stdout", "content": payload, "n": i}))
        await asyncio.wait_for(reading, 300)
        print("flood: %d MB to 1 reading and 3 stalled editors: the reading one got %d of %d; server peak RSS "
              "%.0f MiB" % (total, got, total, server.peak_rss_mib()))
        for s in stalled:
            s.close()
    finally:
        server.stop()


async def bench_crash(args):
    server = Server(args.server, args.python)
    try:
        addin = await Addin.open(server, "wb")
        await addin.until_kernel_answers("w")
        times = []
        for round_number in range(args.crashes):
            started = time.perf_counter()
            await addin.call("die%d" % round_number, "die")
            await addin.until_kernel_answers("r%d-" % round_number)
            times.append((time.perf_counter() - started) * 1000.0)
        # Successive crashes within a minute wait 0.5, 1, 2, ... s before the restart.
        print("crash: from a kernel's crash to the first successful call on the restarted one: %s ms"
              % ", ".join("%.0f" % t for t in times))
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", default="build/switchyard")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--kills", type=int, default=5)
    parser.add_argument("--flood-mb", type=int, default=200)
    parser.add_argument("--window-mb", type=int, default=16)
    parser.add_argument("--crashes", type=int, default=3)
    parser.add_argument("what", nargs="*", default=["kill", "flood", "crash"])
    args = parser.parse_args()
    for what in args.what:
        asyncio.run({"kill": bench_kill, "flood": bench_flood, "crash": bench_crash}[what](args))


if __name__ == "__main__":
    sys.exit(main())

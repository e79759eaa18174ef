#!/usr/bin/env python3
"""Time from an editor's "update_published_functions" to the add-in's "sync_custom_functions".

100 published functions across 10 modules of about 20 kB each, three ways in one run:
  cold     a freshly started server: the parameter helper starts, every module is parsed
  warm     the helper runs, every module changed since the last push (parsed again)
  cached   the helper runs, no module changed (answers from the cache)

    /usr/bin/python3 bench/published_functions.py [--binary build/switchyard] [--cold 5] [--warm 20]
"""
import argparse
import asyncio
import json
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

MODULES = 10
PUBLISHED_PER_MODULE = 10
MODULE_BYTES = 20 * 1024


def module_source(index, version):
    """About 20 kB: ten published functions among classes, helpers and docstrings."""
    parts = ['"""Module %d, version %d."""\nimport math\nfrom functools import lru_cache\n' % (index, version)]
    for k in range(PUBLISHED_PER_MODULE):
        parts.append('''
@lru_cache(maxsize=128)
def published_%d(rate, periods, value: float = 0.0, *extra, when="end", **options):
    """Present value of a series of %d payments."""
    total = 0.0
    for period in range(int(periods)):
        total += value / (1 + rate) ** (period + 1)
    return round(total, 6)
''' % (k, k))
    filler = 0
    while sum(len(p) for p in parts) < MODULE_BYTES:
        parts.append('''
class Helper%d:
    """Keeps state between calls."""

    def __init__(self, name, size=10):
        self.name = name
        self.items = [math.sqrt(i) for i in range(size)]

    def total(self, scale=1.0):
        return sum(item * scale for item in self.items if item > 0.5)

    @classmethod
    def build(cls, spec):
        return cls(spec.get("name", "x"), spec.get("size", 3))


def _internal_%d(a, b, c=None):
    data = {"a": a, "b": b, "c": c, "values": [a * i for i in range(10)]}
    return [key for key, value in data.items() if value]
''' % (filler, filler))
        filler += 1
    return "".join(parts)


def functions():
    return [{"module_name": "bench_%d" % m, "function_name": "published_%d" % k,
             "excel_name": "BENCH%d.F%d" % (m, k)} for m in range(MODULES) for k in range(PUBLISHED_PER_MODULE)]


async def save_modules(ide, addin, version):
    from tests.integration.harness import recv_type
    for m in range(MODULES):
        await ide.send(json.dumps({"type": "update_module", "workbook_id": "wb", "module_name": "bench_%d" % m,
                                   "code": module_source(m, version)}))
    # The server saves each module to the workbook as well: answer like an add-in would.
    for _ in range(MODULES):
        request = await recv_type(addin, "save_module_request")
        await addin.send(json.dumps({"type": "save_module_response", "requestId": request["requestId"],
                                     "success": True}))


async def push(ide, addin):
    from tests.integration.harness import recv_type
    message = json.dumps({"type": "update_published_functions", "workbook_id": "wb", "functions": functions()})
    started = time.perf_counter()
    await ide.send(message)
    sync = await recv_type(addin, "sync_custom_functions", 30)
    elapsed = (time.perf_counter() - started) * 1000
    registered = sync["functions"]
    assert len(registered) == MODULES * PUBLISHED_PER_MODULE, len(registered)
    for r in registered:
        assert [p["name"] for p in r["parameters"]] == ["rate", "periods", "value"], r
    return elapsed


async def session(server, version, warm_rounds):
    from tests.integration.harness import connect
    addin = await connect(server, "addin", "wb")
    ide = await connect(server, "ide", "main")
    try:
        await save_modules(ide, addin, version)
        cold = await push(ide, addin)
        warm, cached = [], []
        for round_ in range(warm_rounds):
            await save_modules(ide, addin, version + 1 + round_)
            warm.append(await push(ide, addin))
            cached.append(await push(ide, addin))
        return cold, warm, cached
    finally:
        await ide.close()
        await addin.close()


def describe(name, samples):
    samples = sorted(samples)
    p90 = samples[min(len(samples) - 1, int(round(0.9 * (len(samples) - 1))))]
    return "%-7s n=%-3d min %7.1f ms   median %7.1f ms   p90 %7.1f ms   max %7.1f ms" % (
        name, len(samples), samples[0], statistics.median(samples), p90, samples[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default=os.path.join(ROOT, "build", "switchyard"))
    parser.add_argument("--python", default=os.environ.get("CORVANE_PYTHON", "/usr/bin/python3"))
    parser.add_argument("--cold", type=int, default=5, help="server starts (one cold push each)")
    parser.add_argument("--warm", type=int, default=20, help="warm and cached pushes per server")
    args = parser.parse_args()
    os.environ["SWITCHYARD_BINARY"] = args.binary
    os.environ["CORVANE_PYTHON"] = args.python
    from tests.integration import harness
    harness.BINARY = args.binary

    sizes = [len(module_source(m, 0)) for m in range(MODULES)]
    print("%d published functions in %d modules of %d to %d bytes; interpreter %s" % (
        MODULES * PUBLISHED_PER_MODULE, MODULES, min(sizes), max(sizes), args.python), flush=True)
    cold, warm, cached = [], [], []
    for run in range(args.cold):
        server = harness.ServerProcess("--log-level", "info", python=args.python)
        try:
            c, w, k = asyncio.run(session(server, run * 1000, args.warm))
        finally:
            server.stop()
        cold.append(c)
        warm += w
        cached += k
    print(describe("cold", cold))
    print(describe("warm", warm))
    print(describe("cached", cached))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""PEP 440 throughput of indexscout beside Python's packaging, on the same inputs, in one run.

usage: /usr/bin/python3 bench/indexscout/run_bench.py BUILD_DIR/bench/indexscout_bench

Generates 10,000 version texts and 100,000 (specifier set, version) pairs (fixed seed), runs
the C++ program on them, times packaging on the same data, checks that both gave the same
answers, and prints microseconds per item.
"""
import json
import os
import random
import subprocess
import sys
import tempfile
import time

import packaging
from packaging.specifiers import SpecifierSet
from packaging.version import Version

SORT_COUNT = 10_000
PAIR_COUNT = 100_000


def version_text(rng):
    parts = []
    if rng.random() < 0.02:
        parts.append(f"{rng.randint(1, 2)}!")
    n = rng.choices([1, 2, 3, 4], weights=[5, 30, 55, 10])[0]
    parts.append(".".join(str(rng.choice([0, 0, 1, 2, 3, rng.randint(0, 40), rng.randint(0, 2024)])) for _ in range(n)))
    r = rng.random()
    if r < 0.12:
        parts.append(rng.choice(["a", "b", "rc", "alpha", "-beta", ".rc"]) + str(rng.randint(0, 5)))
    elif r < 0.18:
        parts.append(rng.choice([".post", "-", ".post", "post"]) + str(rng.randint(1, 3)))
    if rng.random() < 0.06:
        parts.append(rng.choice([".dev", "dev", ".dev"]) + str(rng.randint(0, 9)))
    if rng.random() < 0.03:
        parts.append("+" + rng.choice(["local", "ubuntu1", "cpu", "cu118", "g1234abc"]))
    if rng.random() < 0.05:
        parts[0] = rng.choice(["v", "V", " "]) + parts[0]
    return "".join(parts)


def spec_text(rng, pool):
    def one():
        v = rng.choice(pool).strip()
        base = Version(v).base_version.split("!")[-1]
        op = rng.choices([">=", "<", "==", "!=", "~=", "<=", ">", "==*", "!=*"],
                         weights=[30, 20, 10, 8, 10, 6, 6, 6, 4])[0]
        if op == "~=":
            rel = base.split(".")
            if len(rel) < 2:
                rel.append("0")
            return "~=" + ".".join(rel[:rng.randint(2, len(rel))])
        if op in ("==*", "!=*"):
            rel = base.split(".")
            return op[:2] + ".".join(rel[:rng.randint(1, len(rel))]) + ".*"
        if op in ("<", ">", "<=", ">=", "~="):
            v = Version(v).public
        return op + v
    return ",".join(one() for _ in range(rng.choices([1, 2, 3], weights=[50, 35, 15])[0]))


def fnv1a(texts):
    h = 0xcbf29ce484222325
    for t in texts:
        for b in (t + "\n").encode():
            h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def best_of(rounds, fn):
    best = float("inf")
    result = None
    for _ in range(rounds):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best * 1e6, result


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    rng = random.Random(20240505)
    versions = [version_text(rng) for _ in range(SORT_COUNT)]
    pool = versions[:2000]
    pairs = [(spec_text(rng, pool), rng.choice(pool)) for _ in range(PAIR_COUNT)]

    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump({"versions": versions, "pairs": pairs}, f)
        path = f.name
    try:
        cpp = json.loads(subprocess.run([sys.argv[1], path], check=True, capture_output=True, text=True).stdout)
    finally:
        os.unlink(path)

    sort_us, ordered = best_of(5, lambda: sorted(versions, key=Version))
    match_us, matches = best_of(2, lambda: sum(SpecifierSet(s).contains(v) for s, v in pairs))

    if str(fnv1a(ordered)) != cpp["sorted_digest"]:
        sys.exit("indexscout and packaging sorted the versions differently")
    if matches != cpp["matches"]:
        sys.exit(f"indexscout matched {cpp['matches']} pairs, packaging {matches}")

    rows = [
        (f"sort {SORT_COUNT:,} version texts", sort_us / SORT_COUNT, cpp["sort_us_per_item"]),
        (f"match {PAIR_COUNT:,} (specifier, version) pairs", match_us / PAIR_COUNT, cpp["match_us_per_item"]),
    ]
    print(f"{'':44} {'packaging ' + packaging.__version__:>18} {'indexscout':>14} {'speed-up':>9}")
    for name, py, cc in rows:
        print(f"{name:44} {py:14.3f} us/item {cc:8.3f} us/item {py / cc:8.1f}x")
    print(f"(same answers: {matches} of {PAIR_COUNT} pairs match; identical sort order)")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Writes pep440_vectors.json: reference answers of Python's `packaging` for the C++ tests.

Run with Debian's interpreter (it ships python3-packaging 23.0):

    /usr/bin/python3 tests/indexscout/gen_pep440_vectors.py > tests/indexscout/pep440_vectors.json

The output is deterministic (fixed random seed), so re-running it must not change the file
unless `packaging` itself changed.
"""
import json
import random
import sys

import packaging
from packaging.specifiers import InvalidSpecifier, Specifier, SpecifierSet
from packaging.version import InvalidVersion, Version

# Non-ASCII letters that Python's case-insensitive regexes accept as a-z; the C++ side rejects
# them on purpose, so they are kept out of the vectors.
EXOTIC = "\u0130\u0131\u017f\u212a"

CURATED_VERSIONS = [
    # plain releases and trailing zeros
    "0", "0.0", "00", "1", "1.0", "1.0.0", "1.0.0.0", "01.02.03", "1.2", "1.2.3", "1.10", "1.9",
    "2", "2.0", "10.0", "1.0.1", "0.0.1", "1.00.0", "0.9999999999999999999999999",
    "99999999999999999999999999999999.1", "18446744073709551616", "18446744073709551615.0",
    # epochs
    "1!1.0", "0!1.0", "2!0.1", "1!1.0a1", "01!1", "v1!2.0", "1!",
    # pre-releases, all spellings
    "1.0a1", "1.0A1", "1.0alpha1", "1.0ALPHA", "1.0a", "1.0.a1", "1.0-a1", "1.0_a1", "1.0a.1",
    "1.0a-1", "1.0a_1", "1.0b2", "1.0beta2", "1.0.beta.2", "1.0c3", "1.0rc3", "1.0RC3", "1.0pre3",
    "1.0preview3", "1.0-preview-3", "1.0pre", "1.0c", "1.0rc", "1.0a0", "1.0rc01", "1.0a.",
    "1.0-alpha", "1.0alpha.", "1.0prev", "1.0alph", "1.0bet", "1.0rcc", "1.0aa",
    # post-releases
    "1.0.post1", "1.0post1", "1.0-post1", "1.0_post_1", "1.0.post", "1.0.post.", "1.0-1", "1.0-01",
    "1.0r1", "1.0rev1", "1.0-r", "1.0.rev", "1.0POST1", "1.0-", "1.0_1", "1.0.1-1", "1.0a1-1",
    "1.0a-1", "1.0a--1", "1.0a1.post2", "1.0a1post2", "1.0a1-2", "1.0post1post2",
    # dev releases
    "1.0.dev1", "1.0dev1", "1.0-dev1", "1.0_dev_1", "1.0.dev", "1.0dev", "1.0DEV", "1.0.dev.",
    "1.0a1.dev1", "1.0.post1.dev1", "1.0a1.post1.dev1", "1.0rc1dev1", "1.0-1-dev1", "1.0dev1a1",
    "1.0.dev1.post1",
    # local versions
    "1.0+abc", "1.0+ABC", "1.0+abc.5", "1.0+5", "1.0+005", "1.0+abc-def_ghi", "1.0+1.2.3",
    "1.0+a1", "1.0+1a", "1.0+", "1.0+.", "1.0+a.", "1.0+a..b", "1.0+a+b", "1.0+0", "1.0+00.abc",
    "1.0.post1+local", "1.0a1.dev2+x.y", "1!2.0+z", "1.0+ubuntu-1", "1.0+deadbeef.1", "1.0+1-",
    # leading v, white space
    "v1.0", "V1.0", "vv1.0", "v", " 1.0", "1.0 ", "\t1.0\n", "\u00a01.0\u3000", "\u20281.0",
    "\x1c1.0\x1f", "1.0\u200b", " v1.0a1 ", "1 .0", "1. 0", "1.0 a1",
    # garbage
    "", " ", "a", "1.", ".1", "1..0", "1.0.", "1.0.*", "1.0-*", "1.0.x", "banana", "1,0", "1.0;",
    "1!1!1", "!1", "1.0a1a2", "1.0.post1.post2", "1.0.dev1.dev2", "1.0ab", "1.0\x00", "1.0é",
    "1.0+é", "１.０", "1.0+\u00e9", "-1.0", "+1.0", "1.0 + abc", "1e5", "0x10",
    # huge numbers around Python's int conversion limit
    "1" * 4300, "1" * 4301, "0" * 4301, "1." + "2" * 4301, "1.0a" + "9" * 4301,
    "1.0+" + "7" * 4301, "1.0+a" + "7" * 4301, "9" * 300 + ".1", "9" * 299 + ".1",
]


def random_version(rng):
    parts = []
    if rng.random() < 0.2:
        parts.append(rng.choice(["v", "V", " "]))
    if rng.random() < 0.15:
        parts.append(str(rng.randint(0, 3)) + "!")
    n = rng.choice([1, 1, 2, 2, 2, 3, 3, 4, 5])
    parts.append(".".join(rng.choice(["0", "1", "2", "9", "10", "00", "01", str(rng.randint(0, 300))]) for _ in range(n)))
    sep = lambda: rng.choice(["", "", ".", "-", "_"])
    if rng.random() < 0.35:
        parts.append(sep() + rng.choice(["a", "b", "c", "rc", "alpha", "beta", "pre", "preview", "A", "RC"])
                     + sep() + rng.choice(["", "0", "1", "2", "10", "01"]))
    if rng.random() < 0.3:
        if rng.random() < 0.3:
            parts.append("-" + rng.choice(["0", "1", "7", "02"]))
        else:
            parts.append(sep() + rng.choice(["post", "rev", "r", "POST"]) + sep() + rng.choice(["", "0", "1", "3"]))
    if rng.random() < 0.3:
        parts.append(sep() + rng.choice(["dev", "DEV"]) + sep() + rng.choice(["", "0", "1", "5"]))
    if rng.random() < 0.2:
        parts.append("+" + rng.choice(["", "-"]).join(
            rng.choice(["abc", "1", "01", "x9", "9x", "Z", "0"]) for _ in range(rng.randint(1, 3))))
    text = "".join(parts)
    if rng.random() < 0.12:  # break it somewhere
        i = rng.randint(0, len(text))
        text = text[:i] + rng.choice([".", "-", "_", "+", "!", "*", "x", " ", ""]) + text[i:]
    return text


def version_record(text):
    try:
        v = Version(text)
    except (InvalidVersion, ValueError) as e:
        return {"text": text, "valid": False, "error": "too_long" if not isinstance(e, InvalidVersion) else "invalid"}
    return {
        "text": text,
        "valid": True,
        "str": str(v),
        "public": v.public,
        "base": v.base_version,
        "epoch": str(v.epoch),
        "release": [str(x) for x in v.release],
        "pre": None if v.pre is None else [v.pre[0], str(v.pre[1])],
        "post": None if v.post is None else str(v.post),
        "dev": None if v.dev is None else str(v.dev),
        "local": v.local,
        "is_prerelease": v.is_prerelease,
        "is_postrelease": v.is_postrelease,
        "is_devrelease": v.is_devrelease,
    }


CURATED_SPECS = [
    "", " ", ",", ">=1.0", ">= 1.0", " >=1.0 ", ">=1.0,<2.0", ">=1.0, <2.0", ">=1.0,,<2.0", "<2", ">2", "<=2", "==2",
    "!=2", "~=2.2", "~=2", "~=2.2.0", "~=1.4.5a4", "~=2.2.post3", "~=2.2.0.dev1", "~=1!2.2", "~=v2.2",
    "~=1.2.3.RC1", "~=1.2.c1.post1", "~=1.2.c1.r1", "~=1.2a.1", "~=1.2-1", "~=1.0RC1", "~=0.9",
    "==1.0.*", "==1.*", "==1!1.*", "==1!2.0.*", "!=1.0.*", "==1.0.0.*", "==2.*", "==0.*", "==1.0a1.*",
    "==1.0+local", "==1.0+LOCAL.1", "!=1.0+local", "==1.0", "===1.0", "===1.0.0", "===V1.0", "===foo",
    "===", "=== 1.0", "===1.0+local", "===1.0a1", "==1.0a1", ">=1.0a1", "<=1.0rc1", "<1.0a1", ">1.0.post1",
    "<1.0", ">1.0", ">1.0.dev0", "<1.0.dev0", ">=1.0.dev0", "<1!1.0", ">1!0.9", ">=2.0rc1", ">=v1.0",
    "==v1.0", "==1.0.post1", "==1.0-1", "<=1.0+local", ">1.0+local", "~=1.0+local", "~=1.0.*", "<1.0.*",
    ">=1.0.*", "==1.0.*.*", "== 1.0.*", "==1. 0", "=>1.0", "=<1.0", "<>1.0", "!1.0", "~1.0", "1.0",
    ">=1.0;", ">=1.0)", "(>=1.0)", ">=1.0 ; python_version", "==1.0a", "==1.0-dev", ">=1.0-r",
    ">=1.0rev2", ">=1.0preview3", "!=1.0.0", "!=1.0+x", ">1.0a1", "<1.0.post1", "<=1.0.post1",
    "==\u00a01.0", "\u2003>=1.0\u2003", ">=1.0,\u3000<3", "===1.0\u00a0", "===a;b", "===a)b",
    "==1" + "0" * 4301, ">=1" + "0" * 4301, "<1" + "0" * 4301, "===" + "1" * 4301, "==1" + "0" * 4301 + ".*",
    "~=1." + "0" * 4301, ">=1.0,!=1.5.*,<2", "~=1.4,!=1.4.2", ">1,<2,!=1.5", "==1.0,==2.0", ">=0",
    "<=0", "~=0.0", "~=1.2.3", ">1.0.0", "<2.0.0", "==1.0.0", "!=1.0.0", "===1.0.0.0",
]

MATCH_VERSIONS = [
    "0", "0.9", "1", "1.0", "1.0.0", "1.0.0.0", "1.0a1", "1.0a2", "1.0b1", "1.0rc1", "1.0.dev0",
    "1.0.dev1", "1.0a1.dev1", "1.0.post1", "1.0.post1.dev1", "1.0.post2", "1.0+local", "1.0+LOCAL.1",
    "1.0+x", "1.0.post1+local", "1.0a1+local", "1.0.1", "1.1", "1.4", "1.4.2", "1.4.5", "1.4.5a4",
    "1.4.5a5", "1.5", "1.5.1", "1.9", "2", "2.0", "2.0rc1", "2.0.0", "2.0.1", "2.1", "2.2", "2.2.0",
    "2.2.1", "2.2.post3", "2.2.post4", "2.2.0.dev1", "2.3", "2.3a1", "3", "3.0", "10.0", "1!1.0",
    "1!1.5", "1!2.0", "1!2.2", "1!2.3", "0!1.0", "1.2.3", "1.2.3rc1", "1.2.4", "1.2rc1.post1",
    "1.2.0", "1.2", "1.3", "0.9.1", "0.0", "0.0.1", "1.0.0.1", "1.0-1", "v1.0", "1.0.1a1",
]


def spec_record(text, versions):
    try:
        ss = SpecifierSet(text)
    except InvalidSpecifier:
        return {"text": text, "valid": False, "error": "invalid"}
    except ValueError:  # a number past Python's int conversion limit
        return {"text": text, "valid": False, "error": "too_long"}
    try:
        pre = ss.prereleases
    except (InvalidVersion, ValueError):
        pre = "error"

    def run(prereleases):
        out = []
        for v in versions:
            try:
                out.append("1" if ss.contains(Version(v), prereleases=prereleases) else "0")
            except (InvalidVersion, ValueError):
                out.append("E")
        return "".join(out)

    return {"text": text, "valid": True, "prereleases": pre, "contains": run(None), "contains_pre": run(True)}


def member_can_fail(spec):
    """True when this specifier raises for some contains() call (ambiguous inside larger sets)."""
    try:
        s = Specifier(spec)
        hash(s)
    except ValueError:
        return False
    try:
        s.prereleases
        s.contains("1.0", prereleases=True)
    except (InvalidVersion, ValueError):
        return True
    return False


def random_spec(rng, pool):
    members = [rng.choice(pool) for _ in range(rng.choice([1, 1, 2, 2, 3]))]
    if len(members) > 1 and any(member_can_fail(m) for m in members):
        members = members[:1]
    return rng.choice([",", ", ", " ,"]).join(members)


def random_single_spec(rng):
    op = rng.choice(["~=", "==", "!=", "<=", ">=", "<", ">", "==="])
    v = random_version(rng).strip()
    if op in ("==", "!=") and rng.random() < 0.3:
        v = ".".join(v.split(".")[:rng.randint(1, 3)]) + ".*"
    return op + rng.choice(["", "", " "]) + v


def main():
    rng = random.Random(440)
    texts = list(dict.fromkeys(CURATED_VERSIONS + [random_version(rng) for _ in range(1500)] + MATCH_VERSIONS))
    texts = [t for t in texts if not any(ch in t for ch in EXOTIC)]
    versions = [version_record(t) for t in texts]

    # Dense ranks of the valid versions in packaging's order.
    valid = sorted((Version(r["text"]), i) for i, r in enumerate(versions) if r["valid"])
    rank, prev = -1, None
    for v, i in valid:
        if prev is None or v != prev:
            rank += 1
            prev = v
        versions[i]["rank"] = rank

    pool = CURATED_SPECS[:] + [random_single_spec(rng) for _ in range(250)]
    specs = list(dict.fromkeys(CURATED_SPECS + pool + [random_spec(rng, pool) for _ in range(250)]))
    specs = [s for s in specs if not any(ch in s for ch in EXOTIC)]
    spec_records = [spec_record(s, MATCH_VERSIONS) for s in specs]

    json.dump({
        "generator": f"packaging {packaging.__version__}",
        "versions": versions,
        "match_versions": MATCH_VERSIONS,
        "specifiers": spec_records,
    }, sys.stdout, indent=0, ensure_ascii=True)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()

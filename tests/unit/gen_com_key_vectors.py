#!/usr/bin/python3
"""Writes tests/unit/data/com_key_vectors.json: (object id, event name) pairs with the key the
kernels expect for them, repr() of the tuple, as the kernels' interpreter (Debian's python3)
writes it. The output is committed; the unit tests compare the server's keys against it.

    /usr/bin/python3 tests/unit/gen_com_key_vectors.py
"""
import json
import os
import sys
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "data", "com_key_vectors.json")

PAIRS = [
    ("Sheet1", "onSelectionChanged"),
    ("", ""),
    # quote choice: single unless the text holds a single quote and no double quote
    ("it's", "say \"hi\""),
    ("both ' and \"", "'"),
    ("\"", "'\"'"),
    ("O'Brien's", "\"\""),
    # backslashes
    ("C:\\Book\\Sheet1", "\\"),
    ("\\'", "\\\""),
    # control characters, DEL, C1 controls, no-break and soft hyphen
    ("tab\there", "line\nbreak\rreturn"),
    ("\x00\x01\x1b\x1f", "\x7f\x80\x9f"),
    ("\xa0\xad\xa1\xff", "caf\xe9"),
    # separators and format characters
    ("\u2028\u2029", "\u200b\u200d\u2060\ufeff"),
    ("ideographic\u3000space", "\u1680\u2000\u202f\u205f"),
    # unassigned and private use
    ("\u0378\u0379\ufdd0\ufffe\uffff", "\U0001fffe\U0010ffff\U000e0080"),
    ("\ue000\uf8ff", "\U000f0000\U0010fffd"),
    # letters and marks of other scripts, non-BMP letters, emoji
    ("Лист1", "表1"),
    ("e\u0301\u0308", "\u05d0\u0627"),
    ("\U00010400\U0001d400", "\U00020000\U0002a6d6"),
    ("\U0001f600\U0001f680", "\U0001f468\u200d\U0001f469\u200d\U0001f467"),
    ("\U0001f1eb\U0001f1f7", "\u2764\ufe0f"),
]


def boundary_pairs():
    """Every code point on either side of each edge between printable and non-printable
    characters (surrogates excepted: JSON texts cannot hold them), 32 to a text."""
    points = set()
    prev = None
    for cp in range(0x110000):
        now = chr(cp).isprintable()
        if prev is not None and now != prev:
            points.update((cp - 1, cp))
        prev = now
    points.update((0x0, 0x10FFFF))
    points = sorted(p for p in points if not 0xD800 <= p <= 0xDFFF)
    texts = ["".join(chr(p) for p in points[i:i + 32]) for i in range(0, len(points), 32)]
    if len(texts) % 2:
        texts.append("")
    return list(zip(texts[0::2], texts[1::2]))


def main():
    vectors = [{"object_id": a, "event_name": b, "key": repr((a, b))} for a, b in PAIRS + boundary_pairs()]
    doc = {"python": "%d.%d.%d" % sys.version_info[:3], "unicode": unicodedata.unidata_version,
           "vectors": vectors}
    with open(OUT, "w", encoding="ascii") as f:
        f.write('{"python": %s, "unicode": %s, "vectors": [\n' % (json.dumps(doc["python"]), json.dumps(doc["unicode"])))
        f.write(",\n".join(json.dumps(v, ensure_ascii=True) for v in vectors))
        f.write("\n]}\n")
    print("%s: %d vectors" % (os.path.relpath(OUT, HERE), len(vectors)))


if __name__ == "__main__":
    main()

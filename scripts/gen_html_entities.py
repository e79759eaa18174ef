#!/usr/bin/python3
"""Writes src/indexscout/html_entities.inc: HTML's named character references (with and without
their semicolon, as the HTML standard lists them), sorted by name, each with its UTF-8 text.

    /usr/bin/python3 scripts/gen_html_entities.py

The output is committed; the list changes only when the HTML standard's does.
"""
import html.entities
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "src", "indexscout", "html_entities.inc")


def c_string(text):
    # Octal escapes end after three digits, so no following character can run into them.
    return '"' + "".join("\\%03o" % b if b < 0x20 or b >= 0x7f or b in (0x22, 0x5c) else chr(b)
                         for b in text.encode("utf-8")) + '"'


def main():
    names = sorted(html.entities.html5, key=lambda n: n.encode())
    with open(OUT, "w") as f:
        f.write("// Written by scripts/gen_html_entities.py; do not edit.\n")
        f.write("// {name, UTF-8 text}, sorted by name (bytewise).\n")
        for name in names:
            f.write('{"%s", %s},\n' % (name, c_string(html.entities.html5[name])))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Seeds for the dump fuzz target: the conversion seeds, raw-page pieces
(templates, comments, protecting elements, lone bars), and the revision
texts of the dump samples when their folder exists."""
import bz2
import os
import shutil
import sys
import xml.etree.ElementTree as ET

PIECES = [
    b"{|\n| {{flag|France}} || <!-- a | b -->2 || 3\n|-\n|\n| x\n|}",
    b"{|\n! a !! {{b|!}} !! <nowiki>|</nowiki>\n|}\n<pre>|</pre>",
    b"{{a|{{b|c}}\n{|\n| {{x| <math>a|b</math> }}\n!\n|}\n}}",
    b"<!-- unclosed {|\n| a",
    b"{|\n| <source lang=c>a||b</source> || <syntaxhighlight>!</syntaxhighlight >\n|}",
]


def main():
    out, conversion_seeds = sys.argv[1], sys.argv[2]
    dumps = sys.argv[3] if len(sys.argv) > 3 else ""
    os.makedirs(out, exist_ok=True)
    count = 0
    if os.path.isdir(conversion_seeds):
        for name in sorted(os.listdir(conversion_seeds)):
            shutil.copy(os.path.join(conversion_seeds, name), os.path.join(out, name))
            count += 1
    for i, piece in enumerate(PIECES):
        with open(os.path.join(out, "raw-%d" % i), "wb") as f:
            f.write(piece)
        count += 1
    if dumps and os.path.isdir(dumps):
        for name in sorted(os.listdir(dumps)):
            for i, (_, el) in enumerate(ET.iterparse(bz2.open(os.path.join(dumps, name)))):
                if el.tag.endswith("}text") and el.text and "{|" in el.text:
                    data = el.text.encode("utf-8")[:65536]
                    with open(os.path.join(out, "dump-%s-%d" % (name[:12], i)), "wb") as f:
                        f.write(data)
                    count += 1
    print("%d seeds in %s" % (count, out))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes fuzz seeds: every input of the conversion case tables, and the
real articles of a corpus folder when one is given and exists."""
import os
import sys


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cases"))

from case_table import load_cases  # noqa: E402


def main():
    cases, out = sys.argv[1], sys.argv[2]
    corpus = sys.argv[3] if len(sys.argv) > 3 else ''
    os.makedirs(out, exist_ok=True)
    count = 0
    for i, data in enumerate(case["in"] for case in load_cases(cases)):
        with open(os.path.join(out, 'case-%03d' % i), 'wb') as f:
            f.write(data)
        count += 1
    if corpus and os.path.isdir(corpus):
        for name in sorted(os.listdir(corpus)):
            with open(os.path.join(corpus, name), 'rb') as src:
                data = src.read()
            with open(os.path.join(out, 'real-' + name), 'wb') as f:
                f.write(data)
            count += 1
    print('%d seeds in %s' % (count, out))


if __name__ == '__main__':
    main()

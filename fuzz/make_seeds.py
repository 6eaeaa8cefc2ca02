#!/usr/bin/env python3
"""Writes fuzz seeds: every input of the conversion case tables, and the
real articles of a corpus folder when one is given and exists."""
import os
import sys


def decode(quoted):
    body = quoted.strip()
    assert body[0] == '"' and body[-1] == '"', quoted
    return body[1:-1].encode('latin-1').decode('unicode_escape').encode('latin-1')


def case_inputs(path):
    """The "in" strings, continuation lines included."""
    inputs, in_input = [], False
    with open(path, encoding='utf-8') as f:
        for line in f:
            line = line.rstrip('\n').encode('utf-8').decode('latin-1')
            if line.startswith('in '):
                inputs.append(decode(line[2:]))
                in_input = True
            elif in_input and line[:1] in (' ', '\t') and line.strip().startswith('"'):
                inputs[-1] += decode(line)
            else:
                in_input = False
    return inputs


def main():
    cases, out = sys.argv[1], sys.argv[2]
    corpus = sys.argv[3] if len(sys.argv) > 3 else ''
    os.makedirs(out, exist_ok=True)
    count = 0
    for i, data in enumerate(case_inputs(cases)):
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

"""The grid of every real table without a nested table against what
pandas.read_html makes of our own HTML: the same shape and the same slots.
Run with Debian's Python, which has pandas and lxml."""
import io
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import pandas  # noqa: E402

import trivanex_wikitext_table as wt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "..", "..", "shared", "corpus", "real")
EXAMPLE = os.path.join(HERE, "..", "..", "examples", "article.wiki")


def texts():
    names = [EXAMPLE]
    if os.path.isdir(CORPUS):
        names += [os.path.join(CORPUS, n) for n in sorted(os.listdir(CORPUS))]
    for name in names:
        with open(name, encoding="utf-8", errors="replace") as f:
            yield name, f.read()


def slot(value):
    return "" if value is None or (isinstance(value, float) and value != value) else str(value)


def table_lines(text, line):
    """The lines of the top-level table that starts on `line`, through its end."""
    out, depth = [], 0
    for raw in text.split("\n")[line - 1:]:
        out.append(raw)
        trimmed = raw.strip()
        if trimmed.lstrip(":").lstrip(" \t").startswith("{|"):
            depth += 1
        elif trimmed.startswith("|}"):
            depth -= 1
            if depth == 0:
                break
    return "\n".join(out)


class AgainstPandas(unittest.TestCase):
    def test_the_grid_has_the_shape_and_slots_pandas_reads_from_our_html(self):
        compared = 0
        for name, text in texts():
            for table in wt.tables(text, raw_wikitext=False):
                # pandas pastes a nested table's rows into its parent's.
                if table.parent is not None or "nested" in table.flags or not table.rows:
                    continue
                html = wt.to_html(table_lines(text, table.line))
                [frame] = pandas.read_html(io.StringIO(html), keep_default_na=False,
                                           flavor="lxml")
                with self.subTest(file=os.path.basename(name), line=table.line):
                    levels = frame.columns.nlevels if table.header else 0
                    self.assertEqual(levels, len(table.header))
                    self.assertEqual(frame.shape, (len(table.rows), len(table.columns)))
                    # A slot no cell covers is "" to pandas here; a slot
                    # with text is never "".
                    for ours, theirs in zip(table.rows, frame.values.tolist()):
                        for mine, its in zip(ours, theirs):
                            if mine is None:
                                self.assertEqual(its, "")
                            elif mine != "":
                                self.assertNotEqual(its, "")
                compared += 1
        self.assertGreater(compared, 50 if os.path.isdir(CORPUS) else 0)


if __name__ == "__main__":
    unittest.main()

"""The dump-on-Dask example on a local cluster of two worker processes: the
shards of a multistream dump, concatenated, are wttable-dump's data lines."""
import bz2
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import example_paths  # noqa: E402,F401

import dump_on_dask  # noqa: E402

DUMP = os.environ["WTTABLE_DUMP"]
HEAD = ('<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.11/" version="0.11">\n'
        '  <siteinfo>\n    <namespaces>\n      <namespace key="0" />\n'
        '      <namespace key="1">Talk</namespace>\n    </namespaces>\n  </siteinfo>\n')


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def page(pid, title, texts, ns="0"):
    ns_line = f"    <ns>{ns}</ns>\n" if ns is not None else ""
    revisions = "".join(
        f"    <revision>\n      <id>{pid * 10 + k}</id>\n"
        f"      <timestamp>2024-01-0{k + 1}T00:00:00Z</timestamp>\n"
        f"      <text bytes=\"1\" xml:space=\"preserve\">{esc(text)}</text>\n    </revision>\n"
        for k, text in enumerate(texts))
    return f"  <page>\n    <title>{esc(title)}</title>\n{ns_line}    <id>{pid}</id>\n{revisions}  </page>\n"


def text_of(pid):
    kinds = [
        "no table",
        '{| class="wikitable"\n|+ Caption [[A|a]]\n! H1 !! H2\n|-\n| 1 || {{sort|k|two}}\n|}',
        "== Results ==\n{|\n| outer\n{|\n| inner &amp; ''x'' <ref>r</ref>\n|}\n|}",
        "{|\n! rowspan=2 | A !! B\n|-\n| c\n|}\r\nafter",
        "{|\n" * 70,  # more nesting than the converter takes
    ]
    return kinds[pid % len(kinds)]


class DumpOnDask(unittest.TestCase):
    def test_shards_concatenated_are_the_tools_output(self):
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            self.skipTest("dask.distributed is not installed (Debian: python3-distributed)")
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "dump-multistream.xml.bz2")
            index = []
            with open(path, "wb") as f:
                f.write(bz2.compress(HEAD.encode()))
                pid = 1
                for size in (1, 7, 30, 2, 12, 1, 25):
                    offset = f.tell()
                    chunk = ""
                    for _ in range(size):
                        title = f"Página {pid}" if pid % 4 else f"Talk:P{pid}"
                        ns = None if pid % 9 == 0 else ("1" if title.startswith("Talk:") else "0")
                        texts = [text_of(pid)] + ([text_of(pid + 1)] if pid % 6 == 0 else [])
                        chunk += page(pid, title, texts, ns)
                        index.append(f"{offset}:{pid}:{title}\n")
                        pid += 1
                    f.write(bz2.compress(chunk.encode()))
                f.write(bz2.compress(b"</mediawiki>\n"))
            index_path = path + "-index.txt.bz2"
            with open(index_path, "wb") as f:
                f.write(bz2.compress("".join(index).encode()))
            out = os.path.join(work, "out")
            os.mkdir(out)
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                summaries = dump_on_dask.run(path, index_path, out, client, shard_mb=0.0005)
            self.assertGreater(len(summaries), 3)
            got = b""
            for name in sorted(os.listdir(out)):
                with open(os.path.join(out, name), "rb") as f:
                    got += f.read()
            expected = subprocess.run([DUMP, "--no-progress", "-q", "--format", "data", path],
                                      capture_output=True)
            self.assertEqual(expected.returncode, 1)  # the page nested too deep
            self.assertEqual(got.decode(), expected.stdout.decode())
            self.assertEqual(sum(s[2] for s in summaries), expected.stdout.count(b'"table": '))


if __name__ == "__main__":
    unittest.main()

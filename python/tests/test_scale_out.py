"""The scale-out example: a folder of pages through a process pool, and on
a local Dask cluster of two worker processes; every result is checked."""
import concurrent.futures
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import example_paths  # noqa: E402,F401

import scale_out  # noqa: E402
import trivanex_wikitext_table as wt  # noqa: E402

try:
    from dask.distributed import Client, LocalCluster
except ImportError:
    LocalCluster = None


class ScaleOut(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.paths = []
        for i in range(40):
            path = os.path.join(cls.dir.name, "page%02d.wiki" % i)
            with open(path, "w") as f:
                f.write("Page %d\n{| class=\"t\"\n! n !! sq\n" % i
                        + "".join("|-\n| %d || %d\n" % (k, k * k) for k in range(i))
                        + "|}\n")
            cls.paths.append(path)
        cls.expected = []
        for path in cls.paths:
            with open(path, "rb") as f:
                text = f.read()
            html = wt.parse_document(text)
            name = os.path.basename(path)[:-5]
            cls.expected.append((name, len(text), len(html), True))
            cls.expected_html = dict(getattr(cls, "expected_html", {}), **{name: html})

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def check_outputs(self, out_dir):
        for name, html in self.expected_html.items():
            with open(os.path.join(out_dir, name + ".html"), "rb") as f:
                self.assertEqual(f.read(), html, name)

    def test_process_pool(self):
        with tempfile.TemporaryDirectory() as out, \
                concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
            got = scale_out.convert_with_processes(pool, scale_out.pages_in(self.dir.name), out, 2)
            self.assertEqual(got, self.expected)
            self.check_outputs(out)

    @unittest.skipIf(LocalCluster is None, "dask.distributed is not importable "
                                           "(Debian: python3-dask python3-distributed)")
    def test_dask_cluster_of_two_worker_processes(self):
        with tempfile.TemporaryDirectory() as out, \
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                             dashboard_address=None) as cluster, Client(cluster) as client:
            got = scale_out.convert_with_dask(client, self.paths, out)
            workers = client.run(os.getpid)
            self.assertEqual(len(set(workers.values())), 2)
            self.assertEqual(got, self.expected)
            self.check_outputs(out)


if __name__ == "__main__":
    unittest.main()

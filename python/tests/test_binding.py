"""The Python binding, over the built shared library."""
import os
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import trivanex_wikitext_table as wt  # noqa: E402

CASES_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "cases")
sys.path.insert(0, CASES_DIR)

from case_table import load_cases  # noqa: E402


class Conversions(unittest.TestCase):
    def test_every_case_of_the_table_as_bytes(self):
        cases = load_cases(os.path.join(CASES_DIR, "conversion.txt"))
        self.assertGreater(len(cases), 100)
        for case in cases:
            with self.subTest(case["name"]):
                if "tables" in case:
                    self.assertEqual(wt.to_html(case["in"]), case["tables"])
                if "document" in case:
                    self.assertEqual(wt.parse_document(case["in"]), case["document"])

    def test_str_in_gives_str_out_and_utf8_survives(self):
        text = "Zürich — 東京\n{| title=\"Ελλάδα\"\n| café || 😀\n|}"
        self.assertEqual(wt.to_html(text),
                         "<table title=\"Ελλάδα\">\n<tr>\n<td>café</td><td>😀</td></tr>\n</table>")
        self.assertTrue(wt.parse_document(text).startswith("Zürich — 東京\n<table"))
        self.assertIsInstance(wt.to_html("no table"), str)
        self.assertEqual(wt.to_html(b"{|\n| a\n|}"), b"<table>\n<tr>\n<td>a</td></tr>\n</table>")
        self.assertEqual(wt.to_html(bytearray(b"x")), b"")

    def test_failed_conversion_raises_with_the_librarys_message(self):
        deep = "{|\n" * 65
        with self.assertRaisesRegex(wt.WikitextTableError, "^Failed to parse table markup$"):
            wt.to_html(deep)
        with self.assertRaisesRegex(wt.WikitextTableError, "^Failed to parse document tables$"):
            wt.parse_document(deep.encode())
        self.assertTrue(wt.has_tables(deep))
        self.assertTrue(wt.to_html("{|\n" * 64).startswith("<table>"))

    def test_nul_and_wrong_types_are_refused(self):
        with self.assertRaisesRegex(ValueError, "NUL byte at offset 3"):
            wt.to_html("{|\n\0|}")
        with self.assertRaisesRegex(ValueError, "offset 0"):
            wt.parse_document(b"\0")
        with self.assertRaisesRegex(ValueError, "offset 1"):
            wt.has_tables("a\0{|")
        for bad in (None, 42, ["{|"]):
            with self.assertRaises(TypeError):
                wt.to_html(bad)
            with self.assertRaises(TypeError):
                wt.has_tables(bad)

    def test_detection_and_version(self):
        self.assertTrue(wt.has_tables("a\n :: {|"))
        self.assertFalse(wt.has_tables(": :{|"))
        self.assertFalse(wt.has_tables(""))
        self.assertEqual(wt.version(), "1.0.0")

    def test_threads_each_get_their_own_result(self):
        errors = []

        def work(n):
            for i in range(200):
                text = "{|\n| t%d || i%d\n|}" % (n, i)
                want = "<table>\n<tr>\n<td>t%d</td><td>i%d</td></tr>\n</table>" % (n, i)
                doc = "x%d\n%s" % (n, text)
                if wt.to_html(text) != want or wt.parse_document(doc) != "x%d\n%s" % (n, want):
                    errors.append((n, i))

        threads = [threading.Thread(target=work, args=(n,)) for n in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])


class Loading(unittest.TestCase):
    def test_missing_library_names_where_it_looked(self):
        env = dict(os.environ, TRIVANEX_WIKITEXT_TABLE_LIBRARY="/nonexistent/libx.so")
        env.pop("LD_LIBRARY_PATH", None)
        package = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
        result = subprocess.run(
            [sys.executable, "-c", "import trivanex_wikitext_table"], cwd=package, env=env,
            capture_output=True, text=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("OSError", result.stderr)
        self.assertIn("/nonexistent/libx.so", result.stderr)
        self.assertIn("beside the package", result.stderr)


if __name__ == "__main__":
    unittest.main()

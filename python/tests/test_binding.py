"""The Python binding, over the built shared library."""
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
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


PACKAGE_PARENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def import_with(env_changes, cwd=PACKAGE_PARENT, code="import trivanex_wikitext_table"):
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    for key, value in env_changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True,
                          text=True)


class HostileCallers(unittest.TestCase):
    def run_python(self, code):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=120, env=env)

    def test_a_signal_handler_that_converts_gets_its_result_and_so_does_the_caller(self):
        # A timer interrupts the main thread's own conversions again and
        # again; the handler converts another text.  Nothing may hang and no
        # result may be the other call's.
        code = """if True:
            import signal, trivanex_wikitext_table as wt
            inner = "{|\\n| inner\\n|}"
            outer = "{|\\n| outer\\n|}"
            want_inner, want_outer = wt.to_html(inner), wt.to_html(outer)
            bad = []
            def handler(sig, frame):
                if wt.to_html(inner) != want_inner:
                    bad.append("inner")
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
            for _ in range(30000):
                if wt.to_html(outer) != want_outer:
                    bad.append("outer")
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
            print("bad", len(bad))
        """
        r = self.run_python(code)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "bad 0\n", ""))

    def test_a_thread_with_too_small_a_stack_is_refused_not_crashed(self):
        code = """if True:
            import threading, trivanex_wikitext_table as wt
            for kib in (64, 256):
                threading.stack_size(kib * 1024)
                out = []
                def work():
                    try:
                        out.append(wt.to_html("{|\\n| a\\n|}"))
                    except RuntimeError as error:
                        out.append(str(error))
                t = threading.Thread(target=work)
                t.start()
                t.join()
                print(kib, out[0].splitlines()[0])
        """
        r = self.run_python(code)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), [
            "64 this thread's stack is 64 KiB; a conversion needs at least 128 KiB "
            "(threading.stack_size)",
            "256 <table>"])


class Loading(unittest.TestCase):
    def test_an_explicit_library_that_cannot_load_is_an_error_naming_it(self):
        result = import_with({"TRIVANEX_WIKITEXT_TABLE_LIBRARY": "/nonexistent/libx.so"})
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("ImportError: trivanex-wikitext-table: $TRIVANEX_WIKITEXT_TABLE_LIBRARY "
                      "names /nonexistent/libx.so, which cannot be loaded", result.stderr)

    @unittest.skipUnless(shutil.which("cc"), "no C compiler")
    def test_a_wrong_library_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "fake.c")
            cases = {
                "missing": ("int wttable_has_tables(const char *t) { return 0; }", "it lacks"),
                "major 2": ("".join("const char *%s(void) { return \"2.0.0\"; }\n" % f
                                    for f in ("wttable_last_error", "wttable_parse_document",
                                              "wttable_to_html", "wttable_version"))
                            + "int wttable_has_tables(void) { return 0; }",
                            "is version 2.0.0; this package needs major version 1"),
            }
            for name, (code, message) in cases.items():
                with open(src, "w") as f:
                    f.write(code)
                lib = os.path.join(tmp, "lib%s.so" % name.replace(" ", ""))
                subprocess.run(["cc", "-shared", "-fPIC", "-w", src, "-o", lib], check=True)
                result = import_with({"TRIVANEX_WIKITEXT_TABLE_LIBRARY": lib})
                self.assertIn(message, result.stderr, name)

    def test_nothing_found_says_how_to_fix_it(self):
        with tempfile.TemporaryDirectory() as tmp:
            shutil.copytree(os.path.join(PACKAGE_PARENT, "trivanex_wikitext_table"),
                            os.path.join(tmp, "trivanex_wikitext_table"),
                            ignore=shutil.ignore_patterns("*.so*", "__pycache__"))
            result = import_with({"TRIVANEX_WIKITEXT_TABLE_LIBRARY": None}, cwd=tmp)
            if result.returncode == 0:
                self.skipTest("a copy of the library is installed on the loader's path")
            self.assertIn("pip install", result.stderr)
            self.assertIn("build/libtrivanex-wikitext-table.so.1", result.stderr)

    def test_lone_surrogates_and_versions(self):
        with self.assertRaisesRegex(ValueError, "not valid Unicode at index 3"):
            wt.to_html("{|\n\ud800")
        self.assertEqual(wt.__version__, wt.version())
        self.assertEqual(sorted(wt.__all__), sorted(
            ["to_html", "parse_document", "has_tables", "version", "WikitextTableError",
             "tables", "Table", "Cell", "Link", "__version__"]))


CHILD_CHECK = "{|\n| child %d\n|}"


def _convert_in_child(n):
    return wt.to_html(CHILD_CHECK % n)


class Fork(unittest.TestCase):
    """Children forked while other threads convert must not inherit a held lock."""

    def setUp(self):
        self.stop = threading.Event()
        self.threads = [threading.Thread(target=self.churn) for _ in range(4)]
        for t in self.threads:
            t.start()
        self.addCleanup(self.join)

    def churn(self):
        text = "{|\n" + "| a || b || c\n|-\n" * 2000 + "|}"
        while not self.stop.is_set():
            wt.parse_document(text)

    def join(self):
        self.stop.set()
        for t in self.threads:
            t.join()

    def test_os_fork_children_convert_and_exit(self):
        pids = []
        for n in range(20):
            pid = os.fork()
            if pid == 0:
                ok = wt.to_html(CHILD_CHECK % n) == "<table>\n<tr>\n<td>child %d</td></tr>\n</table>" % n
                os._exit(0 if ok else 3)
            pids.append(pid)
        deadline = time.monotonic() + 20
        for pid in pids:
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    self.assertEqual(os.waitstatus_to_exitcode(status), 0)
                    break
                if time.monotonic() > deadline:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    self.fail("a forked child hung")
                time.sleep(0.01)

    def test_multiprocessing_start_methods(self):
        for method in ("fork", "forkserver", "spawn"):
            with self.subTest(method):
                ctx = multiprocessing.get_context(method)
                with ctx.Pool(2) as pool:
                    result = pool.map_async(_convert_in_child, range(10))
                    got = result.get(timeout=60)
                self.assertEqual(got, ["<table>\n<tr>\n<td>child %d</td></tr>\n</table>" % n
                                       for n in range(10)])


if __name__ == "__main__":
    unittest.main()

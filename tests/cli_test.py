"""The wttable tool, run as a user runs it: exit statuses, messages, -o."""
import os
import subprocess
import tempfile
import unittest

WTTABLE = os.environ["WTTABLE_CLI"]


def run(*args, stdin=b"", **kw):
    return subprocess.run([WTTABLE, *args], input=stdin, capture_output=True, **kw)


class Tool(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def file(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_document_and_tables_only_from_stdin_and_files(self):
        text = b"Intro\r\n{|\n| a || b\n|}\nEnd\n"
        r = run(stdin=text)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(r.stdout, b"Intro\n<table>\n<tr>\n<td>a</td><td>b</td></tr>\n</table>\nEnd\n")
        r = run("-t", "-", stdin=text)
        self.assertEqual(r.stdout, b"<table>\n<tr>\n<td>a</td><td>b</td></tr>\n</table>\n")
        r = run("--tables-only", "--raw", self.file("a.wiki", text))
        self.assertEqual(r.stdout, b"<table>\n<tr>\n<td>a</td><td>b</td></tr>\n</table>")
        # Several files in order; an empty result adds nothing.
        r = run("-t", self.file("1", b"{|\n| 1\n|}"), self.file("none", b"text"),
                self.file("2", b"{|\n| 2\n|}"))
        self.assertEqual(r.stdout, b"<table>\n<tr>\n<td>1</td></tr>\n</table>\n"
                                   b"<table>\n<tr>\n<td>2</td></tr>\n</table>\n")

    def test_bad_inputs_are_reported_and_the_others_converted(self):
        good = self.file("good", b"{|\n| g\n|}")
        nul = self.file("nul", b"{|\n| a\0b\n|}")
        deep = self.file("deep", b"{|\n" * 65)
        missing = os.path.join(self.dir.name, "missing")
        r = run(nul, good)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, b"wttable: %s: NUL byte at offset 6; input must be text\n"
                         % nul.encode())
        self.assertEqual(r.stdout, b"<table>\n<tr>\n<td>g</td></tr>\n</table>\n")
        r = run(deep, good)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, b"wttable: %s: Failed to parse document tables\n" % deep.encode())
        r = run("-t", deep)
        self.assertEqual(r.stderr, b"wttable: %s: Failed to parse table markup\n" % deep.encode())
        # The worst status wins.
        r = run(deep, missing, good)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"wttable: %s: No such file or directory\n" % missing.encode(), r.stderr)
        self.assertIn(b"<td>g</td>", r.stdout)
        # A read error: a folder opens but does not read.
        r = run(self.dir.name, good)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"wttable: %s: Is a directory\n" % self.dir.name.encode(), r.stderr)
        self.assertIn(b"<td>g</td>", r.stdout)
        r = run(stdin=b"a\0")
        self.assertEqual(r.stderr, b"wttable: (standard input): NUL byte at offset 1; input must be text\n")

    def test_check_and_list(self):
        yes = self.file("yes", b"x\n :{| a\n|}")
        no = self.file("no", b"x {|\n")
        self.assertEqual(run("-c", yes).returncode, 0)
        self.assertEqual(run("--check", no).returncode, 1)
        r = run("-c", no, yes)
        self.assertEqual((r.returncode, r.stdout), (0, b""))
        r = run("-l", yes, no, yes)
        self.assertEqual((r.returncode, r.stdout), (0, (yes + "\n" + yes + "\n").encode()))
        r = run("--files-with-tables", no)
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        r = run("-l", stdin=b"{|")
        self.assertEqual(r.stdout, b"(standard input)\n")
        self.assertEqual(run("-c", os.path.join(self.dir.name, "missing")).returncode, 2)

    def test_output_file_is_replaced_only_by_a_good_run(self):
        target = self.file("out.html", b"old contents\n")
        good = self.file("good", b"{|\n| g\n|}")
        nul = self.file("nul", b"\0")
        r = run("-o", target, good, nul)
        self.assertEqual(r.returncode, 2)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"old contents\n")
        r = run("--output", target, good)
        self.assertEqual((r.returncode, r.stdout), (0, b""))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"<table>\n<tr>\n<td>g</td></tr>\n</table>\n")
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["good", "nul", "out.html"])
        r = run("-o", os.path.join(self.dir.name, "no-such-dir", "x"), good)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"No such file or directory", r.stderr)

    def test_write_error_and_closed_pipe(self):
        with open("/dev/full", "wb") as full:
            r = subprocess.run([WTTABLE, self.file("a", b"{|\n| a\n|}")], stdout=full,
                               stderr=subprocess.PIPE)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, b"wttable: (standard output): No space left on device\n")
        big = self.file("big", b"line\n" * 2000000)
        p = subprocess.Popen([WTTABLE, big], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.stdout.read(10)
        p.stdout.close()
        p.wait()
        self.assertEqual(p.stderr.read(), b"")

    def test_usage_help_version_stats(self):
        r = run("--bogus")
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"usage: wttable", r.stderr)
        self.assertEqual(run("-o").returncode, 2)
        self.assertEqual(run("-c", "-l").returncode, 2)
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"--tables-only", r.stdout)
        self.assertEqual(run("--version").stdout, b"wttable 1.0.0\n")
        r = run("--stats", "-t", stdin=b"{|\n:{|\n|}\n|}\n")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stderr.decode(),
                         r"^wttable: \(standard input\): 13 bytes in, \d+ bytes out, 2 tables, "
                         r"[0-9.]+ s, [0-9.]+ MB/s\n$")


if __name__ == "__main__":
    unittest.main()

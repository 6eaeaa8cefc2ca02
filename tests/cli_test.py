"""The wttable tool, run as a user runs it: exit statuses, messages, output
files, option parsing, batch work and warnings."""
import os
import signal
import stat
import subprocess
import tempfile
import threading
import time
import unittest

WTTABLE = os.environ["WTTABLE_CLI"]
# Small inputs would run in one process: the workers are what is tested.
os.environ.setdefault("WTTABLE_JOBS_MIN_BYTES", "0")
IS_ROOT = os.geteuid() == 0
G_HTML = b"<table>\n<tr>\n<td>g</td></tr>\n</table>\n"


def run(*args, stdin=b"", **kw):
    return subprocess.run([WTTABLE, *args], input=stdin, capture_output=True, **kw)


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def file(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def leftovers(self):
        return [n for n in os.listdir(self.dir.name) if n.startswith(".wttable-")]


class Conversion(Case):
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
        deep = self.file("deep", b"x\n" + b"{|\n" * 65)
        missing = self.path("missing")
        r = run(nul, good)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, b"wttable: %s: NUL byte at offset 6; input must be text\n"
                         % nul.encode())
        self.assertEqual(r.stdout, G_HTML)
        # A nesting failure names the line of the 65th open table.
        r = run(deep, good)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, b"wttable: %s:66: Failed to parse document tables: "
                         b"more than 64 nested tables\n" % deep.encode())
        r = run("-t", deep)
        self.assertIn(b":66: Failed to parse table markup", r.stderr)
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

    def test_a_nul_ends_the_read_at_once(self):
        # An endless stream of zeros is refused after its first block.
        p = subprocess.Popen([WTTABLE, "-c"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)

        def feed():
            try:
                for _ in range(100000):
                    p.stdin.write(b"\0" * 65536)
            except (BrokenPipeError, ValueError):
                pass

        writer = threading.Thread(target=feed)
        writer.start()
        out, err = p.stdout.read(), p.stderr.read()
        p.stdout.close()
        p.stderr.close()
        p.wait(timeout=30)
        writer.join()
        try:
            p.stdin.close()
        except BrokenPipeError:
            pass
        self.assertEqual(p.returncode, 2)
        self.assertEqual(err, b"wttable: (standard input): NUL byte at offset 0; input must be text\n")

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
        self.assertEqual(run("-c", self.path("missing")).returncode, 2)

    def test_stats_per_input_and_total(self):
        r = run("--stats", "-t", stdin=b"{|\n:{|\n|}\n|}\n")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stderr.decode(),
                         r"^wttable: \(standard input\): 13 bytes in, \d+ bytes out, 2 tables, "
                         r"[0-9.]+ s, [0-9.]+ MB/s\n"
                         r"wttable: total: 1 input: 13 bytes in, \d+ bytes out, 2 tables, "
                         r"[0-9.]+ s, [0-9.]+ MB/s\n$")
        one = self.file("one", b"{")
        table = self.file("table", b"{|")
        r = run("--stats", "--raw", one, table)
        lines = r.stderr.decode().splitlines()
        self.assertRegex(lines[0], r": 1 byte in, 1 byte out, 0 tables, ")
        self.assertRegex(lines[1], r": 2 bytes in, \d+ bytes out, 1 table, ")
        self.assertRegex(lines[2], r"^wttable: total: 2 inputs: 3 bytes in, \d+ bytes out, 1 table, ")


class OutputFiles(Case):
    def test_output_file_is_replaced_only_by_a_good_run(self):
        target = self.file("out.html", b"old contents\n")
        good = self.file("good", b"{|\n| g\n|}")
        nul = self.file("nul", b"\0")
        r = run("-o", target, good, nul)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(self.read(target), b"old contents\n")
        r = run("--output", target, good)
        self.assertEqual((r.returncode, r.stdout), (0, b""))
        self.assertEqual(self.read(target), G_HTML)
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["good", "nul", "out.html"])
        r = run("-o", self.path("no-such-dir/x"), good)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"No such file or directory", r.stderr)

    def test_mode_and_links_are_kept(self):
        good = self.file("good", b"{|\n| g\n|}")
        for mode in (0o600, 0o755, 0o640):
            target = self.file("m%o" % mode, b"old")
            os.chmod(target, mode)
            self.assertEqual(run("-t", "-o", target, good).returncode, 0)
            self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), mode)
            self.assertEqual(self.read(target), G_HTML)
        # A symlink stays a symlink; the file it names is replaced.
        real = self.file("real.html", b"old")
        link = self.path("link.html")
        os.symlink("real.html", link)
        self.assertEqual(run("-o", link, good).returncode, 0)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(self.read(real), G_HTML)
        # A hard link is not cut off: both names see the new content.
        other = self.path("other.html")
        os.link(real, other)
        self.assertEqual(run("-o", real, self.file("h", b"{|\n| h\n|}")).returncode, 0)
        self.assertEqual(os.stat(real).st_ino, os.stat(other).st_ino)
        self.assertIn(b"<td>h</td>", self.read(other))
        self.assertEqual(self.leftovers(), [])

    @unittest.skipUnless(IS_ROOT, "changing a file's owner needs root")
    def test_owner_and_group_are_kept(self):
        target = self.file("theirs.html", b"old")
        os.chown(target, 1234, 5678)
        self.assertEqual(run("-o", target, self.file("g", b"{|\n| g\n|}")).returncode, 0)
        st = os.stat(target)
        self.assertEqual((st.st_uid, st.st_gid), (1234, 5678))

    def test_fifo_and_device_are_written_not_replaced(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        got = []
        reader = threading.Thread(target=lambda: got.append(self.read(fifo)))
        reader.start()
        r = run("-o", fifo, self.file("g", b"{|\n| g\n|}"))
        reader.join(timeout=30)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(got, [G_HTML])
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))
        if IS_ROOT:
            null = self.path("null")  # a private copy of the null device
            os.mknod(null, stat.S_IFCHR | 0o666, os.makedev(1, 3))
            r = run("-o", null, self.file("g2", b"{|\n| g\n|}"))
            self.assertEqual(r.returncode, 0)
            self.assertTrue(stat.S_ISCHR(os.stat(null).st_mode))
        self.assertEqual(self.leftovers(), [])

    def test_output_names(self):
        good = self.file("good", b"{|\n| g\n|}")
        # "-" is standard output, not a file named "-".
        r = run("-o", "-", good, cwd=self.dir.name)
        self.assertEqual(r.stdout, G_HTML)
        self.assertFalse(os.path.exists(self.path("-")))
        # A folder is an error, with or without its slash.
        os.mkdir(self.path("d"))
        for target in (self.path("d"), self.path("d") + "/"):
            r = run("-o", target, good)
            self.assertEqual(r.returncode, 2)
            self.assertEqual(r.stderr, b"wttable: %s: Is a directory\n" % target.encode())
        # The longest valid name works: the temporary name does not grow with it.
        long_name = self.path("x" * 250)
        self.assertEqual(run("-o", long_name, good).returncode, 0)
        self.assertEqual(self.read(long_name), G_HTML)

    def test_signals_remove_the_temporary_file(self):
        target = self.file("out.html", b"precious")
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            p = subprocess.Popen([WTTABLE, "-o", target], stdin=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
            p.stdin.write(b"{|\n| a\n")
            p.stdin.flush()
            for _ in range(200):
                if self.leftovers():
                    break
                time.sleep(0.01)
            self.assertEqual(len(self.leftovers()), 1)
            p.send_signal(sig)
            p.wait(timeout=30)
            p.stdin.close()
            p.stderr.close()
            self.assertEqual(p.returncode, -sig)
            self.assertEqual(self.leftovers(), [])
            self.assertEqual(self.read(target), b"precious")

    def test_closed_standard_descriptors(self):
        src = self.file("in.wiki", b"{|\n| g\n|}")
        out = self.path("out.html")
        # With stderr closed, the stats line must not land in the output file.
        r = subprocess.run([WTTABLE, "--stats", "-o", out, src], stderr=subprocess.DEVNULL,
                           pass_fds=(), preexec_fn=lambda: os.close(2))
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.read(out), G_HTML)
        # A closed standard input is an error, and the target keeps its content.
        keep = self.file("keep.html", b"precious\n")
        r = subprocess.run([WTTABLE, "-o", keep], stderr=subprocess.PIPE,
                           preexec_fn=lambda: os.close(0))
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, b"wttable: (standard input): Bad file descriptor\n")
        self.assertEqual(self.read(keep), b"precious\n")
        # A closed standard output is a write error.
        r = subprocess.run([WTTABLE, src], stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1))
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, b"wttable: (standard output): Bad file descriptor\n")

    def test_write_errors_and_closed_pipes(self):
        src = self.file("a", b"{|\n| a\n|}")
        with open("/dev/full", "wb") as full:
            for args in ([src], ["--help"], ["--version"]):
                r = subprocess.run([WTTABLE, *args], stdout=full, stderr=subprocess.PIPE)
                self.assertEqual(r.returncode, 2, args)
                self.assertEqual(r.stderr, b"wttable: (standard output): No space left on device\n")
        big = self.file("big", b"line\n" * 2000000)
        for ignored in (False, True):
            # Whether or not the caller ignores SIGPIPE, a closed pipe ends the run quietly.
            pre = (lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)) if ignored else None
            p = subprocess.Popen([WTTABLE, big, big], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, preexec_fn=pre)
            p.stdout.read(10)
            p.stdout.close()
            p.wait(timeout=60)
            self.assertEqual(p.stderr.read(), b"")
            p.stderr.close()
            self.assertEqual(p.returncode, -signal.SIGPIPE)


class Options(Case):
    def test_getopt_conventions(self):
        src = self.file("in.wiki", b"x\n{|\n| a\n|}")
        tables = b"<table>\n<tr>\n<td>a</td></tr>\n</table>\n"
        out = self.path("o.html")
        cases = [
            (["-tc", src], 0, b""),
            (["-t", "-o" + out, src], 0, b""),
            (["--tables-only", "--output=" + out, src], 0, b""),
            ([src, "-t", "-o", out], 0, b""),  # options after file names
            (["-t", src], 0, tables),
        ]
        for args, status, stdout in cases:
            r = run(*args)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (status, stdout, b""), args)
        self.assertEqual(self.read(out), tables)
        # "--" ends the options: "-t" is a file name behind it.
        self.file("-t", b"{|\n| dash\n|}")
        r = run("--", "-t", cwd=self.dir.name)
        self.assertEqual(r.stdout, b"<table>\n<tr>\n<td>dash</td></tr>\n</table>\n")

    def test_meaningless_combinations_are_refused(self):
        src = self.file("in.wiki", b"{|\n|}")
        os.mkdir(self.path("d"))
        cases = [
            (["-o", "a", "-o", "b"], b"give one output"),
            (["-o", "a", "--output-dir", self.path("d")], b"give one output"),
            (["-c", "-l"], b"-c and -l exclude each other"),
            (["-c", "-o", "a"], b"-c writes no HTML: -o means nothing"),
            (["-l", "--raw"], b"-l writes no HTML: --raw means nothing"),
            (["-l", "--output-dir", self.path("d")], b"-l writes no HTML: --output-dir"),
            (["-c", "--stats"], b"-c converts nothing: --stats means nothing"),
            (["-j", "x"], b"-j needs a number of jobs"),
            (["-j", "-1"], b"-j needs a number of jobs"),
            (["--jobs"], b"--jobs needs an argument"),
            (["-o"], b"-o needs an argument"),
            (["--bogus"], b"unknown option --bogus"),
            (["-Z"], b"unknown option -Z"),
            (["-o", ""], b"empty output name"),
        ]
        for args, message in cases:
            r = run(src, *args, cwd=self.dir.name)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(message, r.stderr, args)
            self.assertIn(b"usage: wttable", r.stderr, args)
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["d", "in.wiki"])

    def test_help_and_version(self):
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"--tables-only", r.stdout)
        self.assertEqual(run("--version").stdout, b"wttable 1.0.0\n")


class Batch(Case):
    def inputs(self):
        return [
            self.file("a.wiki", b"{|\n| a\n|}"),
            self.file("b", b"{|\n| b\n|}"),
            self.file("c.wiki", b"intro only"),
        ]

    def test_output_dir(self):
        os.mkdir(self.path("out"))
        out = self.path("out")
        r = run("-t", "--output-dir", out, *self.inputs())
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        self.assertEqual(sorted(os.listdir(out)), ["a.html", "b.html", "c.html"])
        self.assertEqual(self.read(os.path.join(out, "b.html")),
                         b"<table>\n<tr>\n<td>b</td></tr>\n</table>\n")
        self.assertEqual(self.read(os.path.join(out, "c.html")), b"")
        # Two inputs that would write one file: refused before anything is written.
        os.mkdir(self.path("sub"))
        twin = self.file("sub/a.wiki", b"{|\n| twin\n|}")
        os.mkdir(self.path("out2"))
        r = run("--output-dir", self.path("out2"), self.path("b"), self.path("a.wiki"), twin)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"would both write", r.stderr)
        self.assertEqual(os.listdir(self.path("out2")), [])
        r = run("--output-dir", self.path("out2"), "-", stdin=b"{|")
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"standard input has no name", r.stderr)
        r = run("--output-dir", self.path("a.wiki"), self.path("b"))
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"Not a directory", r.stderr)

    def test_jobs_give_exactly_the_output_of_one_process(self):
        files = []
        for i in range(40):
            kind = i % 5
            if kind == 0:
                files.append(self.file("%02d.wiki" % i, b"{|\n| cell %d || x\n|}\n" % i * 50))
            elif kind == 1:
                files.append(self.path("missing-%d" % i))
            elif kind == 2:
                files.append(self.file("%02d.wiki" % i, b"{|\n" * 65))
            elif kind == 3:
                files.append(self.file("%02d.wiki" % i, b"{|\n|" + b" x ||" * 300 + b"\n|}"))
            else:
                files.append(self.file("%02d.wiki" % i, b"text \0"))
        for extra in ([], ["-t"], ["-l"], ["--stats"]):
            one = run("-j", "1", *extra, *files)
            for jobs in ("2", "3", "0"):
                many = run("-j", jobs, *extra, *files)
                self.assertEqual(many.returncode, one.returncode, (extra, jobs))
                self.assertEqual(many.stdout, one.stdout, (extra, jobs))
                if extra == ["--stats"]:  # times differ
                    strip = lambda s: b"\n".join(l.split(b", 0.")[0] for l in s.splitlines())
                    self.assertEqual(strip(many.stderr), strip(one.stderr))
                else:
                    self.assertEqual(many.stderr, one.stderr, (extra, jobs))
        # With the default share a few small inputs stay in one process; and
        # a bad share is the default.
        one = run(*files)
        for share in (None, "x", "-5", "99999999999"):
            env = {k: v for k, v in os.environ.items() if k != "WTTABLE_JOBS_MIN_BYTES"}
            if share is not None:
                env["WTTABLE_JOBS_MIN_BYTES"] = share
            alone = run("-j", "2", *files, env=env)
            self.assertEqual((alone.returncode, alone.stdout, alone.stderr),
                             (one.returncode, one.stdout, one.stderr), share)
        self.assertEqual(run("-j", "2", "-c", self.path("missing-1"), files[0]).returncode, 0)
        # With -o, a failure anywhere keeps the old file.
        target = self.file("target", b"old")
        r = run("-j", "2", "-o", target, files[0], files[2], files[5])
        self.assertEqual(r.returncode, 1)
        self.assertEqual(self.read(target), b"old")
        r = run("-j", "2", "-o", target, files[0], files[5])
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.read(target), run(files[0], files[5]).stdout)
        os.mkdir(self.path("dir"))
        ok = [files[0], files[5], files[10]]
        r = run("-j", "2", "--output-dir", self.path("dir"), *ok)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(len(os.listdir(self.path("dir"))), 3)


class Warnings(Case):
    def test_silent_cuts_are_reported(self):
        cases = [
            (b"{|\n|" + b" x ||" * 257 + b" y\n|}", b"2: 258 cells on one line; those after the 256th dropped"),
            (b"{|\n| " + b"z" * 20000 + b"\n|}", b"2: cell text of 20001 bytes cut to 16383"),
            (b"{|\n! " + b"z" * 16382 + b"!!kz\n|}", b"2: cell text of 16387 bytes cut to 16383"),
            (b"x\n{|\n|- " + b"a" * 1030 + b"\n| c\n|}", b"3: row attributes of 1030 bytes cut to 1022"),
        ]
        for text, message in cases:
            src = self.file("in.wiki", text)
            r = run("-t", src)
            self.assertEqual(r.returncode, 0)
            self.assertEqual(r.stderr, b"wttable: %s:%s\n" % (src.encode(), message))
            quiet = run("-t", "-q", src)
            self.assertEqual((quiet.stdout, quiet.stderr), (r.stdout, b""))
            # The data formats say the same, raw pages or not, and a nesting
            # failure's message comes after them.
            for args in (["--format", "json"], ["--format", "csv", "--raw-wikitext"]):
                data = run(*args, src)
                self.assertEqual((data.returncode, data.stderr), (0, r.stderr), args)
            deep = self.file("deep.wiki", text + b"\n" + b"{|\n" * 65)
            failed = run("--format", "json", deep)
            self.assertEqual(failed.returncode, 1)
            self.assertTrue(failed.stderr.startswith(b"wttable: %s:%s\n" % (deep.encode(), message)),
                            failed.stderr)
            self.assertIn(b"more than 64 nested tables", failed.stderr)
        # At the limits nothing is cut and nothing is said.
        for text in (b"{|\n|" + b" x ||" * 255 + b" y\n|}", b"{|\n| " + b"z" * 16382 + b"\n|}",
                     b"{|\n|- " + b"a" * 1022 + b"\n|}", b"|" + b" x ||" * 300):
            self.assertEqual(run(self.file("ok.wiki", text)).stderr, b"")


class RawWikitext(Case):
    def test_templates_comments_and_lone_bars(self):
        text = (b"{|\n! A !! B !! C\n|-\n| {{flag|France}} || <!-- note | x -->2 || 3\n"
                b"|-\n|\n| {{a|{{b|c}}}} || <nowiki>x||y</nowiki>\n|}")
        r = run("-t", "--raw-wikitext", stdin=text)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout,
                         b"<table>\n<tr>\n<th>A</th><th>B</th><th>C</th></tr>\n"
                         b"<tr>\n<td>{{flag|France}}</td><td>2</td><td>3</td></tr>\n"
                         b"<tr>\n<td></td>\n<td>{{a|{{b|c}}}}</td><td><nowiki>x||y</nowiki></td>"
                         b"</tr>\n</table>\n")
        plain = run("-t", stdin=text)
        self.assertIn(b"<td {{flag>France}}</td>", plain.stdout)


if __name__ == "__main__":
    unittest.main()


class DataFormats(Case):
    TABLES = b"{|\n! A !! B\n|-\n| [[x|1]] || 2\n|}\ntext\n{|\n| c\n|}\n"

    def test_json_lines_one_record_a_table(self):
        import json
        r = run("--format", "json", self.file("a.wiki", self.TABLES))
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        records = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual([t["table"] for t in records], [0, 1])
        self.assertEqual(records[0]["columns"], ["A", "B"])
        self.assertEqual(records[0]["rows"], [["1", "2"]])
        # Several inputs: each record names its file first.
        r = run("--format", "json", self.file("b.wiki", self.TABLES), self.file("c.wiki", b"x"))
        first = json.loads(r.stdout.splitlines()[0])
        self.assertEqual(list(first)[:2], ["file", "table"])
        self.assertTrue(first["file"].endswith("b.wiki"))

    def test_csv_of_one_table_and_a_file_each_in_a_folder(self):
        r = run("--format", "csv", stdin=b'{|\n! A !! B\n|-\n| 1, one || say "hi"\n|}')
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(r.stdout, b'A,B\r\n"1, one","say ""hi"""\r\n')
        r = run("--format", "tsv", stdin=b"{|\n! A !! B\n|-\n| 1 || 2\n|}")
        self.assertEqual(r.stdout, b"A\tB\r\n1\t2\r\n")
        out = self.path("out")
        os.mkdir(out)
        r = run("--format", "csv", "--output-dir", out, self.file("page.wiki", self.TABLES))
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(sorted(os.listdir(out)), ["page.0.csv", "page.1.csv"])
        self.assertEqual(self.read(os.path.join(out, "page.1.csv")), b"col 1\r\nc\r\n")

    def test_errors(self):
        r = run("--format", "csv", stdin=self.TABLES)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"2 tables, and csv writes one to standard output", r.stderr)
        self.assertEqual(r.stdout, b"")
        r = run("--format", "xml", stdin=self.TABLES)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"unknown format 'xml': html, json, csv or tsv", r.stderr)
        r = run("--format", "csv", self.file("1", b"{|\n|}"), self.file("2", b"{|\n|}"))
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"give --output-dir DIR for several inputs", r.stderr)
        r = run("-c", "--format", "json", stdin=self.TABLES)
        self.assertEqual(r.returncode, 2)
        r = run("--format", "json", stdin=b"{|\n" * 65)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, run(stdin=b"{|\n" * 65).stderr)

    def test_workers_and_raw_pages(self):
        import json
        paths = [self.file(f"{i}.wiki", self.TABLES + b"{|\n| {{small|s|x}}\n|}\n")
                 for i in range(6)]
        one = run("--format", "json", "--raw-wikitext", *paths)
        two = run("--format", "json", "--raw-wikitext", "-j", "2", *paths)
        self.assertEqual((one.returncode, two.returncode), (0, 0))
        self.assertEqual(one.stdout, two.stdout)
        last = json.loads(one.stdout.splitlines()[2])
        self.assertEqual(last["rows"], [["s"]])

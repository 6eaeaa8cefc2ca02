"""Both programs used as a hostile or careless user would use them: long
names, full disks, signals at the worst moment, trailing data, oversized
fields, FIFOs and an ignored SIGCHLD.  Each case once did harm."""
import bz2
import gzip
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dump_test import TABLE, dump, multistream, page  # noqa: E402

WTTABLE = os.environ["WTTABLE_CLI"]
DUMP = os.environ["WTTABLE_DUMP"]
# Small inputs would run in one process: the workers are what is tested.
os.environ.setdefault("WTTABLE_JOBS_MIN_BYTES", "0")
IS_ROOT = os.geteuid() == 0


def tables_text(count):
    return "".join(f"{{|\n! H{i}\n|-\n| cell {i} || more\n|}}\n" for i in range(count))


def a_dump(count, title="A", pid=1):
    return dump(page(title, tables_text(count), pid=pid, rid=pid * 100))


def in_small_disk(mount, size, script, *args):
    """Runs a shell script with a tmpfs of `size` mounted on `mount`, in a
    mount namespace of its own; the mount goes with it."""
    ns = ["unshare", "--mount"] if IS_ROOT else ["unshare", "--user", "--map-root-user", "--mount"]
    body = f'mount -t tmpfs -o size={size} tmpfs "$0" || exit 99\n{script}'
    r = subprocess.run([*ns, "sh", "-c", body, mount, *args], capture_output=True)
    if b"cannot change root filesystem propagation" in r.stderr:
        # In a chroot "/" is no mount point: a private mount namespace, the
        # only safe place for the small disk, cannot be made.
        raise unittest.SkipTest("no private mount namespace here (a chroot?)")
    if r.returncode == 99:
        raise AssertionError(f"cannot mount a tmpfs: {r.stderr!r}")
    return r


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, *names):
        return os.path.join(self.dir.name, *names)

    def file(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()


class LongNames(Case):
    def deep_folder(self, length):
        parts, total = [], len(self.dir.name)
        while total + 201 < length:
            parts.append("d" * 200)
            total += 201
        if length - total - 1 > 0:
            parts.append("e" * (length - total - 1))
        folder = os.path.join(self.dir.name, *parts)
        os.makedirs(folder)
        return folder

    def test_progress_and_stats_lines_hold_long_names(self):
        folder = self.deep_folder(600)
        src = os.path.join(folder, "pages.xml")
        with open(src, "w") as f:
            f.write(a_dump(2))
        for jobs in ("1", "2"):
            r = subprocess.run([DUMP, "--progress", "--stats", "-j", jobs, src],
                               capture_output=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(src.encode() + b": 1 pages, 2 tables", r.stderr)
            self.assertNotIn(b"\0", r.stderr)
        wiki = os.path.join(folder, "page.wiki")
        with open(wiki, "w") as f:
            f.write(tables_text(1))
        r = subprocess.run([WTTABLE, "--stats", wiki], capture_output=True)
        self.assertEqual(r.returncode, 0)
        self.assertIn(wiki.encode() + b": ", r.stderr)
        self.assertNotIn(b"\0", r.stderr)

    def test_output_path_at_the_length_limit_with_a_one_byte_name(self):
        folder = self.deep_folder(4092)
        target = os.path.join(folder, "x")
        self.assertEqual(len(target), 4094)
        cases = [(WTTABLE, self.file("in.wiki", tables_text(1))),
                 (DUMP, self.file("in.xml", a_dump(1)))]
        for program, src in cases:
            r = subprocess.run([program, "-o", target, src], capture_output=True)
            self.assertEqual((r.returncode, r.stderr), (0, b""), program)
            self.assertEqual(self.read(target), subprocess.run([program, src],
                                                               capture_output=True).stdout)
            self.assertEqual(os.listdir(folder), ["x"])
            os.unlink(target)


class HardLinkedTargets(Case):
    def test_a_full_disk_leaves_both_links_and_names_the_whole_output(self):
        cases = [(WTTABLE, self.file("in.wiki", tables_text(3000))),
                 (DUMP, self.file("in.xml", a_dump(3000)))]
        for program, src in cases:
            expected = subprocess.run([program, src], capture_output=True).stdout
            self.assertGreater(len(expected), 100_000)
            mnt, copy = self.path("mnt"), self.path("copy")
            os.makedirs(mnt, exist_ok=True)
            # Room for the new output once, not twice.
            size = len(expected) * 3 // 2 // 4096 * 4096
            script = ('printf old > "$0/out"; ln "$0/out" "$0/other"\n'
                      '"$1" -o "$0/out" "$2"; echo "exit $?" >&2\n'
                      'rm -rf "$3"; cp -a "$0" "$3"')
            r = in_small_disk(mnt, size, script, program, src, copy)
            self.assertIn(b"exit 2", r.stderr, program)
            self.assertIn(b"No space left on device", r.stderr)
            line = [l for l in r.stderr.decode().splitlines() if "whole output is kept in" in l]
            self.assertEqual(len(line), 1, r.stderr)
            kept = line[0].split("whole output is kept in ")[1]
            self.assertTrue(kept.startswith(mnt + "/.wttable-"), kept)
            self.assertEqual(self.read(os.path.join(copy, os.path.basename(kept))), expected)
            self.assertEqual(self.read(os.path.join(copy, "out")), b"old")
            self.assertEqual(self.read(os.path.join(copy, "other")), b"old")

    def test_sigint_while_filling_in_place_keeps_and_names_the_whole_output(self):
        src = self.file("in.wiki", tables_text(400_000))
        expected = subprocess.run([WTTABLE, src], capture_output=True).stdout
        target, other = self.path("out.html"), self.path("other.html")
        interrupted = 0
        for attempt in range(10):
            for name in os.listdir(self.dir.name):
                if name.startswith(".wttable-"):
                    os.unlink(self.path(name))
            with open(target, "wb") as f:
                f.write(b"old")
            if not os.path.exists(other):
                os.link(target, other)
            p = subprocess.Popen([WTTABLE, "-o", target, src], stderr=subprocess.PIPE)
            # The fill has begun when the target is no longer the old file.
            while p.poll() is None and os.stat(target).st_size == 3 and \
                    self.read(target) == b"old":
                pass
            p.send_signal(signal.SIGINT)
            err = p.stderr.read().decode()
            p.stderr.close()
            p.wait(timeout=60)
            if p.returncode == 0:
                self.assertEqual(self.read(target), expected)
                continue
            self.assertEqual(p.returncode, -signal.SIGINT)
            content = self.read(target)
            if content == b"old":
                continue  # interrupted before the fill: nothing to keep
            if content == expected and "interrupted while rewriting" not in err:
                continue  # interrupted after the fill: the target is whole
            interrupted += 1
            self.assertIn("interrupted while rewriting", err)
            kept = err.split("the whole output is kept in ")[1].strip()
            self.assertEqual(self.read(kept), expected)
            self.assertEqual(self.read(other), content)
            if interrupted >= 2:
                break
        self.assertGreater(interrupted, 0, "no run was interrupted while filling")


class DumpInputs(Case):
    def test_data_after_a_compressed_stream_is_refused(self):
        first, second = a_dump(1, "A", 1), a_dump(1, "B", 2)
        half = len(first) // 2
        cases = [
            ("gzip then XML", gzip.compress(first.encode()) + second.encode(), "gzip"),
            ("bzip2 then XML", bz2.compress(first.encode()) + second.encode(), "bzip2"),
            ("bzip2 then gzip", bz2.compress(first.encode()) + gzip.compress(b"x"), "bzip2"),
            ("gzip then one byte", gzip.compress(first.encode()) + b"\n", "gzip"),
        ]
        for what, data, compression in cases:
            r = subprocess.run([DUMP, "--no-progress", self.file("in", data)],
                               capture_output=True)
            self.assertEqual(r.returncode, 2, what)
            self.assertIn(f"data after the end of the {compression} stream".encode(), r.stderr,
                          what)
        # Streams of one compression, one after another, are one dump.
        for compress in (gzip.compress, bz2.compress):
            data = compress(first[:half].encode()) + compress(first[half:].encode())
            r = subprocess.run([DUMP, "--no-progress", self.file("in", data)],
                               capture_output=True)
            self.assertEqual((r.returncode, r.stderr), (0, b""))
            self.assertIn(b'"title": "A"', r.stdout)

    def test_oversized_small_fields_are_refused_with_their_place(self):
        big = "x" * (70 << 10)
        siteinfo = ('<siteinfo><namespaces><namespace key="1">' + big +
                    '</namespace></namespaces></siteinfo>')
        head = '<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.10/">\n'
        cases = [
            ("<title>", dump(page(big, TABLE, ns=1))),  # an unselected namespace too
            ("<ns>", dump(page("A", TABLE)).replace("<ns>0</ns>", "<ns>" + big + "</ns>")),
            ("<id>", dump(page("A", TABLE)).replace("<id>1</id>", "<id>" + big + "</id>")),
            ("<timestamp>", dump(page("A", TABLE, ts=big))),
            ("<namespace>", head + siteinfo + page("A", TABLE) + "</mediawiki>\n"),
        ]
        for field, text in cases:
            r = subprocess.run([DUMP, "--no-progress", self.file("in.xml", text)],
                               capture_output=True)
            self.assertEqual(r.returncode, 2, field)
            self.assertRegex(r.stderr.decode(), r"in\.xml: line \d+, column \d+ \(byte \d+\): "
                             + field + " longer than 65536 bytes", field)
        # The revision text is not bounded.
        r = subprocess.run([DUMP, "--no-progress", self.file("in.xml", a_dump(0) .replace(
            "</text>", big + "</text>"))], capture_output=True)
        self.assertEqual(r.returncode, 0)

    def test_a_full_tmpdir_is_named_as_such(self):
        files = [self.file(f"in{i}.xml", a_dump(300, f"P{i}", i + 1)) for i in range(4)]
        spool = self.path("spool")
        os.makedirs(spool)
        r = in_small_disk(spool, 8192, 'TMPDIR="$0" "$@" > /dev/null', DUMP, "--no-progress",
                          "-j", "2", *files)
        self.assertEqual(r.returncode, 2)
        self.assertIn(f"in {spool} (TMPDIR): No space left on device".encode(), r.stderr)
        self.assertNotIn(b"(standard output)", r.stderr)


class OrderAndWorkers(Case):
    def test_a_fifo_named_several_times_is_read_in_order(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        cases = [(WTTABLE, ["-t"], [tables_text(1).replace("cell 0", f"cell {i}")
                                    for i in range(6)]),
                 (DUMP, ["--no-progress"], [a_dump(1, f"P{i}", i + 1) for i in range(3)])]
        for program, args, texts in cases:
            def feed():
                for text in texts:
                    with open(fifo, "wb") as f:
                        f.write(text.encode())
                    time.sleep(0.3)  # the reader sees the end before the next writer
            writer = threading.Thread(target=feed)
            writer.start()
            r = subprocess.run([program, *args, "-j", "2", *[fifo] * len(texts)],
                               capture_output=True, timeout=60)
            writer.join()
            self.assertEqual(r.returncode, 0, r.stderr)
            expected = b"".join(subprocess.run([program, *args], input=t.encode(),
                                               capture_output=True).stdout for t in texts)
            self.assertEqual(r.stdout, expected, program)

    def test_an_ignored_sigchld_does_not_hide_how_workers_ended(self):
        ignore = lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # noqa: E731
        wiki = [self.file(f"{i}.wiki", tables_text(i + 1)) for i in range(9)]
        xml = self.file("one.xml", dump(*[page(f"P{i}", TABLE, pid=i + 1, rid=i + 100)
                                          for i in range(50)]))
        for program, args in ((WTTABLE, wiki), (DUMP, ["--no-progress", xml])):
            one = subprocess.run([program, *args], capture_output=True)
            r = subprocess.run([program, "-j", "2", *args], capture_output=True,
                               preexec_fn=ignore)
            self.assertEqual((r.returncode, r.stderr, r.stdout), (0, b"", one.stdout), program)


class SplitRuns(Case):
    def test_a_signal_mid_run_leaves_no_worker_no_temporary_file_and_the_old_output(self):
        groups = [[(g * 40 + i + 1, f"P{g}-{i}", tables_text(150)) for i in range(40)]
                  for g in range(12)]
        data, _ = multistream(groups)
        src = self.file("ms.xml.bz2", data)
        out = self.file("out.jsonl", "old")
        for sig in (signal.SIGINT, signal.SIGTERM):
            p = subprocess.Popen([DUMP, "--no-progress", "-j", "2", "-o", out, src],
                                 stderr=subprocess.PIPE)
            children = f"/proc/{p.pid}/task/{p.pid}/children"
            while p.poll() is None:
                try:
                    with open(children) as f:
                        if len(f.read().split()) >= 2:
                            break
                except OSError:
                    break
            p.send_signal(sig)
            p.stderr.read()
            p.stderr.close()
            self.assertEqual(p.wait(timeout=60), -sig)
            self.assertEqual(self.read(out), b"old")
            self.assertEqual(sorted(os.listdir(self.dir.name)), ["ms.xml.bz2", "out.jsonl"])
            left = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        if src.encode() in f.read():
                            left.append(pid)
                except OSError:
                    pass
            self.assertEqual(left, [], sig)


class Messages(Case):
    def test_output_dir_that_cannot_be_looked_at(self):
        src = self.file("a.wiki", tables_text(1))
        cases = [(self.path("n" * 300), "File name too long"),
                 (self.path("missing", "dir"), "No such file or directory"),
                 (src, "Not a directory")]
        for folder, reason in cases:
            r = subprocess.run([WTTABLE, "--output-dir", folder, src], capture_output=True)
            self.assertEqual(r.returncode, 2)
            self.assertEqual(r.stderr.decode(), f"wttable: {folder}: {reason}\n")


# The failing allocator is preloaded only where no sanitizer runtime must
# come first.
FAIL_AFTER_CONVERT = os.environ.get("WTTABLE_FAIL_AFTER_CONVERT")


class OutOfMemory(Case if FAIL_AFTER_CONVERT else object):
    def test_memory_running_out_after_the_conversion_loses_nothing(self):
        # A template with "|" in a table: the raw-page preparation masks it,
        # and the masks are turned back as the HTML is written, through a
        # buffer of the tool's own: nothing is allocated after the
        # conversion, so the output is whole.
        src = self.file("a.wiki", "{|\n| {{flag|x}} || " + "cell " * 40 + "\n|}\n")
        env = dict(os.environ, LD_PRELOAD=FAIL_AFTER_CONVERT)
        for args in (["-t"], []):
            expected = subprocess.run([WTTABLE, "--raw-wikitext", *args, src], capture_output=True)
            self.assertIn(b"{{flag|x}}", expected.stdout)
            r = subprocess.run([WTTABLE, "--raw-wikitext", *args, src], capture_output=True,
                               env=env)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (0, expected.stdout, b""))

if __name__ == "__main__":
    unittest.main()

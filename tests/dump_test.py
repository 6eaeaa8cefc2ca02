"""wttable-dump, run as a data miner runs it: small dumps made here in every
schema, compression and fault, and the shared real samples when present."""
import bz2
import gzip
import json
import lzma
import os
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zipfile

DUMP = os.environ["WTTABLE_DUMP"]
WTTABLE = os.environ["WTTABLE_CLI"]
# Small inputs would run in one process: the workers are what is tested.
os.environ.setdefault("WTTABLE_JOBS_MIN_BYTES", "0")
SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                       "corpus", "dumps")

SITEINFO = """  <siteinfo>
    <namespaces>
      <namespace key="0" case="first-letter" />
      <namespace key="1" case="first-letter">Talk</namespace>
      <namespace key="10" case="first-letter">Template</namespace>
    </namespaces>
  </siteinfo>
"""


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def page(title, text, pid=1, rid=100, ns=0, with_ns=True, ts="2020-01-02T03:04:05Z"):
    ns_line = f"    <ns>{ns}</ns>\n" if with_ns else ""
    ts_line = f"      <timestamp>{ts}</timestamp>\n" if ts else ""
    rid_line = f"      <id>{rid}</id>\n" if rid is not None else ""
    return (f"  <page>\n    <title>{esc(title)}</title>\n{ns_line}    <id>{pid}</id>\n"
            f"    <revision>\n{rid_line}{ts_line}"
            f"      <contributor><username>u</username><id>7</id></contributor>\n"
            f"      <text xml:space=\"preserve\">{esc(text)}</text>\n    </revision>\n  </page>\n")


def dump(*pages, version="0.10", siteinfo=True, close=True):
    head = (f'<mediawiki xmlns="http://www.mediawiki.org/xml/export-{version}/" '
            f'version="{version}" xml:lang="en">\n')
    return head + (SITEINFO if siteinfo else "") + "".join(pages) + ("</mediawiki>\n" if close else "")


TABLE = "{| class=\"wikitable\"\n! A !! B\n|-\n| 1 || 2\n|}"


def run(*args, stdin=b""):
    return subprocess.run([DUMP, "--no-progress", *args], input=stdin, capture_output=True)


def objects(stdout):
    return [json.loads(line) for line in stdout.decode("utf-8").splitlines()]


def convert(text, *args):
    """The wttable tool's tables-only conversion of one text, bytes exact."""
    r = subprocess.run([WTTABLE, "-t", "--raw", "-q", *args], input=text.encode(),
                       capture_output=True)
    return r.stdout.decode("utf-8", "replace")


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def file(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        return path


class Records(Case):
    def test_fields_and_tables(self):
        text = "Intro\n" + TABLE + "\nmiddle\n{|\n| x\n{|\n| nested\n|}\n|}\nend"
        r = run(stdin=dump(page("Lake", text, pid=12, rid=345)).encode())
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        [obj] = objects(r.stdout)
        self.assertEqual(list(obj), ["id", "ns", "title", "revision", "timestamp", "tables"])
        self.assertEqual((obj["id"], obj["ns"], obj["title"], obj["revision"], obj["timestamp"]),
                         (12, 0, "Lake", 345, "2020-01-02T03:04:05Z"))
        self.assertEqual([t["line"] for t in obj["tables"]], [2, 8])
        self.assertIn("<td>nested</td>", obj["tables"][1]["html"])
        self.assertEqual("\n".join(t["html"] for t in obj["tables"]), convert(text))

    def test_table_on_the_first_line_and_unescaped_attributes(self):
        [obj] = objects(run(stdin=dump(page("P", TABLE)).encode()).stdout)
        self.assertEqual(obj["tables"][0]["line"], 1)
        self.assertTrue(obj["tables"][0]["html"].startswith('<table class="wikitable">'))

    def test_missing_fields_namespaces_and_selection(self):
        pages = [
            page("Plain", TABLE, pid=1, rid=None, ts=None),
            page("Talk:Chat", TABLE, pid=2, ns=1),
            page("Template:Box", TABLE, pid=3, ns=10),
            page("No tables", "just text", pid=4),
        ]
        text = dump(*pages).encode()
        r = run(stdin=text)
        objs = objects(r.stdout)
        self.assertEqual([o["id"] for o in objs], [1])
        self.assertIsNone(objs[0]["revision"])
        self.assertIsNone(objs[0]["timestamp"])
        self.assertEqual([o["id"] for o in objects(run("--namespace", "1", "--namespace", "10",
                                                       stdin=text).stdout)], [2, 3])
        self.assertEqual([o["id"] for o in objects(run("--namespace", "all", stdin=text).stdout)],
                         [1, 2, 3])
        objs = objects(run("--all-pages", stdin=text).stdout)
        self.assertEqual([(o["id"], len(o["tables"])) for o in objs], [(1, 1), (4, 0)])
        self.assertEqual([o["id"] for o in objects(run("--max-pages", "1", "--namespace", "all",
                                                       stdin=text).stdout)], [1])

    def test_schema_versions(self):
        # Schema 0.3 has no <ns>: the namespace comes from the title's prefix.
        for version in ("0.3", "0.5", "0.10", "0.11"):
            with_ns = version != "0.3"
            text = dump(page("Talk:T", TABLE, pid=1, ns=1, with_ns=with_ns),
                        page("Main", TABLE, pid=2, with_ns=with_ns), version=version)
            objs = objects(run("--namespace", "all", stdin=text.encode()).stdout)
            self.assertEqual([(o["id"], o["ns"]) for o in objs], [(1, 1), (2, 0)], version)

    def test_every_compression_and_utf16(self):
        text = dump(page("Ünïcode", TABLE + "\n| é"))
        raw = text.encode("utf-8")
        expected = run(stdin=raw).stdout
        self.assertEqual(objects(expected)[0]["title"], "Ünïcode")
        half = len(raw) // 2
        variants = {
            "plain": raw,
            "bz2": bz2.compress(raw),
            "bz2-multistream": bz2.compress(raw[:half]) + bz2.compress(raw[half:]),
            "gz": gzip.compress(raw),
            "xz": lzma.compress(raw),
            "utf16": text.replace('<mediawiki', '<?xml version="1.0" encoding="UTF-16"?>\n<mediawiki', 1)
                         .encode("utf-16"),
        }
        if shutil.which("zstd"):
            variants["zst"] = subprocess.run(["zstd", "-q", "-c"], input=raw,
                                             capture_output=True, check=True).stdout
        for name, data in variants.items():
            # Recognised by content: the names say nothing.
            r = run(self.file("dump-" + name, data))
            self.assertEqual((r.returncode, r.stderr), (0, b""), name)
            self.assertEqual(r.stdout, expected, name)

    def test_several_files_are_one_stream_and_jobs_keep_the_order(self):
        files = [self.file(f"part{k}.xml.bz2", bz2.compress(dump(
            *(page(f"P{k}-{i}", TABLE, pid=k * 100 + i) for i in range(30))).encode()))
            for k in range(3)]
        one = run(*files)
        self.assertEqual(one.returncode, 0)
        ids = [o["id"] for o in objects(one.stdout)]
        self.assertEqual(ids, [k * 100 + i for k in range(3) for i in range(30)])
        for jobs in ("2", "3"):
            many = run("-j", jobs, *files)
            self.assertEqual((many.returncode, many.stdout, many.stderr),
                             (0, one.stdout, one.stderr), jobs)

    def test_jobs_on_one_file_keep_output_and_messages(self):
        pages = []
        for i in range(60):
            text = "{|\n" * 65 if i % 17 == 5 else (TABLE + "\n| {{t|x}} || y\n") * (i % 4)
            pages.append(page(f"P{i}", text, pid=i, rid=1000 + i))
        path = self.file("one.xml", dump(*pages))
        one = run("--all-pages", "--stats", path)
        self.assertEqual(one.returncode, 1)
        self.assertIn(b'page "P5"', one.stderr)
        strip = lambda err: err.split(b"; ")[0]  # the stats line ends with times
        for jobs in ("2", "3"):
            many = run("--all-pages", "--stats", "-j", jobs, path)
            self.assertEqual((many.returncode, many.stdout), (one.returncode, one.stdout), jobs)
            self.assertEqual(strip(many.stderr), strip(one.stderr), jobs)
        cut = self.file("cut.xml", dump(*pages)[:-3000])
        one, many = run(cut), run("-j", "2", cut)
        self.assertEqual((many.returncode, many.stdout, many.stderr),
                         (one.returncode, one.stdout, one.stderr))

    def test_output_file_and_stats(self):
        out = self.file("out.jsonl", "old")
        os.chmod(out, 0o640)
        r = run("-o", out, "--stats", stdin=dump(page("P", TABLE)).encode())
        self.assertEqual(r.returncode, 0)
        with open(out, "rb") as f:
            self.assertEqual(len(objects(f.read())), 1)
        self.assertEqual(os.stat(out).st_mode & 0o777, 0o640)
        self.assertRegex(r.stderr.decode(), r"^wttable-dump: 1 page, 1 revision, 1 object with "
                                            r"tables or listed, 1 table, 0 failed; ")


class DataFormats(Case):
    TEXT = ("== Scores ==\n" + TABLE + "\n{|\n| outer {{small|s}}\n{|\n| inner\n|}\n|}\nend")

    def test_data_holds_every_table_as_a_record_in_place_of_its_html(self):
        r = run("--format", "data", stdin=dump(page("P", self.TEXT)).encode())
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        [obj] = objects(r.stdout)
        tables = obj["tables"]
        self.assertEqual([(t["table"], t["parent"], t["line"]) for t in tables],
                         [(0, None, 2), (1, None, 7), (2, 1, 9)])
        self.assertEqual(list(tables[0])[:2], ["line", "table"])
        self.assertNotIn("html", tables[0])
        self.assertEqual(tables[0]["columns"], ["A", "B"])
        self.assertEqual(tables[0]["rows"], [["1", "2"]])
        self.assertEqual(tables[0]["section"], ["Scores"])
        self.assertEqual(tables[1]["rows"], [["outer s"]])

    def test_both_gives_the_top_level_tables_their_html(self):
        body = dump(page("P", self.TEXT)).encode()
        [html] = objects(run(stdin=body).stdout)
        [both] = objects(run("--format", "both", stdin=body).stdout)
        top = [t for t in both["tables"] if t["parent"] is None]
        self.assertEqual([t["html"] for t in top], [t["html"] for t in html["tables"]])
        self.assertEqual([t["line"] for t in top], [t["line"] for t in html["tables"]])
        self.assertNotIn("html", both["tables"][2])

    def test_options_and_errors(self):
        body = dump(page("P", "{|\n| a<br>b\n|}")).encode()
        [obj] = objects(run("--format", "data", "--br", "space", "--wikitext", stdin=body).stdout)
        self.assertEqual(obj["tables"][0]["rows"], [["a b"]])
        self.assertEqual(obj["tables"][0]["cells"][0]["wikitext"], "a<br>b")
        r = run("--format", "xml", stdin=body)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"unknown format 'xml'", r.stderr)
        deep = dump(page("D", "{|\n" * 65)).encode()
        r = run("--format", "data", stdin=deep)
        self.assertEqual(r.returncode, 1)
        self.assertIn("error", objects(r.stdout)[0])

    def test_csv_writes_a_file_a_table_and_a_manifest(self):
        out = self.path("out")
        os.mkdir(out)
        body = dump(page("P", self.TEXT, pid=1234, rid=77), page("Q", "no tables", pid=5)).encode()
        r = run("--format", "csv", "--output-dir", out, stdin=body)
        self.assertEqual((r.returncode, r.stderr, r.stdout), (0, b"", b""))
        with open(os.path.join(out, "tables.jsonl"), encoding="utf-8") as f:
            lines = [json.loads(line) for line in f]
        self.assertEqual([line["file"] for line in lines],
                         ["234/1234-77-0.csv", "234/1234-77-1.csv", "234/1234-77-2.csv"])
        self.assertEqual(list(lines[0])[:6], ["id", "ns", "title", "revision", "timestamp", "file"])
        self.assertNotIn("rows", lines[0])
        self.assertEqual(lines[0]["columns"], ["A", "B"])
        with open(os.path.join(out, "234", "1234-77-0.csv"), "rb") as f:
            self.assertEqual(f.read(), b"A,B\r\n1,2\r\n")
        self.assertEqual(sorted(os.listdir(out)), ["234", "tables.jsonl"])

    def test_csv_needs_a_folder_of_its_own(self):
        body = dump(page("P", TABLE)).encode()
        r = run("--format", "csv", stdin=body)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"give --output-dir DIR", r.stderr)
        r = run("--format", "csv", "--output-dir", self.dir.name, "-o", self.path("x"), stdin=body)
        self.assertEqual(r.returncode, 2)
        r = run("--format", "csv", "--output-dir", self.path("missing"), stdin=body)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"missing", r.stderr)
        r = run("--output-dir", self.dir.name, stdin=body)
        self.assertEqual(r.returncode, 2)

    def test_workers_write_what_one_process_writes(self):
        pages = [page(f"P{i}", self.TEXT, pid=i, rid=i) for i in range(40)]
        path = self.file("d.xml", dump(*pages))
        one = run("--format", "both", path)
        two = run("--format", "both", "-j", "2", path)
        self.assertEqual((one.returncode, two.returncode), (0, 0))
        self.assertEqual(one.stdout, two.stdout)


def multistream(groups, close=True):
    """A multistream bzip2 dump: a header stream, then one stream per group
    of pages, the closing tag in the last; and its index, as the wiki
    writes it ("offset:page id:title")."""
    doc = dump(siteinfo=True, close=False)
    data = bytearray(bz2.compress(doc.encode()))
    index = []
    for k, group in enumerate(groups):
        for pid, title, _ in group:
            index.append(f"{len(data)}:{pid}:{title}\n")
        text = "".join(page(title, body, pid=pid, rid=pid + 1000) for pid, title, body in group)
        if close and k + 1 == len(groups):
            text += "</mediawiki>\n"
        data += bz2.compress(text.encode())
    return bytes(data), "".join(index)


def page_groups(sizes, start=1):
    """Groups of pages, every third without a table (so some cuts fall
    between pages that give no line)."""
    groups, pid = [], start
    for size in sizes:
        group = []
        for _ in range(size):
            body = "no table here" if pid % 3 == 0 else TABLE + f"\n| {{{{t|{pid}}}}} || [[L{pid}]]\n"
            group.append((pid, f"Page {pid}", body))
            pid += 1
        groups.append(group)
    return groups


class SplitFiles(Case):
    """-j N on one file: its parts read by the workers give exactly the
    bytes of one reader."""
    SIZES = [1, 3, 200, 7, 1, 1, 50, 2, 120, 9, 1, 30]

    def same_as_one(self, path, *args, extra=()):
        one = run(*args, path)
        self.assertEqual(one.returncode, 0, one.stderr)
        for jobs in ("2", "3", "5"):
            many = run("-j", jobs, *args, *extra, path)
            self.assertEqual((many.returncode, many.stderr), (0, b""), jobs)
            self.assertEqual(many.stdout, one.stdout, jobs)
        return one

    def test_multistream_with_and_without_index(self):
        data, index = multistream(page_groups(self.SIZES))
        path = self.file("ms.xml.bz2", data)
        index_path = self.file("ms-index.txt.bz2", bz2.compress(index.encode()))
        one = self.same_as_one(path)
        self.assertEqual(len(objects(one.stdout)), sum(self.SIZES) - sum(self.SIZES) // 3)
        self.same_as_one(path, extra=("--index", index_path))
        self.same_as_one(path, "--format", "data", "--all-pages")
        # The progress line and the stats count every worker's pages.
        pages, tables = sum(self.SIZES), len(objects(one.stdout))
        r = subprocess.run([DUMP, "--progress", "--stats", "-j", "2", path], capture_output=True)
        self.assertEqual((r.returncode, r.stdout), (0, one.stdout))
        err = r.stderr.decode()
        self.assertIn(f"{pages} pages, {tables} tables", err.split("\r")[-1])
        self.assertIn(f"{pages} pages, {pages} revisions", err)

    def test_an_index_that_disagrees_with_the_file(self):
        data, index = multistream(page_groups(self.SIZES))
        path = self.file("ms.xml.bz2", data)
        lines = index.splitlines(keepends=True)
        shifted = "".join(f"{int(line.split(':')[0]) + 1}:{line.split(':', 1)[1]}"
                          for line in lines)
        other, other_index = multistream(page_groups([5, 5, 5]))
        cases = [(shifted, "not this file's index"),
                 (other_index, "not this file's index"),
                 ("".join(reversed(lines)), "not a multistream index"),
                 ("12:a title\nnot an index line\n", "is not \"offset:id:title\""),
                 (b"", "bad-index.txt")]
        for text, message in cases:
            index_path = self.file("bad-index.txt", text)
            r = run("-j", "2", "--index", index_path, path)
            self.assertEqual((r.returncode, r.stdout), (2, b""), message)
            self.assertIn(message, r.stderr.decode(), message)
        r = run("-j", "2", "--index", self.path("missing.txt"), path)
        self.assertEqual(r.returncode, 2)
        self.assertIn("missing.txt", r.stderr.decode())
        self.assertEqual(run("--index", path, path, path).returncode, 2)

    def test_plain_xml_cut_at_every_kind_of_boundary(self):
        pages = []
        for i in range(1, 400):
            body = ("<page> and </page> as text\n" + TABLE) if i % 7 == 0 else \
                "x" * (i * 37 % 5000) + ("\n" + TABLE if i % 2 else "")
            pages.append(page(f"<page> {i}" if i % 11 == 0 else f"P{i}", body, pid=i,
                              rid=i + 10))
        text = dump(*pages)
        for name, doc in (("lf.xml", text), ("crlf.xml", text.replace("\n", "\r\n")),
                          ("bom.xml", "\ufeff" + text)):
            self.same_as_one(self.file(name, doc), "--all-pages")

    def test_a_damaged_stream_with_and_without_keep_going(self):
        groups = page_groups([20, 20, 20, 20])
        data, _ = multistream(groups)
        starts = [i for i in range(len(data)) if data[i:i + 10].startswith(b"BZh9") and
                  data[i + 4:i + 10] == b"1AY&SY"]
        self.assertEqual(len(starts), 5)
        damaged = bytearray(data)
        damaged[(starts[2] + starts[3]) // 2] ^= 0x55  # the second group's stream
        path = self.file("damaged.xml.bz2", bytes(damaged))
        whole = objects(run(self.file("whole.xml.bz2", data)).stdout)
        ids = lambda out: [o["id"] for o in objects(out)]  # noqa: E731
        lost = {pid for pid, _, _ in groups[1]}
        for jobs in ("1", "2", "3"):
            stop = run("-j", jobs, path)
            if jobs != "1":  # one reader's decompressor says it its own way
                self.assertEqual(stop.returncode, 2, jobs)
                self.assertEqual(ids(stop.stdout),
                                 [o["id"] for o in whole if o["id"] < min(lost)])
                self.assertIn(f"bytes {starts[2]}-{starts[3] - 1}: damaged bzip2 stream",
                              stop.stderr.decode())
            go = run("-j", jobs, "--keep-going", path)
            self.assertEqual(go.returncode, 1, jobs)
            self.assertEqual(ids(go.stdout), [o["id"] for o in whole if o["id"] not in lost])
            self.assertIn(f"bytes {starts[2]}-{starts[3] - 1}: damaged bzip2 stream: its pages "
                          "are skipped", go.stderr.decode())

    def test_files_that_are_not_cut(self):
        """A single stream, another compression, standard input: read as
        one stream, the same bytes."""
        text = dump(*(page(f"P{i}", TABLE, pid=i) for i in range(1, 120)))
        one = run(stdin=text.encode())
        for name, data in (("one.xml.bz2", bz2.compress(text.encode())),
                           ("one.xml.gz", gzip.compress(text.encode()))):
            r = run("-j", "2", self.file(name, data))
            self.assertEqual((r.returncode, r.stdout), (0, one.stdout), name)
        r = run("-j", "2", "-", stdin=text.encode())
        self.assertEqual((r.returncode, r.stdout), (0, one.stdout))
        r = run("-j", "2", "--index", self.file("i.txt", "5:1:P\n"),
                self.file("one.xml.gz", gzip.compress(text.encode())))
        self.assertEqual((r.returncode, r.stdout), (0, one.stdout))
        self.assertIn("not a multistream bzip2 file", r.stderr.decode())


class RawPages(Case):
    def test_preparation_and_exact(self):
        text = ("{|\n! A !! B !! C\n|-\n| {{flag|France}} || <!-- a | b\nc -->2 || 3\n|-\n|\n"
                "| {{a|{{b|c}}}} || <nowiki>x||y</nowiki>\n|}\n<!-- x\ny -->\n{|\n| after\n|}")
        [obj] = objects(run(stdin=dump(page("P", text)).encode()).stdout)
        first, second = obj["tables"]
        self.assertIn("<td>{{flag|France}}</td><td>2</td><td>3</td>", first["html"])
        self.assertIn("<td></td>\n<td>{{a|{{b|c}}}}</td><td><nowiki>x||y</nowiki></td>",
                      first["html"])
        # Lines count as the dump holds them, comments included.
        self.assertEqual((first["line"], second["line"]), (1, 12))
        self.assertEqual("\n".join(t["html"] for t in obj["tables"]),
                         convert(text, "--raw-wikitext"))
        [exact] = objects(run("--exact", stdin=dump(page("P", text)).encode()).stdout)
        self.assertIn("<td {{flag>France}}</td>", exact["tables"][0]["html"])
        self.assertEqual("\n".join(t["html"] for t in exact["tables"]), convert(text))

    def test_no_free_mask_bytes(self):
        # XML 1.0 allows only TAB, LF and CR below 0x20: a text cannot hold the
        # control bytes, so this case is reached through wttable directly.
        low = "".join(chr(c) for c in list(range(1, 9)) + list(range(14, 32)))
        text = low + "\n{|\n| {{a|b}}\n|}"
        r = subprocess.run([WTTABLE, "-t", "--raw-wikitext"], input=text.encode(),
                           capture_output=True)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"no two free control bytes", r.stderr)
        self.assertIn(b"<td {{a>b}}</td>", r.stdout)

    def test_a_cut_character_becomes_a_replacement_character(self):
        text = "{|\n| " + "a" * 16381 + "é\n|}"
        [obj] = objects(run(stdin=dump(page("P", text)).encode()).stdout)
        self.assertTrue(obj["tables"][0]["html"].endswith("a\ufffd</td></tr>\n</table>"))


class Faults(Case):
    def test_cut_and_malformed_dumps_keep_complete_pages(self):
        good = [page(f"P{i}", TABLE, pid=i) for i in range(3)]
        full = dump(*good)
        cut_inside = full[:full.rindex("<revision>")]
        cases = [
            ("cut inside a page", cut_inside, [0, 1], b"cut off"),
            ("no </mediawiki>", dump(*good, close=False), [0, 1, 2], b"cut off"),
            ("malformed", dump(*good[:2]).replace("</mediawiki>", "<page><title>x</titel></page>"),
             [0, 1], b"mismatched tag"),
        ]
        for name, text, ids, message in cases:
            path = self.file("d.xml", text)
            r = run(path)
            self.assertEqual(r.returncode, 2, name)
            self.assertEqual([o["id"] for o in objects(r.stdout)], ids, name)
            self.assertRegex(r.stderr, rb"^wttable-dump: .*d\.xml: line \d+, column \d+ \(byte \d+\): ",
                             name)
            self.assertIn(message, r.stderr, name)

    def test_not_a_dump(self):
        zpath = self.path("dump.zip")
        with zipfile.ZipFile(zpath, "w") as z:
            z.writestr("a.xml", dump(page("P", TABLE)))
        cases = [
            (zpath, b"not an XML dump: it looks like a zip archive, which is not supported"),
            (self.file("t.txt", "hello"), b"not an XML dump: it does not begin with \"<\""),
            (self.file("b.bz2", bz2.compress(b"hello")),
             b"not an XML dump (after bzip2 decompression): it does not begin"),
            (self.path("missing"), b"No such file or directory"),
            (self.dir.name, b"Is a directory"),
        ]
        for path, message in cases:
            r = run(path)
            self.assertEqual((r.returncode, r.stdout), (2, b""), path)
            self.assertIn(message, r.stderr, path)

    def test_nesting_failure_is_reported_and_the_run_goes_on(self):
        deep = "{|\n" * 65
        text = dump(page("Deep", deep, pid=1, rid=9), page("Fine", TABLE, pid=2))
        r = run(stdin=text.encode())
        self.assertEqual(r.returncode, 1)
        objs = objects(r.stdout)
        self.assertEqual(objs[0]["tables"], [])
        self.assertEqual(objs[0]["error"], "Failed to parse table markup")
        self.assertEqual(objs[1]["id"], 2)
        self.assertIn(b'page "Deep" (revision 9)', r.stderr)

    def test_usage(self):
        cases = [(["--namespace", "x"], b"--namespace needs"), (["-o", "a", "-o", "b"], b"one output"),
                 (["--max-pages", "0"], b"--max-pages needs"), (["--bogus"], b"unknown option"),
                 (["--namespace", "all", "--namespace", "1"], b"exclude each other")]
        for args, message in cases:
            r = run(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(message, r.stderr, args)
        self.assertEqual(run("--version").stdout, b"wttable-dump 1.0.0\n")


# Real dump samples, where a checkout has them beside it: extra data for the
# same contract, not a capability of its own, so without them there is no
# such test rather than a skipped one.
class SharedSamples(Case if os.path.isdir(SAMPLES) else object):
    def test_contract_on_every_revision(self):
        """The html values joined with LF are the tables-only conversion of the
        prepared text (or, with --exact, of the text as the dump holds it)."""
        for name in sorted(os.listdir(SAMPLES)):
            path = os.path.join(SAMPLES, name)
            texts = {}
            for _, el in ET.iterparse(bz2.open(path)):
                if el.tag.endswith("}revision"):
                    rid = int(el.find("{*}id").text)
                    texts[rid] = el.find("{*}text").text or ""
            for exact in (False, True):
                args = ["--exact"] if exact else []
                r = run("--all-pages", "--namespace", "all", *args, path)
                self.assertEqual(r.returncode, 0)
                objs = objects(r.stdout)
                self.assertEqual(len(objs), len(texts))
                for obj in objs:
                    text = texts[obj["revision"]]
                    joined = "\n".join(t["html"] for t in obj["tables"])
                    wanted = convert(text, *([] if exact else ["--raw-wikitext"]))
                    self.assertEqual(joined, wanted, (name, obj["title"], exact))


if __name__ == "__main__":
    unittest.main()

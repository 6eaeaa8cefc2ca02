"""Throughput and memory of wttable-dump on a dump of about 100 MB.

The pages come from ../shared/corpus/dumps when that folder exists, else
from a deterministic generator of article-like pages; they are repeated to
about 100 MB of XML.  Prints MB/s of XML for plain and bzip2 input, one job
against two (one file, and the dump split into two parts), bzip2 -dc and
lbzip2 -dc on the same file in the same run, and the peak resident size on a
5 MB and a 100 MB dump.  A benchmark, not a test.

usage: python3 bench/dump_bench.py WTTABLE-DUMP [--mb 100] [--runs 3]
"""
import argparse
import bz2
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import many_files  # noqa: E402

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                       "corpus", "dumps")
HEAD = ('<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.10/" version="0.10">\n'
        '  <siteinfo><namespaces><namespace key="0" /></namespaces></siteinfo>\n')


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def page_bodies():
    """The <page> elements of the sample dump, or generated ones."""
    sample = os.path.join(SAMPLES, "enwiki-excerpt-206-pages.xml.bz2")
    if os.path.exists(sample):
        xml = bz2.open(sample).read().decode("utf-8")
        return xml[xml.index("<page>"):xml.rindex("</mediawiki>")], "the shared sample's pages"
    rng = random.Random(3)
    pages = []
    for i in range(200):
        text = many_files.article(rng, rng.randint(5000, 60000))
        pages.append(f"  <page>\n    <title>Page {i}</title>\n    <ns>0</ns>\n    <id>{i}</id>\n"
                     f"    <revision>\n      <id>{1000 + i}</id>\n"
                     f"      <timestamp>2020-01-01T00:00:00Z</timestamp>\n"
                     f"      <text xml:space=\"preserve\">{esc(text)}</text>\n"
                     f"    </revision>\n  </page>\n")
    return "".join(pages), "generated article-like pages"


def write_dump(path, body, mb):
    reps = max(1, int(mb * 1e6 // len(body.encode())))
    with open(path, "w", encoding="utf-8") as f:
        f.write(HEAD)
        for _ in range(reps):
            f.write(body)
        f.write("</mediawiki>\n")


def best(cmd, runs, shell=False):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(cmd, shell=shell, check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return min(times)


def peak_rss_kb(cmd):
    """The process's own high-water mark (VmHWM), read while it runs: the
    rusage of a child forked from this interpreter would count its memory."""
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
    peak = 0
    while proc.poll() is None:
        try:
            with open(f"/proc/{proc.pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except (FileNotFoundError, ProcessLookupError, ValueError):
            pass
        time.sleep(0.005)
    return peak


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dump_tool")
    ap.add_argument("--mb", type=float, default=100)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    tool = os.path.abspath(args.dump_tool)
    work = tempfile.mkdtemp(prefix="wttable-dump-bench-")
    try:
        body, source = page_bodies()
        big = os.path.join(work, "dump.xml")
        small = os.path.join(work, "small.xml")
        write_dump(big, body, args.mb)
        write_dump(small, body, 5)
        half = body.index("<page>", len(body) // 2)
        parts = []
        for k, piece in enumerate((body[:half], body[half:])):
            path = os.path.join(work, f"part{k}.xml")
            write_dump(path, piece, args.mb / 2)
            parts.append(path)
        for path in [big, *parts]:
            subprocess.run(["bzip2", "-k", "-f", path], check=True)
        mb = os.path.getsize(big) / 1e6
        parts_mb = sum(os.path.getsize(p) for p in parts) / 1e6
        print(f"{source}, repeated to {mb:.1f} MB of XML; best of {args.runs}")

        def row(label, seconds, size, base=None):
            ratio = f"  {base / seconds:5.2f}x" if base else ""
            print(f"  {label:44s} {seconds:7.2f} s  {size / seconds:7.1f} MB/s{ratio}")

        plain1 = best([tool, "--no-progress", "-j", "1", big], args.runs)
        row("plain XML, -j 1", plain1, mb)
        row("plain XML, -j 2", best([tool, "--no-progress", "-j", "2", big], args.runs), mb, plain1)
        parts1 = best([tool, "--no-progress", "-j", "1", *parts], args.runs)
        row("plain XML in two parts, -j 1", parts1, parts_mb)
        row("plain XML in two parts, -j 2",
            best([tool, "--no-progress", "-j", "2", *parts], args.runs), parts_mb, parts1)
        bz = big + ".bz2"
        bunzip = best(["bzip2", "-dc", bz], args.runs)
        row("bzip2 -dc > /dev/null", bunzip, mb)
        row("bzip2 input, -j 1 (against bzip2 -dc)", best([tool, "--no-progress", bz], args.runs),
            mb, bunzip)
        bz_parts = [p + ".bz2" for p in parts]
        bz1 = best([tool, "--no-progress", "-j", "1", *bz_parts], args.runs)
        row("bzip2 in two parts, -j 1", bz1, parts_mb)
        row("bzip2 in two parts, -j 2", best([tool, "--no-progress", "-j", "2", *bz_parts],
                                             args.runs), parts_mb, bz1)
        if shutil.which("lbzip2"):
            row("lbzip2 -dc | wttable-dump -",
                best(f"lbzip2 -dc {bz} | {tool} --no-progress -", args.runs, shell=True), mb, bunzip)
        else:
            print("  (lbzip2 not installed: apt-get install lbzip2)")
        rss_small = peak_rss_kb([tool, "--no-progress", small])
        rss_big = peak_rss_kb([tool, "--no-progress", big])
        print(f"  peak resident size: {rss_small / 1024:.1f} MB on 5 MB, "
              f"{rss_big / 1024:.1f} MB on {mb:.0f} MB")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
